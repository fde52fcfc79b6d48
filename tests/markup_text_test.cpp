// Text from outside in the pictures and pages: whatever its bytes, every
// document stays well-formed (parsed by Python's XML parser) and holds only
// what XML 1.0 allows, checked against a table of its own.
#include "markup_text.hpp"

#include <gtest/gtest.h>

#include <cctype>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <vector>

#include "frame_codec.hpp"
#include "index_page.hpp"
#include "process.hpp"
#include "replay.hpp"
#include "scenarios.hpp"
#include "sweep_svg.hpp"
#include "trajectory_svg.hpp"

namespace {

// UTF-8's well-formed byte sequences (the Unicode standard's table of them):
// a first byte's range, then each continuation byte's.
struct Form {
    unsigned char first_low, first_high;
    std::vector<std::pair<unsigned char, unsigned char>> rest;
};
const std::vector<Form> UTF8_FORMS = {
    {0x00, 0x7F, {}},
    {0xC2, 0xDF, {{0x80, 0xBF}}},
    {0xE0, 0xE0, {{0xA0, 0xBF}, {0x80, 0xBF}}},
    {0xE1, 0xEC, {{0x80, 0xBF}, {0x80, 0xBF}}},
    {0xED, 0xED, {{0x80, 0x9F}, {0x80, 0xBF}}},
    {0xEE, 0xEF, {{0x80, 0xBF}, {0x80, 0xBF}}},
    {0xF0, 0xF0, {{0x90, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {0xF1, 0xF3, {{0x80, 0xBF}, {0x80, 0xBF}, {0x80, 0xBF}}},
    {0xF4, 0xF4, {{0x80, 0x8F}, {0x80, 0xBF}, {0x80, 0xBF}}},
};

// XML 1.0's Char production, range by range.
const std::vector<std::pair<char32_t, char32_t>> XML_CHARS = {{0x9, 0x9},     {0xA, 0xA},       {0xD, 0xD},
                                                              {0x20, 0xD7FF}, {0xE000, 0xFFFD}, {0x10000, 0x10FFFF}};

// The code points of `text`, or a failure naming the first byte that is not UTF-8.
::testing::AssertionResult decode(const std::string& text, std::vector<char32_t>& points) {
    for (std::size_t at = 0; at < text.size();) {
        const auto first = static_cast<unsigned char>(text[at]);
        const Form* form = nullptr;
        for (const Form& f : UTF8_FORMS) {
            if (first >= f.first_low && first <= f.first_high) form = &f;
        }
        if (form == nullptr || text.size() - at - 1 < form->rest.size()) {
            return ::testing::AssertionFailure() << "not UTF-8 at byte " << at;
        }
        // The value: the first byte's payload bits, then six a continuation byte.
        const int payload = form->rest.empty() ? 7 : 6 - static_cast<int>(form->rest.size());
        char32_t c = first & ((1U << payload) - 1);
        for (std::size_t k = 0; k < form->rest.size(); ++k) {
            const auto next = static_cast<unsigned char>(text[at + 1 + k]);
            if (next < form->rest[k].first || next > form->rest[k].second) {
                return ::testing::AssertionFailure() << "not UTF-8 at byte " << at + 1 + k;
            }
            c = c << 6 | (next & 0x3F);
        }
        points.push_back(c);
        at += 1 + form->rest.size();
    }
    return ::testing::AssertionSuccess();
}

// Text that XML 1.0 allows anywhere in a document.
::testing::AssertionResult only_xml_chars(const std::string& text) {
    std::vector<char32_t> points;
    if (auto utf8 = decode(text, points); !utf8) return utf8;
    for (std::size_t i = 0; i < points.size(); ++i) {
        bool allowed = false;
        for (const auto& [low, high] : XML_CHARS) allowed = allowed || (points[i] >= low && points[i] <= high);
        if (!allowed)
            return ::testing::AssertionFailure()
                   << "U+" << std::hex << static_cast<std::uint32_t>(points[i]) << " at character " << std::dec << i;
    }
    return ::testing::AssertionSuccess();
}

// Every kind of text a document must not hold as it is, each with a little
// markup round it.
struct BadText {
    const char* what;
    std::string text;
    std::string escaped;  // xml_text's result
};

void PrintTo(const BadText& bad, std::ostream* out) { *out << bad.what; }

const std::string FFFD = "\xEF\xBF\xBD";
std::vector<BadText> bad_texts() {
    return {
        {"markup", "a&b<c>d\"e'f", "a&amp;b&lt;c&gt;d&quot;e&#39;f"},
        {"C0 controls", std::string("a\x01\x08\x0B\x0C\x1F", 6) + std::string(1, '\0') + "z",
         "a" + FFFD + FFFD + FFFD + FFFD + FFFD + FFFD + "z"},
        {"tab line feed return", "a\tb\nc\rd", "a&#9;b&#10;c&#13;d"},
        {"U+FFFE and U+FFFF", "<\xEF\xBF\xBE\xEF\xBF\xBF>", "&lt;" + FFFD + FFFD + "&gt;"},
        {"lone surrogates", "x\xED\xA0\x80y\xED\xBF\xBFz", "x" + FFFD + FFFD + FFFD + "y" + FFFD + FFFD + FFFD + "z"},
        {"stray continuation", "\x80\xBF&", FFFD + FFFD + "&amp;"},
        {"overlong forms", "\xC0\xBC\xE0\x80\xBC", FFFD + FFFD + FFFD + FFFD + FFFD},
        {"past U+10FFFF", "\xF4\x90\x80\x80", FFFD + FFFD + FFFD + FFFD},
        {"bytes UTF-8 never uses", "\xF8\x88\x80\x80\x80\xFE\xFF", FFFD + FFFD + FFFD + FFFD + FFFD + FFFD + FFFD},
        {"cut short", "ok\xE2\x82", "ok" + FFFD},
        {"cut short before text", "\xF0\x9F\x98<", FFFD + "&lt;"},
        {"fine text", "\xC3\x96l \xE6\x97\xA5 \xF0\x9F\x98\x80 \xEF\xBF\xBD",
         "\xC3\x96l \xE6\x97\xA5 \xF0\x9F\x98\x80 \xEF\xBF\xBD"},
    };
}

class BadTextIn : public ::testing::TestWithParam<BadText> {};

// The whole documents, parsed as XML by a parser of another project.
::testing::AssertionResult parses_as_xml(const std::string& path) {
    const auto parsed =
        test_support::run_process(PYTHON, {"-c", "import sys, xml.etree.ElementTree as E; E.parse(sys.argv[1])", path});
    if (parsed.exit_status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << path << ": " << parsed.standard_error;
}

void write(const std::string& path, const std::string& text) { std::ofstream(path, std::ios::binary) << text; }

TEST_P(BadTextIn, LeavesEveryPictureAndPageWellFormed) {
    const BadText& bad = GetParam();
    const std::string folder = test_support::fresh_folder();
    sim::WorldSettings world = sim::default_world();
    world.name = "world " + bad.text;
    const sim::Track track(world.track);
    write(
        folder + "/trace.csv",
        "t,x,y,heading,left,right,lateral_error,progress,left_command,right_command\n0.032,0,0,0,1,1,0.001,0.01,1,1\n");

    // The trajectory: the name in its title, as the replacement leaves it.
    line_sim::write_trajectory_svg(folder + "/trajectory.svg", world, track, folder + "/trace.csv");
    const std::string picture = test_support::read_file(folder + "/trajectory.svg");
    EXPECT_TRUE(only_xml_chars(picture));
    EXPECT_TRUE(parses_as_xml(folder + "/trajectory.svg"));
    EXPECT_NE(picture.find("<title>world " + bad.escaped + ": "), std::string::npos);

    // The sweep: the text as a swept key, a swept value, a world and the metric.
    line_sim::Results results;
    results.swept_keys = {bad.text};
    for (const std::string& value : {bad.text, std::string("2")}) {
        line_sim::ResultRow row;
        row.swept = {{bad.text, value}};
        row.summary.world = world.name;
        row.summary.mean_abs_lateral_error_m = 0.002;
        results.rows.push_back(row);
    }
    for (const std::string& metric : {std::string("mean_abs_lateral_error_m"), bad.text}) {
        const std::string sweep = line_sim::sweep_svg(results, metric);
        write(folder + "/sweep.svg", sweep);
        EXPECT_TRUE(only_xml_chars(sweep)) << metric;
        EXPECT_TRUE(parses_as_xml(folder + "/sweep.svg")) << metric;
    }

    // The pages: their text clean, and their data the name exactly (where it is UTF-8).
    const nlohmann::json summary = {{"world", world.name}};
    line_sim::write_index(folder, {{"run " + bad.text, summary}},
                          line_sim::sweep_svg(results, "mean_abs_lateral_error_m"));
    write(folder + "/" + sim::FRAMES_FILE, "");
    line_sim::write_replay(folder, world, summary, false);
    for (const char* page : {"index.html", "replay.html"}) {
        const std::string text = test_support::read_file(folder + "/" + page);
        EXPECT_TRUE(only_xml_chars(text)) << page;
        std::vector<char32_t> points;
        ASSERT_TRUE(decode(text, points)) << page;
        for (const char32_t c : points) {
            EXPECT_FALSE((c >= 0x7F && c <= 0x9F) || c == 0xFFFE || c == 0xFFFF)
                << page << ": U+" << std::hex << static_cast<std::uint32_t>(c);
        }
    }
    std::vector<char32_t> points;
    if (decode(world.name, points)) {
        const std::string page = test_support::read_file(folder + "/replay.html");
        const std::string open = "<script id=\"settings\" type=\"application/json\">";
        const std::size_t begin = page.find(open) + open.size();
        const nlohmann::json settings =
            nlohmann::json::parse(page.substr(begin, page.find("</script>", begin) - begin));
        EXPECT_EQ(settings.at("name"), world.name);
    }
}

INSTANTIATE_TEST_SUITE_P(Kinds, BadTextIn, ::testing::ValuesIn(bad_texts()), [](const auto& kind) {
    std::string name;
    for (const char c : std::string(kind.param.what)) name += std::isalnum(static_cast<unsigned char>(c)) ? c : '_';
    return name;
});

// Random bytes, weighted towards UTF-8's lead and continuation bytes: the
// result is always XML's, and text it allows comes back as it was.
TEST(XmlText, AnyBytesGiveXmlCharsAndAllowedTextStays) {
    std::mt19937 random(7);
    const std::string pieces[] = {"\xED", "\xA0", "\x80", "\xBF", "\xEF", "\xF4", "\x8F", "\xC2", "\xF0", "\x90",
                                  "&",    "<",    "a",    "\x01", "\t",   "\xE0", "\xFF", "\xC0", "\x7F", "\xF5"};
    std::uniform_int_distribution<std::size_t> piece(0, std::size(pieces) - 1), length(0, 12);
    for (int n = 0; n < 20000; ++n) {
        std::string text;
        for (std::size_t k = length(random); k > 0; --k) text += pieces[piece(random)];
        const std::string out = line_sim::xml_text(text);
        ASSERT_TRUE(only_xml_chars(out)) << ::testing::PrintToString(text);
        if (only_xml_chars(text) && text.find_first_of("&<\t") == std::string::npos) {
            ASSERT_EQ(out, text) << ::testing::PrintToString(text);
        }
    }
}

}  // namespace
