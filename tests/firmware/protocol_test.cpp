// The firmware's protocol module compiled for the host: every line damaged
// in one byte is caught, and no line is acted on in part.

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

extern "C" {
#include "protocol.h"
}

namespace {

std::string framed(const std::string& body) {
    char line[LINE_MOST_BYTES + 8];
    line_framed(body.c_str(), line, sizeof line);
    return line;
}

// The lines line_feed hands over for these bytes.
std::vector<std::string> lines_read(const std::string& bytes) {
    LineReader reader{};
    std::vector<std::string> lines;
    for (const char c : bytes)
        if (line_feed(&reader, static_cast<unsigned char>(c)) == LINE_READY) lines.push_back(reader.text);
    return lines;
}

TEST(Protocol, EveryLineDamagedInOneByteFailsItsChecksum) {
    std::mt19937 random(7);
    for (const char* body : {"drive 200 0", "drive -1000 1000", "speed 5000 -5000", "stop", "hello"}) {
        const std::string line = framed(body);
        for (std::size_t i = 0; i + 1 < line.size(); ++i) {
            std::string damaged = line;
            damaged[i] = static_cast<char>(damaged[i] ^ static_cast<char>(1 + random() % 255));
            damaged.pop_back();                                                // the LF
            if (damaged.find_first_of("\r\n") != std::string::npos) continue;  // a line end, read as two lines
            EXPECT_FALSE(line_checked(damaged.data())) << damaged;
        }
    }
}

TEST(Protocol, LinesEndAtLfOrCrAndTooLongOnesAreDroppedWhole) {
    const std::vector<std::string> two = {"stop*18", "hello*62"};
    EXPECT_EQ(lines_read("stop*18\r\nhello*62\r"), two);
    EXPECT_EQ(lines_read("\n\n" + std::string(LINE_MOST_BYTES, 'x') + "stop*18\nstop*18\n"),
              std::vector<std::string>{"stop*18"});
    std::string cut = "drive 100 100*6C\n";
    LineReader reader{};
    for (const char c : std::string("drive 1")) line_feed(&reader, c);
    line_feed(&reader, LINE_DAMAGED_BYTE);  // a byte lost by the port
    for (const char c : cut) EXPECT_NE(line_feed(&reader, c), LINE_READY);
}

}  // namespace
