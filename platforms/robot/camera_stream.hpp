#pragma once

// The real robot's camera: a GStreamer pipeline that ends in an appsink,
// read one image a control step. What the person writes is only the source
// part of the pipeline; the conversion to packed RGB of the controller's size
// is appended here, so that any camera GStreamer knows can be used.

#include <cstdint>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

// GStreamer's own declaration, so that its headers stay out of this one.
typedef struct _GstSample GstSample;

namespace robot {

// One line naming the setting (camera.pipeline, camera.flip, camera.width,
// camera.height, camera.start_timeout, or the video file) and what to do.
class CameraError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class CameraStream {
public:
    // `source`: a GStreamer pipeline description that produces video, e.g.
    // "videotestsrc is-live=true", "v4l2src device=/dev/video0 ! jpegdec".
    // Appended: [videoflip !] videoconvert ! videoscale ! video/x-raw,format=RGB,width=W,height=H ! appsink.
    // `flip`: one of videoflip's method names ("none" or empty: no videoflip; "rotate-180",
    // "horizontal-flip", ...). `start_timeout` [s]: how long to wait for the first frame.
    // Starts the pipeline; throws CameraError saying what went wrong.
    CameraStream(const std::string& source, const std::string& flip, int width, int height, double start_timeout);
    // The same for a video file, read through decodebin; the file name is set
    // as filesrc's property, never put into a description.
    static CameraStream from_file(const std::string& path, int width, int height, double start_timeout);
    // Stops and frees the pipeline; never throws.
    ~CameraStream();
    // Not copied nor moved: GStreamer's streaming threads hold the address of its state.
    CameraStream(const CameraStream&) = delete;
    CameraStream& operator=(const CameraStream&) = delete;

    // A live source (a camera, a network stream, videotestsrc is-live=true)
    // keeps only its newest frame for take(); any other hands every frame out
    // once, in order.
    bool live() const { return live_; }

    enum class Next { frame, no_new_frame, ended, failed };
    // Live: the newest frame if one came since the last take, waiting up to
    // `wait` [s] for one. Not live: the next frame in order, waiting up to
    // `wait` [s]. no_new_frame leaves image() as it was; ended: end of stream;
    // failed: an error in the pipeline, which error() says in one line. Once
    // ended or failed, every later take says so again.
    Next take(double wait);

    // height() rows of width() * 3 bytes (RGB), packed; black before the first
    // frame is taken; stable until the next take().
    const std::uint8_t* image() const { return image_.data(); }
    int width() const { return width_; }
    int height() const { return height_; }
    // [s] on CLOCK_MONOTONIC (steady_clock's clock) when the current image was
    // captured, as the source timestamped it where the pipeline runs on the
    // monotonic system clock and the source is live (never later than it
    // reached the appsink); else when it reached the appsink. A file's
    // timestamps say where a frame lies in the video, not when it was taken.
    // 0 before the first frame.
    double captured_at() const { return captured_at_; }
    // Frames a live source's one-frame queue dropped for newer ones.
    std::int64_t dropped() const { return dropped_; }
    // Why take() failed; empty until then.
    const std::string& error() const { return error_; }

private:
    struct Pipeline;
    // `what`: the source's description, or the video file's name.
    CameraStream(const std::string& what, bool is_file, const std::string& flip, int width, int height,
                 double start_timeout);
    Next fail(const std::string& why);
    Next show(GstSample* sample);

    std::string setting_;  // what errors name: camera.pipeline, or the video file
    int width_ = 0;
    int height_ = 0;
    bool live_ = false;
    std::vector<std::uint8_t> image_;
    double captured_at_ = 0;
    std::int64_t dropped_ = 0;
    std::int64_t last_arrival_ = -1;  // the arrival number of the current image's buffer (from 0)
    std::string error_;
    bool ended_ = false;
    std::unique_ptr<Pipeline> pipeline_;  // the GStreamer objects
};

}  // namespace robot
