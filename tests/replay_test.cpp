// What a replay is made of: every camera frame recorded and read back, the
// camera's footprint on the floor, and pages that are complete or absent.
// The pages themselves are tested in a browser (browser_test.py).
#include "replay.hpp"

#include <gtest/gtest.h>
#include <isa-l/igzip_lib.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <numbers>
#include <random>
#include <sstream>
#include <string_view>
#include <thread>
#include <tuple>

#include "camera.hpp"
#include "frame_codec.hpp"
#include "growing_file.hpp"
#include "index_page.hpp"
#include "line_tracking.hpp"
#include "motors.hpp"
#include "process.hpp"
#include "robot_run_folder.hpp"
#include "run_files.hpp"
#include "scenarios.hpp"
#include "shortest_double.hpp"
#include "trace.hpp"

namespace {

namespace fs = std::filesystem;
using Image = std::vector<std::uint8_t>;

// How the frames are recorded: the world, and the camera's period [ms]
// against the robot's 32 ms steps.
struct Recording {
    const char* name;
    double noise = 0.0;
    std::int32_t camera_ms = 32;
    bool points = false, past_the_edge = false;
    bool slow_motors = false;  // commands clamped, and the wheels lagging behind them
};

// Runs the recording's world with the controller's decision for `steps`
// steps, recording into `folder`; gives every image the camera showed after
// each step, the first before any. Unfinished, the files stay under their
// temporary names, as where the controller exits before its run is over.
// `numbers`, if given, gets each step's trace numbers as the run had them,
// the commands as this function set them (clamped here, held while no pixel
// was dark).
using TraceNumbers = std::vector<std::array<double, 10>>;
std::vector<Image> record_run(const std::string& folder, const Recording& how, int steps,
                              std::vector<double> frame_times = {}, bool finish = true,
                              TraceNumbers* numbers = nullptr) {
    sim::WorldSettings world = how.points ? sim::peanut_points_world(720) : sim::default_world();
    world.camera.noise = how.noise;
    if (how.past_the_edge) {
        world.floor.margin = 0.001;                                 // [m]
        world.camera.field_of_view = 140 * std::numbers::pi / 180;  // [rad]
    }
    if (how.slow_motors) {
        world.robot.max_wheel_speed = 4.3;       // [rad/s] below what the steering asks for on a turn
        world.robot.motor_time_constant = 0.05;  // [s]
    }
    line_tracking::WheelSpeeds command{0.0, 0.0};  // [rad/s] in force
    sim::Simulation simulation(world);
    sim::RunFiles files(folder, world.run.duration, std::move(frame_times));
    simulation.enable_camera(how.camera_ms);
    files.started(simulation);
    const sim::Camera& camera = simulation.camera();
    const auto size = 3 * static_cast<std::size_t>(camera.width() * camera.height());
    std::vector<Image> images{Image(camera.image(), camera.image() + size)};
    for (int i = 0; i < steps; ++i) {
        const line_tracking::CameraImage image{camera.width(), camera.height(), camera.image()};
        if (const auto speeds =
                line_tracking::compute_wheel_speeds(line_tracking::scan_dark_pixels(image), camera.width())) {
            simulation.set_wheel_speeds(speeds->left, speeds->right);
            const double top = world.robot.max_wheel_speed > 0 ? world.robot.max_wheel_speed : sim::MOST_WHEEL_SPEED;
            command = {std::clamp(speeds->left, -top, top), std::clamp(speeds->right, -top, top)};
        }
        const bool stepped = simulation.step(32);
        files.stepped(simulation);
        images.emplace_back(camera.image(), camera.image() + size);
        if (numbers != nullptr) {
            EXPECT_TRUE(stepped);
            const sim::Pose& p = simulation.pose();
            numbers->push_back({simulation.time(), p.x, p.y, p.heading, simulation.left_speed(),
                                simulation.right_speed(), simulation.metrics().lateral_error,
                                simulation.metrics().progress, command.left, command.right});
        }
    }
    if (finish) files.finished(simulation, 1.0, simulation.end_reason());
    return images;
}

// The whole frames decoded from `bytes`, a frames file or the start of one.
std::vector<Image> decode(const std::string& bytes) {
    std::istringstream in(bytes);
    const sim::FramesHeader header = sim::read_frames_header(in, "frames");
    EXPECT_EQ(header.first_step, 0);
    sim::FrameDecoder decoder(header.width, header.height);
    std::vector<Image> frames;
    while (decoder.next(in)) frames.push_back(decoder.image());
    return frames;
}

void PrintTo(const Recording& recording, std::ostream* out) { *out << recording.name; }

class FramesFile : public ::testing::TestWithParam<Recording> {};

// Noise makes every row differ from the one before and have no runs: the raw
// code. Without, the camera leaves most rows as they were, and the robot
// takes its word for it instead of comparing them: also where it renders
// every other step, and where it sees past the floor.
TEST_P(FramesFile, HoldsEveryImageTheCameraShowedAndLosesOnlyALastFrameCutShort) {
    const std::string folder = test_support::fresh_folder();
    const std::vector<Image> images = record_run(folder, GetParam(), 120);
    const std::string bytes = test_support::read_file(folder + "/" + sim::FRAMES_FILE);
    EXPECT_EQ(decode(bytes), images);
    const std::vector<Image> cut = decode(bytes.substr(0, bytes.size() - 1));
    EXPECT_EQ(cut, std::vector<Image>(images.begin(), images.end() - 1));
    // Without noise the floor and line make runs, and a still view repeats rows: far below 9 kB a frame.
    if (GetParam().noise == 0.0 && !GetParam().points) {
        EXPECT_LT(bytes.size(), 200 * images.size());
    }
    if (GetParam().past_the_edge) {  // as it is meant to
        const std::uint8_t outside = sim::default_world().floor.outside_gray;
        EXPECT_TRUE(std::any_of(images.begin(), images.end(), [&](const Image& image) {
            return std::find(image.begin(), image.end(), outside) != image.end();
        }));
    }
}

// Written while the run goes on, a hundred or so steps at a time: a run that
// stops between two hand-overs still leaves every step, in the trace and the frames.
TEST(FramesFile, AnUnfinishedRunLeavesEveryStepItTook) {
    const std::string folder = test_support::fresh_folder();
    const std::vector<Image> images = record_run(folder, {"plain"}, 150, {}, false);
    EXPECT_EQ(decode(test_support::read_file(sim::part_name(folder + "/" + sim::FRAMES_FILE))), images);
    const std::string trace = test_support::read_file(sim::part_name(folder + "/trace.csv"));
    EXPECT_EQ(std::count(trace.begin(), trace.end(), '\n'), 151);                   // the header and a row a step
    EXPECT_EQ(trace.substr(trace.rfind('\n', trace.size() - 2) + 1, 6), "4.8,0.");  // the last step's time, then x
}

// The trace, handed to the writing thread batch by batch, reads back as
// the run's own numbers, bit for bit and in step order, with the commands as
// the controller set them: also where the robot clamps them and its wheels
// lag behind them.
TEST(TraceFile, ReadsBackAsTheRunsNumbersOverManyHandOvers) {
    for (const Recording& how :
         {Recording{"points", 0.0, 32, true}, Recording{"slow_motors", 0.0, 32, false, false, true}}) {
        const std::string folder = test_support::fresh_folder();
        TraceNumbers expected, read;
        record_run(folder, how, 1000, {}, true, &expected);
        int lagging = 0, clamped = 0;
        for (const sim::TraceRow& r : sim::read_trace(folder + "/trace.csv")) {
            read.push_back({r.t, r.x, r.y, r.heading, r.left, r.right, r.lateral_error, r.progress, r.left_command,
                            r.right_command});
            lagging += r.left != r.left_command;
            clamped += r.left_command == 4.3 || r.right_command == 4.3;
        }
        EXPECT_EQ(read, expected) << how.name;
        if (how.slow_motors) {
            EXPECT_GT(lagging, 100);
            EXPECT_GT(clamped, 10);
        }
    }
}

INSTANTIATE_TEST_SUITE_P(Recordings, FramesFile,
                         ::testing::Values(Recording{"plain"}, Recording{"noise", 6.0},
                                           Recording{"every_other_step", 0.0, 64}, Recording{"points", 0.0, 32, true},
                                           Recording{"past_the_edge", 0.0, 32, false, true}),
                         [](const auto& recording) { return std::string(recording.param.name); });

// The trace's numbers are written as std::to_chars writes them: over random
// bit patterns (every magnitude, subnormals, NaN and infinities), numbers of
// a trace's sizes, and powers of ten and their neighbours.
TEST(TraceNumbers, AreWhatToCharsWrites) {
    std::mt19937_64 random(7);
    std::uniform_real_distribution<double> unit(-1.0, 1.0);
    std::vector<double> values = {0.0, -0.0, 5e-324, 2.2250738585072014e-308, 1.7976931348623157e308, 0.032, 120.0};
    for (int i = 0; i < 300000; ++i) {
        values.push_back(std::bit_cast<double>(random()));
        values.push_back(unit(random) * std::pow(10.0, static_cast<int>(random() % 40) - 20));
        values.push_back(i * 0.032);
    }
    for (int e = -325; e <= 310; ++e) {
        const double p = std::pow(10.0, e);
        values.insert(values.end(), {p, std::nextafter(p, 0.0), std::nextafter(p, INFINITY), 3 * p});
    }
    for (const double value : values) {
        char expected[64], written[64];
        const char* expected_end = std::to_chars(expected, expected + sizeof expected, value).ptr;
        const char* written_end = sim::write_shortest(written, value);
        ASSERT_EQ(std::string_view(written, written_end), std::string_view(expected, expected_end)) << value;
    }
}

TEST(FramesFile, SavesTheFramesAskedForAtTheFirstStepAtOrAfterEachTime) {
    const std::string folder = test_support::fresh_folder();
    record_run(folder, {"plain"}, 40, {1.0, 0.5, 0.51});
    std::vector<std::string> saved;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename().string().rfind("camera-frame-", 0) == 0) saved.push_back(entry.path().filename());
    }
    std::sort(saved.begin(), saved.end());
    EXPECT_EQ(saved, (std::vector<std::string>{"camera-frame-000.512s.png", "camera-frame-001.024s.png"}));
}

TEST(FramesFile, CodesNoEncoderWritesAreErrors) {
    const std::string header = sim::frames_header({4, 1, 0});
    std::vector<std::pair<std::string, std::string>> cases = {
        {"unknown row code", header + std::string(1, '\x07')},
        {"runs longer than the row", header + std::string("\x01\x01\x05\x00\x00\x00", 6)},
        {"runs shorter than the row", header + std::string("\x01\x01\x03\x00\x00\x00", 6)},
    };
    for (const auto& [name, bytes] : cases) EXPECT_THROW(decode(bytes), std::runtime_error) << name;
    std::istringstream not_frames("line-sim trace 1 64 48 0\n");
    EXPECT_THROW(sim::read_frames_header(not_frames, "x"), std::runtime_error);
}

// The corner rays of a camera are the limit of the corner pixels' rays of the
// same camera with ever finer pixels.
TEST(CameraFootprint, CornersAreWhereAFineCamerasCornerPixelsSee) {
    sim::CameraSettings tilted;
    tilted.pitch = 0.9;
    tilted.field_of_view = 1.2;
    tilted.width = 40;
    tilted.height = 40;
    tilted.mount_forward = -0.01;
    const sim::Track track(sim::default_world().track);
    const sim::Floor floor{{-1, -1}, {1, 1}};
    for (const sim::CameraSettings& coarse : {sim::CameraSettings{}, tilted}) {
        constexpr int FINER = 25;
        sim::CameraSettings settings = coarse;
        settings.width *= FINER;
        settings.height *= FINER;
        const sim::Camera fine(settings, sim::FloorSettings{}, track, 0.018, floor);
        const std::int32_t w = settings.width - 1, h = settings.height - 1;
        // Each corner pixel and its neighbour diagonally inwards, whose distance
        // bounds the half pixel from the pixel's centre to the image's corner.
        const std::int32_t at[4][4] = {{0, 0, 1, 1}, {w, 0, w - 1, 1}, {w, h, w - 1, h - 1}, {0, h, 1, h - 1}};
        const auto footprint = sim::camera_footprint(coarse, 10.0);
        for (std::size_t k = 0; k < 4; ++k) {
            const sim::Vec2 corner = fine.ground_point(at[k][0], at[k][1]),
                            inward = fine.ground_point(at[k][2], at[k][3]);
            const double pixel = std::hypot(corner.x - inward.x, corner.y - inward.y);
            EXPECT_LT(std::hypot(footprint[k].x - corner.x, footprint[k].y - corner.y), pixel) << k;
        }
    }
    // Looking almost level, the far corners see past the horizon and are cut at the reach.
    sim::CameraSettings level;
    level.pitch = 0.1;
    const auto footprint = sim::camera_footprint(level, 0.7);
    for (std::size_t k : {2U, 3U})
        EXPECT_NEAR(std::hypot(footprint[k].x - level.mount_forward, footprint[k].y), 0.7, 1e-12);
    EXPECT_LT(footprint[0].x, 0.7);
}

// Frames whose codes are larger than what the reader takes from a stream at
// a time (raw rows of a large noisy camera), from a stream that holds them
// all: every one comes back, and a last one cut short is left out.
TEST(FramesFile, FramesLargerThanAReadComeBackWhole) {
    constexpr std::int32_t width = 400, height = 300;  // 360 kB a raw frame
    std::mt19937 random(3);
    std::uniform_int_distribution<int> byte(0, 255);
    std::vector<Image> images;
    for (int k = 0; k < 12; ++k) {
        Image image(3 * width * height, 40);
        if (k % 3 != 2) {  // every third frame a flat one, after noisy ones: coded small again
            for (auto& b : image) b = static_cast<std::uint8_t>(byte(random));
        }
        images.push_back(image);
    }
    sim::FrameEncoder encoder(width, height);
    std::string bytes = sim::frames_header({width, height, 0});
    for (const Image& image : images) encoder.encode(image.data(), bytes);
    for (const std::size_t cut : {std::size_t{0}, std::size_t{1000}}) {
        std::istringstream in(bytes.substr(0, bytes.size() - cut));
        const sim::FramesHeader header = sim::read_frames_header(in, "frames");
        sim::FrameDecoder decoder(header.width, header.height);
        std::vector<Image> frames;
        while (decoder.next(in)) frames.push_back(decoder.image());
        EXPECT_EQ(frames, std::vector<Image>(images.begin(), images.end() - (cut > 0 ? 1 : 0))) << cut;
    }
}

TEST(ReplayPage, AFailedWriteLeavesThePageThatWasThere) {
    const std::string folder = test_support::fresh_folder();
    record_run(folder, {"plain"}, 30);
    const sim::WorldSettings world = sim::default_world();
    line_sim::write_replay(folder, world, nlohmann::json::object(), true);
    const std::string page = test_support::read_file(folder + "/replay.html");
    ASSERT_NE(page.find("id=\"frames\""), std::string::npos);

    // A frames file damaged after its first frame.
    const std::string frames = folder + "/" + sim::FRAMES_FILE;
    std::string bytes = test_support::read_file(frames);
    bytes.insert(bytes.find('\n') + 1 + 49, 1, '\x09');
    std::ofstream(frames, std::ios::binary) << bytes;
    try {
        line_sim::write_replay(folder, world, nlohmann::json::object(), true);
        ADD_FAILURE() << "a damaged frames file written into a page";
    } catch (const std::runtime_error& error) {
        EXPECT_NE(std::string(error.what()).find(frames), std::string::npos) << error.what();
    }
    EXPECT_EQ(test_support::read_file(folder + "/replay.html"), page);
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
    }
}

// The bytes a page's packed script `id` holds: base64 of zlib-deflated bytes, unpacked as the page does.
std::string unpacked(const std::string& page, const std::string& id) {
    const std::string open = "<script id=\"" + id + "\" type=\"application/octet-stream\">";
    const std::size_t begin = page.find(open) + open.size(), end = page.find("</script>", begin);
    EXPECT_GT(begin, open.size()) << id;
    std::string packed;
    std::uint32_t group = 0;
    int bits = 0;
    for (const char c : page.substr(begin, end - begin)) {
        constexpr std::string_view ALPHABET = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
        if (c == '=') break;
        group = group << 6 | static_cast<std::uint32_t>(ALPHABET.find(c));
        if ((bits += 6) >= 8) packed += static_cast<char>(group >> (bits -= 8) & 0xff);
    }
    inflate_state state;
    isal_inflate_init(&state);
    state.crc_flag = ISAL_ZLIB;
    state.next_in = reinterpret_cast<std::uint8_t*>(packed.data());
    state.avail_in = static_cast<std::uint32_t>(packed.size());
    std::string bytes;
    while (state.block_state != ISAL_BLOCK_FINISH) {
        const std::size_t had = bytes.size();
        bytes.resize(had + (1 << 20));
        state.next_out = reinterpret_cast<std::uint8_t*>(bytes.data() + had);
        state.avail_out = 1 << 20;
        if (isal_inflate(&state) != ISAL_DECOMP_OK || (state.avail_out == 1 << 20 && state.avail_in == 0)) {
            ADD_FAILURE() << id << ": not a whole deflate stream";
            break;
        }
        bytes.resize(bytes.size() - state.avail_out);
    }
    return bytes;
}

nlohmann::json page_settings(const std::string& page) {
    const std::string open = "<script id=\"settings\" type=\"application/json\">";
    const std::size_t begin = page.find(open) + open.size();
    return nlohmann::json::parse(page.substr(begin, page.find("</script>", begin) - begin));
}

// A robot's page, every step kept or every 3rd (a long run's): each kept row
// as the trace has it, bit for bit, with the command set after its frame (the
// next row's), and each kept frame the file's image after that step; no track.
TEST(RobotReplayPage, HoldsTheKeptStepsOfTheRobotsTraceAndFrames) {
    for (const std::size_t stride : {std::size_t{1}, std::size_t{3}}) {
        const std::string folder = test_support::fresh_folder(std::to_string(stride));
        const test_support::RobotRun run = test_support::write_robot_run(folder, 2100);  // over two trace blocks
        if (stride == 1) {
            line_sim::write_robot_replay(folder, run.summary, false);
        } else {
            std::ifstream frames(folder + "/" + sim::FRAMES_FILE, std::ios::binary);
            line_sim::ReplayPage page(folder, static_cast<std::int64_t>(stride), frames, false);
            sim::RobotTraceReader reader(folder + "/trace.csv");
            for (sim::RobotTraceRow row{}; reader.next(row);) page.add(row);
            page.end();
            page.commit(run.summary);
        }
        const std::string page = test_support::read_file(folder + "/replay.html");
        const nlohmann::json settings = page_settings(page);
        const std::size_t kept = (run.rows.size() + stride - 1) / stride;
        EXPECT_EQ(settings.at("robot"), true);
        EXPECT_EQ(settings.at("columns"),
                  nlohmann::json({"t", "left", "right", "frame_age", "late", "overruns", "next_left", "next_right"}));
        EXPECT_EQ(settings.at("summary"), run.summary);
        EXPECT_EQ(settings.at("steps"), kept);
        EXPECT_EQ(settings.at("frames"), kept);
        EXPECT_EQ(settings.at("run_steps"), run.rows.size());
        EXPECT_EQ(settings.at("camera_width"), 64);
        for (const char* key : {"strokes", "footprint", "floor", "start", "name"}) EXPECT_FALSE(settings.contains(key));

        // The trace: blocks of trace_block steps, each column by column as eight planes of the doubles' bytes.
        const std::string trace = unpacked(page, "trace");
        const std::size_t columns = 8, block = settings.at("trace_block");
        ASSERT_EQ(trace.size(), 8 * columns * kept);
        const double nan = std::numeric_limits<double>::quiet_NaN();
        for (std::size_t first = 0, at = 0; first < kept; first += block) {
            const std::size_t n = std::min<std::size_t>(block, kept - first), m = n * columns;
            for (std::size_t i = 0; i < n; ++i) {
                const std::size_t row = (first + i) * stride;
                const sim::RobotTraceRow& r = run.rows[row];
                const bool last = row + 1 == run.rows.size();
                const double expected[] = {r.t,
                                           r.left,
                                           r.right,
                                           r.frame_age,
                                           r.late,
                                           r.overruns,
                                           last ? nan : run.rows[row + 1].left,
                                           last ? nan : run.rows[row + 1].right};
                for (std::size_t k = 0; k < columns; ++k) {
                    std::uint64_t bits = 0;
                    for (std::size_t b = 0; b < 8; ++b)
                        bits |= std::uint64_t{static_cast<std::uint8_t>(trace[at + b * m + k * n + i])} << (8 * b);
                    ASSERT_EQ(bits, std::bit_cast<std::uint64_t>(expected[k])) << "row " << row << " column " << k;
                }
            }
            at += 8 * m;
        }

        // The frames, each coded against the kept one before it.
        std::istringstream frames(unpacked(page, "frames"));
        sim::FrameDecoder decoder(64, 48);
        for (std::size_t i = 0; i < kept; ++i) {
            ASSERT_TRUE(decoder.next(frames)) << i;
            ASSERT_EQ(decoder.image(), run.frames[i * stride + 1]) << i;
        }
        EXPECT_FALSE(decoder.next(frames));
    }
}

// A trace that is not a robot's, or frames that are damaged: an error naming
// the file, and the page that was there stays as it was.
TEST(RobotReplayPage, AFolderWithoutARobotsRunIsAnErrorNamingTheFile) {
    const std::string folder = test_support::fresh_folder();
    const test_support::RobotRun run = test_support::write_robot_run(folder, 20);
    line_sim::write_robot_replay(folder, run.summary, true);
    const std::string page = test_support::read_file(folder + "/replay.html");
    const std::string trace = folder + "/trace.csv", frames = folder + "/" + sim::FRAMES_FILE;
    const std::string trace_bytes = test_support::read_file(trace), frames_bytes = test_support::read_file(frames);
    std::string damaged = frames_bytes;
    damaged.insert(damaged.find('\n') + 1 + 49, 1, '\x09');
    const std::vector<std::tuple<std::string, std::string, std::string>> cases = {
        {trace, "", frames_bytes},                                           // a run stopped before its trace began
        {trace, sim::trace_header() + "\n0.032,0,0,0,0,0\n", frames_bytes},  // a simulated run's
        {frames, trace_bytes, damaged},
    };
    for (const auto& [named, trace_text, frames_text] : cases) {
        std::ofstream(trace, std::ios::binary) << trace_text;
        std::ofstream(frames, std::ios::binary) << frames_text;
        try {
            line_sim::write_robot_replay(folder, run.summary, true);
            ADD_FAILURE() << "no error for a bad " << named;
        } catch (const std::runtime_error& error) {
            EXPECT_NE(std::string(error.what()).find(named), std::string::npos) << error.what();
        }
        EXPECT_EQ(test_support::read_file(folder + "/replay.html"), page);
    }
    for (const auto& entry : fs::directory_iterator(folder)) {
        EXPECT_NE(entry.path().filename().string().front(), '.') << "left behind: " << entry.path();
    }
}

// A file read while another thread writes it in pieces (a line cut between
// two of them), with pauses, and renames it once complete: every byte, in
// order, and the end only once the writer has ended.
TEST(GrowingFile, ReadsAFileAsItIsWrittenAndRenamed) {
    const std::string folder = test_support::fresh_folder(), part = folder + "/f.part", whole = folder + "/f";
    std::string text;
    for (int i = 0; i < 20000; ++i) text += std::to_string(i) + "\n";
    line_sim::WriterEnded ended;
    std::atomic<bool> done = false;
    std::thread writer([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));  // not there at first
        std::ofstream file(part, std::ios::binary);
        for (std::size_t at = 0; at < text.size(); at += 30001) {
            file << text.substr(at, 30001) << std::flush;
            std::this_thread::sleep_for(std::chrono::milliseconds(3));
        }
        file.close();
        fs::rename(part, whole);
        // The file is complete under its last name: the reading ends
        // without waiting for the writer to end (its process to exit).
        for (int i = 0; i < 1000 && !done; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
        ended.set();
    });
    line_sim::GrowingFile growing({part, whole}, ended);
    std::istream in(&growing);
    const std::string read{std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
    EXPECT_FALSE(ended.is_set());
    done = true;
    writer.join();
    EXPECT_EQ(read, text);

    // A file never written is empty once its writer has ended; so is a pipe
    // (opening one for reading would wait for a writer for ever).
    line_sim::GrowingFile absent({folder + "/nothing"}, ended);
    EXPECT_EQ(absent.sgetc(), std::char_traits<char>::eof());
    ASSERT_EQ(mkfifo((folder + "/pipe").c_str(), 0600), 0);
    line_sim::GrowingFile pipe({folder + "/pipe"}, ended);
    EXPECT_EQ(pipe.sgetc(), std::char_traits<char>::eof());
    EXPECT_TRUE(pipe.failed());
    EXPECT_FALSE(absent.failed());
}

TEST(IndexPage, NamesFromWorldFilesCannotEndTheDataEarly) {
    const std::string folder = test_support::fresh_folder();
    const nlohmann::json summary = {{"world", "</script><script>alert(1)</script>"}, {"steps", 3}};
    line_sim::write_index(folder, {{"a b/#1", summary}}, "<?xml version=\"1.0\"?>\n<svg id=\"plot\"></svg>\n");
    const std::string page = test_support::read_file(folder + "/index.html");
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("\\u003c/script\\u003e"), std::string::npos);
    EXPECT_NE(page.find("<figure id=\"sweep\"><svg id=\"plot\"></svg>"), std::string::npos);
    EXPECT_EQ(page.find("<?xml"), std::string::npos);
}

}  // namespace
