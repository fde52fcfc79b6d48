// The real robot's camera over GStreamer pipelines: its images against raw
// frames that gst-launch-1.0 writes from the same sources, a video file read
// frame by frame, a live source, and settings a person gets wrong.
#include "camera_stream.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <thread>
#include <vector>

namespace {

namespace fs = std::filesystem;
using robot::CameraError;
using robot::CameraStream;
using Image = std::vector<std::uint8_t>;

const std::string TAIL = " ! videoconvert ! videoscale ! video/x-raw,format=RGB,width=50,height=30";
constexpr int WIDTH = 50;
constexpr int HEIGHT = 30;

// Every test needs gst-launch-1.0 for its reference, and a folder of its own.
class CameraStreamTest : public testing::Test {
protected:
    void SetUp() override {
        if (std::string(GST_LAUNCH).empty()) GTEST_SKIP() << "gst-launch-1.0 (gstreamer1.0-tools) is not installed";
        const auto* info = testing::UnitTest::GetInstance()->current_test_info();
        std::string name = std::string(info->test_suite_name()) + "." + info->name();
        for (char& c : name)
            if (c == '/') c = '_';
        folder_ = fs::path("/tmp") / name;
        fs::remove_all(folder_);
        fs::create_directories(folder_);
    }
    // The paths given here are the test's own, without spaces or quotes.
    static void gst_launch(const std::string& pipeline) {
        const std::string command = std::string(GST_LAUNCH) + " -q " + pipeline + " >/dev/null 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    // The frames of a raw file as GStreamer writes RGB: rows padded to a
    // multiple of 4 bytes (152 for 50 pixels), here unpadded.
    static std::vector<Image> raw_frames(const fs::path& path) {
        std::ifstream in(path, std::ios::binary);
        const Image bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        const std::size_t row = WIDTH * 3, stride = (row + 3) / 4 * 4, frame = stride * HEIGHT;
        EXPECT_EQ(stride, 152u);
        EXPECT_EQ(bytes.size() % frame, 0u) << path;
        std::vector<Image> frames;
        for (std::size_t f = 0; f + frame <= bytes.size(); f += frame) {
            Image image;
            for (std::size_t y = 0; y < HEIGHT; ++y)
                image.insert(image.end(), bytes.begin() + static_cast<long>(f + y * stride),
                             bytes.begin() + static_cast<long>(f + y * stride + row));
            frames.push_back(image);
        }
        return frames;
    }
    static Image image_of(const CameraStream& camera) {
        return Image(camera.image(), camera.image() + WIDTH * HEIGHT * 3);
    }
    fs::path folder_;
};

// A flip done here on packed RGB, to check videoflip's.
Image flipped(const Image& image, bool rows, bool columns) {
    Image out(image.size());
    for (int y = 0; y < HEIGHT; ++y)
        for (int x = 0; x < WIDTH; ++x)
            for (int c = 0; c < 3; ++c)
                out[static_cast<std::size_t>(((rows ? HEIGHT - 1 - y : y) * WIDTH + (columns ? WIDTH - 1 - x : x)) * 3 +
                                             c)] = image[static_cast<std::size_t>((y * WIDTH + x) * 3 + c)];
    return out;
}

using CameraStreamImage = CameraStreamTest;

TEST_F(CameraStreamImage, PackedRowsAtAnOddWidthAreGStreamersOwn) {
    gst_launch("videotestsrc pattern=smpte num-buffers=1" + TAIL +
               " ! filesink location=" + (folder_ / "reference.raw").string());
    const std::vector<Image> reference = raw_frames(folder_ / "reference.raw");
    ASSERT_EQ(reference.size(), 1u);

    CameraStream camera("videotestsrc pattern=smpte", "none", WIDTH, HEIGHT, 10);
    EXPECT_FALSE(camera.live());
    EXPECT_EQ(image_of(camera), Image(WIDTH * HEIGHT * 3, 0)) << "black before the first take";
    ASSERT_EQ(camera.take(10), CameraStream::Next::frame) << camera.error();
    EXPECT_EQ(image_of(camera), reference[0]);
}

// RGB from the source on, so that the flip is exact and can be done here.
TEST_F(CameraStreamImage, FlipsAsNamed) {
    const std::string rgb = " ! video/x-raw,format=RGB,width=50,height=30";
    const std::string source = "videotestsrc pattern=smpte" + rgb;
    gst_launch("videotestsrc pattern=smpte num-buffers=1" + rgb +
               " ! filesink location=" + (folder_ / "reference.raw").string());
    const std::vector<Image> reference = raw_frames(folder_ / "reference.raw");
    ASSERT_EQ(reference.size(), 1u);
    ASSERT_NE(reference[0], flipped(reference[0], false, true)) << "a pattern that a flip changes";
    struct Case {
        const char* flip;
        bool rows, columns;
    };
    for (const Case& c : {Case{"", false, false}, Case{"rotate-180", true, true}, Case{"horizontal-flip", false, true},
                          Case{"vertical-flip", true, false}}) {
        CameraStream camera(source, c.flip, WIDTH, HEIGHT, 10);
        ASSERT_EQ(camera.take(10), CameraStream::Next::frame) << c.flip << ": " << camera.error();
        EXPECT_EQ(image_of(camera), flipped(reference[0], c.rows, c.columns)) << c.flip;
    }
}

using CameraStreamFile = CameraStreamTest;

TEST_F(CameraStreamFile, HandsOutEveryFrameInOrderThenEnds) {
    constexpr int FRAMES = 12;
    const std::string clip = (folder_ / "clip.webm").string();
    gst_launch("videotestsrc pattern=ball num-buffers=" + std::to_string(FRAMES) +
               " ! video/x-raw,width=160,height=120 ! vp8enc ! webmmux ! filesink location=" + clip);
    gst_launch("filesrc location=" + clip + " ! decodebin" + TAIL +
               " ! filesink location=" + (folder_ / "frames.raw").string());
    const std::vector<Image> reference = raw_frames(folder_ / "frames.raw");
    ASSERT_EQ(reference.size(), static_cast<std::size_t>(FRAMES));
    ASSERT_NE(reference[0], reference[1]) << "frames that tell their order";

    // A name that would be a pipeline of its own if it were put into a description.
    const fs::path odd = folder_ / "a ! fakesink \"b\" name=c.webm";
    fs::copy_file(clip, odd);
    CameraStream camera = CameraStream::from_file(odd.string(), WIDTH, HEIGHT, 10);
    EXPECT_FALSE(camera.live());
    for (int i = 0; i < FRAMES; ++i) {
        ASSERT_EQ(camera.take(10), CameraStream::Next::frame) << "frame " << i << ": " << camera.error();
        EXPECT_EQ(image_of(camera), reference[static_cast<std::size_t>(i)]) << "frame " << i;
    }
    EXPECT_EQ(camera.take(10), CameraStream::Next::ended);
    EXPECT_EQ(camera.take(0), CameraStream::Next::ended);
    EXPECT_EQ(camera.dropped(), 0);
    EXPECT_EQ(image_of(camera), reference.back()) << "kept after the end";
}

using CameraStreamLive = CameraStreamTest;

TEST_F(CameraStreamLive, HandsOutTheNewestFrame) {
    CameraStream camera("videotestsrc is-live=true", "", WIDTH, HEIGHT, 10);
    EXPECT_TRUE(camera.live());
    double last = 0;
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(camera.take(10), CameraStream::Next::frame) << camera.error();
        const double now = std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
        EXPECT_GT(camera.captured_at(), last);
        EXPECT_LE(camera.captured_at(), now);
        last = camera.captured_at();
        const CameraStream::Next again = camera.take(0);
        EXPECT_TRUE(again == CameraStream::Next::frame || again == CameraStream::Next::no_new_frame) << camera.error();
    }
    // 30 frames a second: several come while the controller looks away, and
    // only the newest is handed out.
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(camera.take(10), CameraStream::Next::frame) << camera.error();
    EXPECT_GT(camera.dropped(), 0);
}

struct BadSetting {
    const char* name;
    std::string source;  // a description, or a file name in the test's folder
    std::string flip;
    bool is_file;
    const char* named;  // what the error must name; "" for the file's path
    int width = WIDTH;
    double start_timeout = 10;
};

void PrintTo(const BadSetting& bad, std::ostream* out) { *out << bad.name; }

class CameraStreamBadSettings : public CameraStreamTest, public testing::WithParamInterface<BadSetting> {};

TEST_P(CameraStreamBadSettings, AreOneLineNamingTheSetting) {
    const BadSetting& bad = GetParam();
    const std::string path = (folder_ / bad.source).string();
    std::ofstream(folder_ / "notes.txt") << "not a video\n";
    try {
        if (bad.is_file) {
            (void)CameraStream::from_file(path, bad.width, HEIGHT, bad.start_timeout);
        } else {
            CameraStream camera(bad.source, bad.flip, bad.width, HEIGHT, bad.start_timeout);
        }
        FAIL() << "no error";
    } catch (const CameraError& error) {
        const std::string what = error.what();
        EXPECT_NE(what.find(*bad.named != '\0' ? std::string(bad.named) : path), std::string::npos) << what;
        EXPECT_EQ(what.find('\n'), std::string::npos) << what;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, CameraStreamBadSettings,
    testing::Values(BadSetting{"Syntax", "videotestsrc !", "", false, "camera.pipeline"},
                    BadSetting{"Empty", " ", "", false, "camera.pipeline"},
                    BadSetting{"UnknownElement", "v4l2srcc", "", false, "camera.pipeline: no element \"v4l2srcc\""},
                    BadSetting{"UnknownFlip", "videotestsrc", "sideways", false, "camera.flip"},
                    BadSetting{"FlipThatIsAPipeline", "videotestsrc", "none ! fakesink", false, "camera.flip"},
                    BadSetting{"MissingDevice", "v4l2src device=/dev/does-not-exist", "", false, "camera.pipeline"},
                    BadSetting{"AudioSource", "audiotestsrc", "", false, "camera.pipeline"},
                    BadSetting{"NoFrameInTime", "videotestsrc ! identity drop-probability=1", "", false,
                               "camera.pipeline", WIDTH, 0.3},
                    BadSetting{"ZeroWidth", "videotestsrc", "", false, "camera.width", 0},
                    BadSetting{"MissingFile", "missing.webm", "", true, ""},
                    BadSetting{"TextFile", "notes.txt", "", true, ""}),
    [](const testing::TestParamInfo<BadSetting>& p) { return p.param.name; });

}  // namespace
