#include "camera_stream.hpp"

#include <gst/app/gstappsink.h>
#include <gst/gst.h>
#include <gst/video/video.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <mutex>
#include <optional>
#include <string_view>

namespace robot {

namespace {

constexpr int MOST_PIXELS = 8192;           // [pixels] a side
constexpr double MOST_START_TIMEOUT = 600;  // [s]
constexpr double MOST_WAIT = 3600;          // [s] one take() waits at most
// [frames] a file's or a non-live source's appsink holds before the
// streaming thread blocks: nothing is dropped, and little is held.
constexpr guint NOT_LIVE_QUEUE = 4;
constexpr double BUS_POLL = 0.05;  // [s] between looks at the bus while waiting for a frame
const char* const SINK_NAME = "robot_camera_sink";
const char* const FLIP_NAME = "robot_camera_flip";
const char* const FILE_NAME = "robot_camera_file";

double monotonic_now() {
    return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

// Text from outside (a file name, an element's name) shown on one line.
std::string printable(std::string_view text) {
    std::string out(text);
    std::replace_if(
        out.begin(), out.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20; }, '?');
    return out;
}

// GStreamer's messages may run over several lines; the first says what happened.
std::string first_line(const char* text) {
    if (text == nullptr) return "no reason given";
    std::string_view line(text);
    line = line.substr(0, line.find('\n'));
    while (!line.empty() && (line.back() == ' ' || line.back() == '\r')) line.remove_suffix(1);
    return printable(line);
}

std::string seconds(double s) {
    char text[32];
    std::snprintf(text, sizeof text, "%g s", s);
    return text;
}

void start_gstreamer() {
    static std::once_flag once;
    static std::string failure;
    std::call_once(once, [] {
        GError* error = nullptr;
        if (!gst_init_check(nullptr, nullptr, &error)) failure = first_line(error ? error->message : nullptr);
        g_clear_error(&error);
    });
    if (!failure.empty()) throw CameraError("camera: GStreamer does not start: " + failure);
}

// videoflip's value for a method name, from videoflip's own list of them.
gint flip_method(const std::string& name) {
    GstElement* flip = gst_element_factory_make("videoflip", nullptr);
    if (flip == nullptr)
        throw CameraError("camera.flip: GStreamer has no videoflip element; install gstreamer1.0-plugins-good");
    gst_object_ref_sink(flip);
    GParamSpec* method = g_object_class_find_property(G_OBJECT_GET_CLASS(flip), "method");
    GEnumClass* methods =
        method != nullptr && G_IS_PARAM_SPEC_ENUM(method) ? G_PARAM_SPEC_ENUM(method)->enum_class : nullptr;
    const GEnumValue* value = methods != nullptr ? g_enum_get_value_by_nick(methods, name.c_str()) : nullptr;
    std::string known;
    for (guint i = 0; methods != nullptr && i < methods->n_values; ++i)
        known += (i == 0 ? "" : ", ") + std::string(methods->values[i].value_nick);
    gint result = value != nullptr ? value->value : 0;
    gst_object_unref(flip);
    if (value == nullptr)
        throw CameraError("camera.flip: unknown method \"" + printable(name) + "\"; expected one of " + known);
    return result;
}

// The first error on the bus, in one line, or none; every other message is
// dropped, so that the bus does not grow over a long run.
std::optional<std::string> bus_error(GstBus* bus) {
    GstMessage* message = gst_bus_pop_filtered(bus, GST_MESSAGE_ERROR);
    if (message == nullptr) return std::nullopt;
    GError* error = nullptr;
    gchar* debug = nullptr;
    gst_message_parse_error(message, &error, &debug);
    std::string text = first_line(error != nullptr ? error->message : nullptr);
    if (GST_MESSAGE_SRC(message) != nullptr) text += " (from " + printable(GST_MESSAGE_SRC_NAME(message)) + ")";
    // Streaming that stops says little in its message; its debug text says why.
    if (debug != nullptr && std::strstr(debug, "not-negotiated") != nullptr)
        text += ": caps do not negotiate (the source's video cannot be turned into RGB of this size)";
    else if (debug != nullptr && std::strstr(debug, "not-linked") != nullptr)
        text += ": a stream is not linked to anything";
    g_free(debug);
    g_clear_error(&error);
    gst_message_unref(message);
    return text;
}

struct SampleUnref {
    void operator()(GstSample* sample) const { gst_sample_unref(sample); }
};
using Sample = std::unique_ptr<GstSample, SampleUnref>;

}  // namespace

struct CameraStream::Pipeline {
    GstElement* pipeline = nullptr;
    GstAppSink* sink = nullptr;
    GstBus* bus = nullptr;
    Sample first;  // the frame waited for at the start, not yet taken

    // Every buffer that reaches the appsink, numbered, with when it came
    // [s, monotonic]: a pulled sample's buffer is found here by its address,
    // which no other buffer can have while the sample holds it. Written by
    // the streaming thread.
    struct Arrival {
        const GstBuffer* buffer = nullptr;
        std::int64_t number = 0;
        double time = 0;
    };
    std::mutex mutex;
    std::array<Arrival, 16> arrivals{};
    std::int64_t count = 0;

    ~Pipeline() {
        first.reset();
        if (pipeline != nullptr) gst_element_set_state(pipeline, GST_STATE_NULL);  // joins the streaming threads
        if (bus != nullptr) gst_object_unref(bus);
        if (sink != nullptr) gst_object_unref(sink);
        if (pipeline != nullptr) gst_object_unref(pipeline);
    }

    void arrived(const GstBuffer* buffer) {
        std::lock_guard lock(mutex);
        arrivals[static_cast<std::size_t>(count) % arrivals.size()] = {buffer, count, monotonic_now()};
        ++count;
    }
    static GstPadProbeReturn on_data(GstPad*, GstPadProbeInfo* info, gpointer data) {
        auto* self = static_cast<Pipeline*>(data);
        if ((GST_PAD_PROBE_INFO_TYPE(info) & GST_PAD_PROBE_TYPE_BUFFER) != 0) {
            self->arrived(GST_PAD_PROBE_INFO_BUFFER(info));
        } else if (GstBufferList* list = GST_PAD_PROBE_INFO_BUFFER_LIST(info); list != nullptr) {
            for (guint i = 0; i < gst_buffer_list_length(list); ++i) self->arrived(gst_buffer_list_get(list, i));
        }
        return GST_PAD_PROBE_OK;
    }
    std::optional<Arrival> arrival_of(const GstBuffer* buffer) {
        std::lock_guard lock(mutex);
        const auto size = static_cast<std::int64_t>(arrivals.size());
        for (std::int64_t n = count - 1; n >= 0 && n >= count - size; --n) {
            const Arrival& a = arrivals[static_cast<std::size_t>(n % size)];
            if (a.buffer == buffer) return a;
        }
        return std::nullopt;
    }

    // The next sample within `wait` [s], looking at the bus meanwhile: none
    // at the end of the stream, on an error (set in `error`) or in time.
    Sample pull(double wait, std::optional<std::string>& error) {
        const double deadline = monotonic_now() + std::clamp(std::isnan(wait) ? 0.0 : wait, 0.0, MOST_WAIT);
        for (;;) {
            const double left = deadline - monotonic_now();
            const auto slice = static_cast<GstClockTime>(std::clamp(left, 0.0, BUS_POLL) * 1e9);
            if (GstSample* sample = gst_app_sink_try_pull_sample(sink, slice); sample != nullptr) return Sample(sample);
            if ((error = bus_error(bus))) return {};
            if (gst_app_sink_is_eos(sink) || left <= BUS_POLL) return {};
        }
    }
};

CameraStream::CameraStream(const std::string& source, const std::string& flip, int width, int height,
                           double start_timeout)
    : CameraStream(source, false, flip, width, height, start_timeout) {}

CameraStream CameraStream::from_file(const std::string& path, int width, int height, double start_timeout) {
    return CameraStream(path, true, "", width, height, start_timeout);
}

CameraStream::~CameraStream() = default;

CameraStream::CameraStream(const std::string& what, bool is_file, const std::string& flip, int width, int height,
                           double start_timeout)
    : setting_(is_file ? "video file \"" + printable(what) + "\"" : "camera.pipeline"), width_(width), height_(height) {
    start_gstreamer();
    if (width < 1 || width > MOST_PIXELS)
        throw CameraError("camera.width: expected 1 to " + std::to_string(MOST_PIXELS) + " pixels, got " +
                          std::to_string(width));
    if (height < 1 || height > MOST_PIXELS)
        throw CameraError("camera.height: expected 1 to " + std::to_string(MOST_PIXELS) + " pixels, got " +
                          std::to_string(height));
    if (!(start_timeout > 0 && start_timeout <= MOST_START_TIMEOUT))
        throw CameraError("camera.start_timeout: expected more than 0 s and at most " + seconds(MOST_START_TIMEOUT) +
                          ", got " + seconds(start_timeout));
    const std::string hint = is_file
                                 ? "; is it a video GStreamer can decode?"
                                 : "; try the source alone with gst-launch-1.0 SOURCE ! videoconvert ! autovideosink";
    if (is_file) {
        std::error_code ignored;
        const auto type = std::filesystem::status(what, ignored).type();
        if (type == std::filesystem::file_type::not_found) throw CameraError(setting_ + ": no such file");
        if (type != std::filesystem::file_type::regular) throw CameraError(setting_ + ": not a readable file");
    } else if (what.find_first_not_of(" \t\r\n") == std::string::npos) {
        throw CameraError("camera.pipeline: empty; expected a GStreamer source such as \"v4l2src device=/dev/video0\"");
    }
    const bool flipped = !flip.empty() && flip != "none";
    const gint method = flipped ? flip_method(flip) : 0;

    std::string description = is_file ? std::string("filesrc name=") + FILE_NAME + " ! decodebin" : what;
    if (flipped) description += std::string(" ! videoflip name=") + FLIP_NAME;
    description += " ! videoconvert ! videoscale ! video/x-raw,format=RGB,width=" + std::to_string(width) +
                   ",height=" + std::to_string(height) + " ! appsink name=" + SINK_NAME;
    pipeline_ = std::make_unique<Pipeline>();
    Pipeline& p = *pipeline_;
    GError* error = nullptr;
    GstElement* parsed = gst_parse_launch_full(description.c_str(), nullptr, GST_PARSE_FLAG_FATAL_ERRORS, &error);
    if (parsed != nullptr) p.pipeline = GST_ELEMENT(gst_object_ref_sink(parsed));
    if (error != nullptr || parsed == nullptr || !GST_IS_BIN(parsed)) {
        std::string why = first_line(error != nullptr ? error->message : "not a pipeline");
        if (error != nullptr && error->domain == GST_PARSE_ERROR && error->code == GST_PARSE_ERROR_LINK)
            why += ": caps do not negotiate (is the source's output video?)";
        g_clear_error(&error);
        throw CameraError(setting_ + ": " + why + hint);
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(p.pipeline), SINK_NAME);
    if (sink != nullptr && !GST_IS_APP_SINK(sink)) {
        gst_object_unref(sink);
        sink = nullptr;
    }
    if (sink == nullptr) throw CameraError(setting_ + ": the element name " + SINK_NAME + " is taken");
    p.sink = GST_APP_SINK(sink);
    p.bus = gst_element_get_bus(p.pipeline);
    // No clock sync: the controller paces itself, and wants each frame as soon as it is there.
    g_object_set(sink, "sync", FALSE, "max-buffers", NOT_LIVE_QUEUE, "drop", FALSE, "enable-last-sample", FALSE,
                 nullptr);
    GstPad* pad = gst_element_get_static_pad(sink, "sink");
    gst_pad_add_probe(pad, static_cast<GstPadProbeType>(GST_PAD_PROBE_TYPE_BUFFER | GST_PAD_PROBE_TYPE_BUFFER_LIST),
                      Pipeline::on_data, &p, nullptr);
    gst_object_unref(pad);
    if (is_file) {
        GstElement* file = gst_bin_get_by_name(GST_BIN(p.pipeline), FILE_NAME);
        g_object_set(file, "location", what.c_str(), nullptr);
        gst_object_unref(file);
    }
    if (flipped) {
        GstElement* videoflip = gst_bin_get_by_name(GST_BIN(p.pipeline), FLIP_NAME);
        // The names are those of videoflip's "method", which is deprecated
        // (and, written in a gst-launch-1.0 description, has no effect in
        // GStreamer 1.22); "video-direction" takes the same values.
        g_object_set(videoflip, "video-direction", method, nullptr);
        gst_object_unref(videoflip);
    }

    // A live source produces nothing in PAUSED, and says so: the standard test.
    const GstStateChangeReturn paused = gst_element_set_state(p.pipeline, GST_STATE_PAUSED);
    if (paused == GST_STATE_CHANGE_FAILURE ||
        gst_element_set_state(p.pipeline, GST_STATE_PLAYING) == GST_STATE_CHANGE_FAILURE)
        throw CameraError(setting_ + ": does not start: " + bus_error(p.bus).value_or("no reason given") + hint);
    live_ = paused == GST_STATE_CHANGE_NO_PREROLL;
    // A live queue keeps only the newest frame. Nothing has flowed yet: a live
    // source starts in PLAYING, and the state change above is asynchronous.
    if (live_) g_object_set(sink, "max-buffers", 1u, "drop", TRUE, nullptr);

    std::optional<std::string> failure;
    p.first = p.pull(start_timeout, failure);
    if (failure) throw CameraError(setting_ + ": " + *failure + hint);
    if (p.first == nullptr && gst_app_sink_is_eos(p.sink))
        throw CameraError(setting_ + ": the stream ended before its first frame" + hint);
    if (p.first == nullptr) throw CameraError(setting_ + ": no frame within " + seconds(start_timeout) + hint);
    image_.assign(static_cast<std::size_t>(width) * static_cast<std::size_t>(height) * 3, 0);
}

CameraStream::Next CameraStream::fail(const std::string& why) {
    error_ = setting_ + ": " + why;
    return Next::failed;
}

CameraStream::Next CameraStream::take(double wait) {
    if (!error_.empty()) return Next::failed;
    if (ended_) return Next::ended;
    Pipeline& p = *pipeline_;
    if (auto failure = bus_error(p.bus)) return fail(*failure);
    Sample sample = std::move(p.first);
    if (live_) {
        // The queue holds one frame; one that came meanwhile is newer still.
        while (GstSample* newer = gst_app_sink_try_pull_sample(p.sink, 0)) sample.reset(newer);
    }
    if (sample == nullptr) {
        std::optional<std::string> failure;
        sample = p.pull(wait, failure);
        if (failure) return fail(*failure);
    }
    if (sample == nullptr) {
        ended_ = gst_app_sink_is_eos(p.sink);
        return ended_ ? Next::ended : Next::no_new_frame;
    }
    return show(sample.get());
}

CameraStream::Next CameraStream::show(GstSample* sample) {
    Pipeline& p = *pipeline_;
    GstBuffer* buffer = gst_sample_get_buffer(sample);
    GstCaps* caps = gst_sample_get_caps(sample);
    GstVideoInfo info;
    if (buffer == nullptr || caps == nullptr || !gst_video_info_from_caps(&info, caps) ||
        GST_VIDEO_INFO_FORMAT(&info) != GST_VIDEO_FORMAT_RGB || GST_VIDEO_INFO_WIDTH(&info) != width_ ||
        GST_VIDEO_INFO_HEIGHT(&info) != height_)
        return fail("a frame came that is not RGB of " + std::to_string(width_) + "x" + std::to_string(height_));
    // Rows are padded to a multiple of 4 bytes (or as the buffer's video meta
    // says): copied one by one.
    GstVideoFrame frame;
    if (!gst_video_frame_map(&frame, &info, buffer, GST_MAP_READ)) return fail("a frame could not be read");
    const auto* data = static_cast<const std::uint8_t*>(GST_VIDEO_FRAME_PLANE_DATA(&frame, 0));
    const auto stride = static_cast<std::size_t>(GST_VIDEO_FRAME_PLANE_STRIDE(&frame, 0));
    const std::size_t row = static_cast<std::size_t>(width_) * 3;
    for (std::size_t y = 0; y < static_cast<std::size_t>(height_); ++y)
        std::memcpy(image_.data() + y * row, data + y * stride, row);
    gst_video_frame_unmap(&frame);

    const std::optional<Pipeline::Arrival> arrival = p.arrival_of(buffer);
    const double reached = arrival ? arrival->time : monotonic_now();
    captured_at_ = reached;
    if (live_ && GST_BUFFER_PTS_IS_VALID(buffer)) {
        // A live source's timestamp is its running time at capture; on the
        // monotonic system clock, base time + running time is steady_clock's.
        GstClock* clock = gst_element_get_clock(p.pipeline);
        const bool monotonic = clock != nullptr && G_OBJECT_TYPE(clock) == GST_TYPE_SYSTEM_CLOCK && [clock] {
            GstClockType type = GST_CLOCK_TYPE_REALTIME;
            g_object_get(clock, "clock-type", &type, nullptr);
            return type == GST_CLOCK_TYPE_MONOTONIC;
        }();
        if (clock != nullptr) gst_object_unref(clock);
        const GstSegment* segment = gst_sample_get_segment(sample);
        const guint64 running = segment != nullptr
                                    ? gst_segment_to_running_time(segment, GST_FORMAT_TIME, GST_BUFFER_PTS(buffer))
                                    : GST_CLOCK_TIME_NONE;
        const GstClockTime base = gst_element_get_base_time(p.pipeline);
        // Never later than it came: a source whose stamps run ahead would hide a stale camera.
        if (monotonic && GST_CLOCK_TIME_IS_VALID(running) && GST_CLOCK_TIME_IS_VALID(base))
            captured_at_ = std::min(reached, static_cast<double>(base + running) * 1e-9);
    }
    // Counted from the start: frames that came before the first take were dropped too.
    if (live_ && arrival) {
        dropped_ += arrival->number - last_arrival_ - 1;
        last_arrival_ = arrival->number;
    }
    return Next::frame;
}

}  // namespace robot
