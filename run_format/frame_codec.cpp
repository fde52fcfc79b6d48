// The camera frames' file: its header, and each frame coded against the one before.

#include "frame_codec.hpp"

#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "files.hpp"

namespace sim {
namespace {

constexpr std::size_t MOST_VARINT_BYTES = 10;  // of a 64-bit value, 7 bits a byte
// A row's runs go on while they are shorter than the row: the last one adds
// a length and a pixel to that.
constexpr std::size_t MOST_RUN_BYTES = MOST_VARINT_BYTES + 3;
constexpr std::size_t READ_CHUNK = 1 << 16;  // [bytes] read from a stream at a time, at the least

// Writes the varint at `to`; gives the byte past it.
char* put_varint(std::uint64_t value, char* to) {
    while (value >= 0x80) {
        *to++ = static_cast<char>((value & 0x7F) | 0x80);
        value >>= 7;
    }
    *to++ = static_cast<char>(value);
    return to;
}

// How many of the n bytes at a, from the first, are the same as at b: eight
// at a time, the first that differs found from the bits of their difference.
std::size_t matching_bytes(const std::uint8_t* a, const std::uint8_t* b, std::size_t n) {
    static_assert(std::endian::native == std::endian::little, "the first byte is the lowest");
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x = 0, y = 0;
        std::memcpy(&x, a + i, 8);
        std::memcpy(&y, b + i, 8);
        if (x != y) return i + static_cast<std::size_t>(std::countr_zero(x ^ y)) / 8;
    }
    while (i < n && a[i] == b[i]) ++i;
    return i;
}

// A varint of a code already checked.
std::uint64_t take_varint(const char*& at) {
    std::uint64_t value = 0;
    for (int shift = 0;; shift += 7) {
        const auto byte = static_cast<std::uint8_t>(*at++);
        value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
        if ((byte & 0x80) == 0) return value;
    }
}

}  // namespace

std::string frames_header(const FramesHeader& header) {
    return std::string(FRAMES_MAGIC) + " " + std::to_string(header.width) + " " + std::to_string(header.height) + " " +
           std::to_string(header.first_step) + "\n";
}

FrameEncoder::FrameEncoder(std::int32_t width, std::int32_t height)
    : row_bytes_(3 * static_cast<std::size_t>(width)),
      previous_(row_bytes_ * static_cast<std::size_t>(height), 0),
      runs_(row_bytes_ + MOST_RUN_BYTES),
      code_(static_cast<std::size_t>(height) * (row_bytes_ + 1 + MOST_VARINT_BYTES)) {}

void FrameEncoder::encode(const std::uint8_t* rgb, std::string& out, const std::uint8_t* same_rows) {
    // Written through pointers into buffers no code outgrows (a row's code
    // is at most its row code, its count and its bytes; its runs stop once
    // they reach the row's bytes) and appended at once: appending a byte
    // at a time to a string made coding a frame cost half a step.
    char* to = code_.data();
    const std::size_t rows = previous_.size() / row_bytes_;
    for (std::size_t r = 0; r < rows; ++r) {
        if (same_rows != nullptr && same_rows[r] != 0) {
            // A stretch of rows the camera left alone (most of a frame's) at once.
            const auto* other = static_cast<const std::uint8_t*>(std::memchr(same_rows + r, 0, rows - r));
            const std::size_t kept = (other != nullptr ? static_cast<std::size_t>(other - same_rows) : rows) - r;
            std::memset(to, static_cast<char>(RowCode::same), kept);
            to += kept;
            r += kept - 1;
            continue;
        }
        const std::size_t start = r * row_bytes_;
        const std::uint8_t* row = rgb + start;
        if (std::memcmp(row, previous_.data() + start, row_bytes_) == 0) {
            *to++ = static_cast<char>(RowCode::same);
            continue;
        }
        // Runs, unless they would take more room than the row itself.
        char* const runs = runs_.data();
        char* run = runs;
        std::size_t count = 0;
        for (std::size_t i = 0; i < row_bytes_ && static_cast<std::size_t>(run - runs) < row_bytes_;) {
            // The run goes on while each byte is the one a pixel before; the
            // first that is not lies in the first pixel past it.
            const std::size_t j = i + 3 + matching_bytes(row + i + 3, row + i, row_bytes_ - i - 3);
            const std::size_t length = j / 3 - i / 3;
            run = put_varint(length, run);
            std::memcpy(run, row + i, 3);
            run += 3;
            ++count;
            i += 3 * length;
        }
        const auto size = static_cast<std::size_t>(run - runs);
        if (size < row_bytes_) {
            *to++ = static_cast<char>(RowCode::runs);
            to = put_varint(count, to);
            std::memcpy(to, runs, size);
            to += size;
        } else {
            *to++ = static_cast<char>(RowCode::raw);
            std::memcpy(to, row, row_bytes_);
            to += row_bytes_;
        }
        std::memcpy(previous_.data() + start, row, row_bytes_);
    }
    out.append(code_.data(), static_cast<std::size_t>(to - code_.data()));
}

FrameCodeReader::FrameCodeReader(std::int32_t width, std::int32_t height)
    : width_(static_cast<std::size_t>(width)), height_(static_cast<std::size_t>(height)) {}

std::size_t FrameCodeReader::whole_code() const {
    // Parsed from memory: a byte at a time from the stream (sbumpc) and
    // appended to a string, reading the codes cost the replay more than
    // packing them.
    const char* const first = bytes_.data() + begin_;
    const char* const last = bytes_.data() + end_;
    const char* at = first;
    // A varint, or false if the bytes run out first.
    const auto varint = [&at, last](std::uint64_t& value) {
        value = 0;
        for (int shift = 0; shift < 64; shift += 7) {
            if (at == last) return false;
            const auto byte = static_cast<std::uint8_t>(*at++);
            value |= static_cast<std::uint64_t>(byte & 0x7F) << shift;
            if ((byte & 0x80) == 0) return true;
        }
        throw std::runtime_error("a run length longer than any row");
    };
    const std::size_t row_bytes = 3 * width_;
    for (std::size_t r = 0; r < height_; ++r) {
        if (at == last) return 0;
        const auto row_code = static_cast<std::uint8_t>(*at++);
        if (row_code == static_cast<std::uint8_t>(RowCode::same)) continue;
        if (row_code == static_cast<std::uint8_t>(RowCode::raw)) {
            if (static_cast<std::size_t>(last - at) < row_bytes) return 0;
            at += row_bytes;
            continue;
        }
        if (row_code != static_cast<std::uint8_t>(RowCode::runs))
            throw std::runtime_error("unknown row code " + std::to_string(row_code));
        std::uint64_t count = 0, filled = 0;
        if (!varint(count)) return 0;
        for (std::uint64_t k = 0; k < count; ++k) {
            std::uint64_t length = 0;
            if (!varint(length) || last - at < 3) return 0;
            at += 3;
            if (length == 0 || length > width_ - filled) throw std::runtime_error("runs that do not fill their row");
            filled += length;
        }
        if (filled != width_) throw std::runtime_error("runs that do not fill their row");
    }
    return static_cast<std::size_t>(at - first);
}

bool FrameCodeReader::next(std::istream& stream, std::string_view& code) {
    std::streambuf* buffer = stream.rdbuf();
    if (buffer == nullptr) return false;
    for (;;) {
        if (const std::size_t size = whole_code(); size > 0) {
            code = {bytes_.data() + begin_, size};
            begin_ += size;
            return true;
        }
        // More bytes: what the stream holds already, or, if none, what the
        // next read brings (which may wait for a writer). At most a chunk, or
        // as much again as a frame not yet whole has taken: a file's stream
        // holds all the rest of the file, which read at once would take
        // memory growing with the run; doubling keeps a large frame's code
        // from being parsed over again for each chunk.
        std::streamsize more = buffer->in_avail();
        if (more <= 0) {
            if (buffer->sgetc() == std::char_traits<char>::eof()) return false;  // a frame cut short, or none
            more = std::max<std::streamsize>(buffer->in_avail(), 1);
        }
        const std::size_t wanted = std::min(static_cast<std::size_t>(more), std::max(READ_CHUNK, end_ - begin_));
        if (begin_ > 0) {  // what was handed out is let go
            std::memmove(bytes_.data(), bytes_.data() + begin_, end_ - begin_);
            end_ -= begin_;
            begin_ = 0;
        }
        if (bytes_.size() < end_ + wanted) bytes_.resize(std::max(2 * bytes_.size(), end_ + wanted));
        end_ += static_cast<std::size_t>(buffer->sgetn(bytes_.data() + end_, static_cast<std::streamsize>(wanted)));
    }
}

FrameDecoder::FrameDecoder(std::int32_t width, std::int32_t height)
    : row_bytes_(3 * static_cast<std::size_t>(width)),
      image_(row_bytes_ * static_cast<std::size_t>(height), 0),
      reader_(width, height) {}

bool FrameDecoder::next(std::istream& stream) {
    std::string_view code;
    if (!reader_.next(stream, code)) return false;
    decode(code);
    return true;
}

void FrameDecoder::decode(std::string_view code) {
    const char* at = code.data();
    for (std::size_t start = 0; start < image_.size(); start += row_bytes_) {
        std::uint8_t* row = image_.data() + start;
        const auto row_code = static_cast<RowCode>(*at++);
        if (row_code == RowCode::same) continue;
        if (row_code == RowCode::raw) {
            std::memcpy(row, at, row_bytes_);
            at += row_bytes_;
            continue;
        }
        const std::uint64_t count = take_varint(at);
        for (std::uint64_t k = 0; k < count; ++k) {
            const std::uint64_t length = take_varint(at);
            for (std::uint64_t p = 0; p < length; ++p, row += 3) std::memcpy(row, at, 3);
            at += 3;
        }
    }
}

FramesHeader read_frames_header(std::istream& in, const std::string& path) {
    std::string line;
    std::getline(in, line);
    std::istringstream words(line.substr(std::min(line.size(), std::strlen(FRAMES_MAGIC))));
    FramesHeader h;
    if (line.rfind(FRAMES_MAGIC, 0) != 0 || !(words >> h.width >> h.height >> h.first_step) || h.width < 1 ||
        h.height < 1 || h.first_step < 0) {
        throw std::runtime_error(path + ": not a camera frames file");
    }
    return h;
}

void complete_cut_frames(const std::string& frames_path) {
    const std::string part = sim::part_name(frames_path);
    std::ifstream in(part, std::ios::binary);
    if (!in) return;
    std::size_t whole = 0;
    try {
        const sim::FramesHeader header = sim::read_frames_header(in, part);
        whole = static_cast<std::size_t>(in.tellg());
        sim::FrameCodeReader reader(header.width, header.height);
        for (std::string_view code; reader.next(in, code);) whole += code.size();
    } catch (const std::exception&) {
        return;  // not a frames file from its start: left under its temporary name
    }
    in.close();
    if (truncate(part.c_str(), static_cast<off_t>(whole)) == 0) std::rename(part.c_str(), frames_path.c_str());
}

}  // namespace sim
