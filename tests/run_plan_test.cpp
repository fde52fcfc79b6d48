// The run plan, results and requirements, without starting a process.
#include "run_plan.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <set>

#include "controller_file.hpp"
#include "results.hpp"
#include "world_file.hpp"

namespace {

using line_sim::Setting;

TEST(RunPlan, ProductOfWorldsSweepsAndSeedsInFoldersOfTheirOwn) {
    const std::vector<line_sim::Sweep> sweeps = {line_sim::parse_sweep("camera.noise=0,8"),
                                                 line_sim::parse_sweep("track.start=[0,0],[1,0]")};
    const auto plan = line_sim::make_plan({"oval", "oval", "../x"}, sweeps, line_sim::parse_seeds("3..5"), {});
    ASSERT_EQ(plan.size(), 3U * 2 * 2 * 3);
    EXPECT_EQ(plan[0].folder, "oval/camera.noise=0,track.start=_0,0_,seed=3");
    EXPECT_EQ(plan[3].swept, (std::vector<Setting>{{"camera.noise", "0"}, {"track.start", "[1,0]"}}));
    EXPECT_EQ(plan[6].swept[0].value, "8");  // the first sweep varies slowest
    EXPECT_EQ(*plan[1].seed, 4U);
    std::set<std::string> folders;
    for (const auto& run : plan) {
        EXPECT_TRUE(folders.insert(run.folder).second) << run.folder;
        for (const auto& part : std::filesystem::path(run.folder)) EXPECT_NE(part.string()[0], '.') << run.folder;
    }
    EXPECT_EQ(plan[12].folder.substr(0, 7), "oval-2/");
    EXPECT_EQ(plan[24].folder.substr(0, 5), "_.._x");
}

TEST(RunPlan, ShardsCoverEveryRunOnce) {
    const std::vector<line_sim::Sweep> sweeps = {line_sim::parse_sweep("camera.noise=0,1,2,3,4")};
    const auto whole = line_sim::make_plan({"a", "b"}, sweeps, line_sim::parse_seeds("1..3"), {});
    for (int count = 1; count <= 4; ++count) {
        std::multiset<std::string> seen;
        for (int index = 1; index <= count; ++index) {
            for (const auto& run :
                 line_sim::make_plan({"a", "b"}, sweeps, line_sim::parse_seeds("1..3"), {index, count})) {
                EXPECT_EQ(run.folder, whole[run.index].folder);  // the same layout as the whole plan
                seen.insert(run.folder);
            }
        }
        EXPECT_EQ(seen.size(), whole.size());
        EXPECT_EQ(std::set<std::string>(seen.begin(), seen.end()).size(), whole.size());
    }
}

TEST(RunPlan, BadOptionsAreUsageErrors) {
    for (const char* text : {"camera.noise", "=3", "camera..noise=1", "camera.noise="}) {
        EXPECT_THROW(line_sim::parse_setting(text, "--set"), line_sim::UsageError) << text;
    }
    EXPECT_THROW(line_sim::parse_sweep("camera.noise=1,,2"), line_sim::UsageError);
    for (const char* text : {"3", "5..3", "a..b", "-1..2", "1..99999999999999999999"}) {
        EXPECT_THROW(line_sim::parse_seeds(text), line_sim::UsageError) << text;
    }
    for (const char* text : {"0/3", "4/3", "1", "a/b", "1/0"})
        EXPECT_THROW(line_sim::parse_shard(text), line_sim::UsageError) << text;
}

TEST(RunPlan, SettingsGoIntoTheWorldAndCommentsStayWithoutThem) {
    const std::string text = "# the oval\n[track]\nsegments = [{ straight = 1 }]\n";
    EXPECT_EQ(line_sim::apply_settings(text, "w.toml", "w", {}), "name = 'w'\n" + text);
    const std::string set =
        line_sim::apply_settings(text, "w.toml", "w", {{"camera.noise", "8"}, {"track.line_width", "0.02"}});
    EXPECT_NE(set.find("[camera]\nnoise = 8"), std::string::npos) << set;
    EXPECT_NE(set.find("line_width = 0.02"), std::string::npos) << set;
    EXPECT_THROW(line_sim::apply_settings(text, "w.toml", "w", {{"camera.noise", "eight"}}), line_sim::UsageError);
}

// The world reader takes only ASCII: a name beyond it, written as \uXXXX in
// the file (or coming from the file's name), stays an escape once settings
// are put in, and the world as run reads as the same name.
TEST(RunPlan, TextBeyondAsciiStaysEscapedWithSettings) {
    const std::string unnamed(sim::DEFAULT_WORLD.substr(sim::DEFAULT_WORLD.find("[track]")));
    const std::string text = "name = \"caf\\u00e9\"\n" + unnamed;
    for (const std::vector<Setting>& settings :
         {std::vector<Setting>{}, {{"run.seed", "3"}}, {{"name", "\"\\u00e9 b\""}}}) {
        const std::string run = line_sim::apply_settings(text, "w.toml", "w", settings);
        EXPECT_TRUE(std::all_of(run.begin(), run.end(), [](char c) { return (c & 0x80) == 0; })) << run;
        EXPECT_NO_THROW(sim::parse_world(run, "w.toml")) << run;
    }
    EXPECT_EQ(sim::parse_world(line_sim::apply_settings(unnamed, "caf\xc3\xa9.toml", "caf\xc3\xa9", {}), "w").name,
              "caf\xc3\xa9");
}

TEST(Requirements, ValuesAndChangesAgainstRows) {
    const nlohmann::json before = {
        {"laps_completed", 3}, {"mean_abs_lateral_error_m", 0.010}, {"end_reason", "duration"}};
    const nlohmann::json after = {
        {"laps_completed", 2}, {"mean_abs_lateral_error_m", 0.0105}, {"end_reason", "off_line"}};
    struct Case {
        const char* text;
        bool holds;
    };
    for (const Case c :
         {Case{"laps_completed>=2", true}, Case{"laps_completed>2", false}, Case{"end_reason==duration", false},
          Case{"end_reason!=duration", true}, Case{"mean_abs_lateral_error_m<=+10%", true},
          Case{"mean_abs_lateral_error_m<=+4%", false}, Case{"mean_abs_lateral_error_m <= +10 %", true},
          Case{"laps_completed>=-1", true}, Case{"mean_abs_lateral_error_m<=-0.001", false}}) {
        std::string actual;
        EXPECT_EQ(line_sim::meets(line_sim::parse_requirement(c.text, true), after, &before, actual), c.holds)
            << c.text;
    }
    for (const char* text : {"laps>=2", "laps_completed=>2", "laps_completed>=two", "end_reason>=duration",
                             "end_reason==finished", "laps_completed>=", "off_line_share<50", "off_line_share>=-0.5"}) {
        EXPECT_THROW(line_sim::parse_requirement(text, false), line_sim::UsageError) << text;
    }
    EXPECT_THROW(line_sim::parse_requirement("laps_completed>=+10%", false),
                 line_sim::UsageError);  // a change needs compare
}

TEST(ControllerFile, Sha256OfKnownTexts) {
    const std::string path = ::testing::TempDir() + "/sha256.txt";
    const std::pair<std::string, const char*> known[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        {"abcdefghbcdefghicdefghijdefghijkefghijklfghijklmghijklmnhijklmnoijklmnopjklmnopqklmnopqrlmnopqrsmnopqrstnopqr"
         "stu",
         "cf5b16a778af8380036ce59e7b0492370b249b11e8f07a51afac45037afee9d1"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"}};
    for (const auto& [text, hash] : known) {
        std::ofstream(path, std::ios::binary) << text;
        EXPECT_EQ(line_sim::file_sha256(path), hash) << text.size() << " bytes";
    }
}

}  // namespace
