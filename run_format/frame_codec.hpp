#pragma once

// The camera's frames, every one of a run, stored compactly: each frame is
// coded against the one before it, row by row. The floor and the line are a
// few long runs of one colour, and from one 32 ms step to the next most rows
// change little or not at all.
//
// A frames file is a header line, "line-sim camera frames 1 <width> <height>
// <step>\n", then one code a frame, each `height` row codes, row 0 first.
// The first frame is the image when the camera was switched on, after <step>
// steps (0 for the controller's order: camera first), and each further frame
// the image after the next step. Row codes:
//   0                 the row is the same as in the frame before
//   1 n (len r g b)*n  n runs of equal pixels; n and len are LEB128 varints
//   2 bytes           the row's 3 * width bytes as they are (noisy rows)
// The first frame is coded against a frame of zeros.

#include <cstdint>
#include <istream>
#include <string>
#include <string_view>
#include <vector>

#include "file_names.hpp"

namespace sim {

inline constexpr const char* FRAMES_MAGIC = "line-sim camera frames 1";

enum class RowCode : std::uint8_t { same = 0, runs = 1, raw = 2 };

struct FramesHeader {
    std::int32_t width = 0;       // [px]
    std::int32_t height = 0;      // [px]
    std::int64_t first_step = 0;  // steps before the first frame
};

// The header line of a frames file.
std::string frames_header(const FramesHeader& header);

class FrameEncoder {
public:
    FrameEncoder(std::int32_t width, std::int32_t height);

    // Appends the code of the next frame (3 * width * height bytes of RGB) to
    // `out`. `same_rows`, if given, flags a row the caller knows to be as in
    // the frame before (a byte a row): it is not compared.
    void encode(const std::uint8_t* rgb, std::string& out, const std::uint8_t* same_rows = nullptr);

private:
    std::size_t row_bytes_;
    std::vector<std::uint8_t> previous_;
    std::vector<char> runs_;  // a row's runs
    std::vector<char> code_;  // a frame's code
};

// Reads frames' codes, as they stand, from a stream positioned after the
// header. It reads ahead what the stream holds already (never waiting for
// more than the frame needs), so the stream is its alone from then on.
class FrameCodeReader {
public:
    FrameCodeReader(std::int32_t width, std::int32_t height);

    // The next frame's code, valid until the next call. False at the end of
    // the stream, including a last frame cut short (a run stopped while
    // writing it); throws std::runtime_error on a code that no encoder writes.
    bool next(std::istream& in, std::string_view& code);

private:
    // The frame's code from bytes_[begin_] on, if all of it is there: its
    // size, or 0; throws as next().
    std::size_t whole_code() const;

    std::size_t width_, height_;
    std::vector<char> bytes_;  // read from the stream; [begin_, end_) not yet handed out
    std::size_t begin_ = 0, end_ = 0;
};

// Reads frames back from a stream positioned after the header.
class FrameDecoder {
public:
    FrameDecoder(std::int32_t width, std::int32_t height);

    // Decodes the next frame into image(); false and throws as FrameCodeReader::next.
    bool next(std::istream& in);
    // Decodes a frame's code (from a FrameCodeReader) into image().
    void decode(std::string_view code);
    const std::vector<std::uint8_t>& image() const { return image_; }

private:
    std::size_t row_bytes_;
    std::vector<std::uint8_t> image_;
    FrameCodeReader reader_;
};

// Reads and checks the header of the frames file `path`; throws
// std::runtime_error naming the file if it is not a frames file.
FramesHeader read_frames_header(std::istream& in, const std::string& path);

// Cuts a frames file left under its temporary name by a run that did not end
// (the controller died) after its last whole frame and gives it its final
// name. Nothing if there is no such file; one not a frames file from its
// start is left as it is.
void complete_cut_frames(const std::string& frames_path);

}  // namespace sim
