// The row spans of a frame and their writing into the image: see row_spans.hpp.
#include "row_spans.hpp"

#include <cstring>

namespace sim {

// A span of line is a few dozen bytes: a few overlapping 16-byte stores cost
// less than a call to memset.
void fill_gray(std::uint8_t* out, std::size_t n, std::uint8_t gray) {
    if (n > 256) {
        std::memset(out, gray, n);
        return;
    }
    std::uint8_t block[16];
    std::memset(block, gray, sizeof block);  // of a constant size: a register, not a call
    if (n >= 16 && n <= 96) {
        // A line's span on a small camera: six stores whatever its length,
        // rather than a loop whose count the processor mispredicts.
        for (std::size_t i = 0; i < 5; ++i) std::memcpy(out + std::min(16 * i, n - 16), block, 16);
        std::memcpy(out + n - 16, block, 16);
    } else if (n >= 16) {
        for (std::size_t i = 0; i + 16 < n; i += 16) std::memcpy(out + i, block, 16);
        std::memcpy(out + n - 16, block, 16);
    } else if (n >= 8) {
        std::memcpy(out, block, 8);
        std::memcpy(out + n - 8, block, 8);
    } else if (n >= 4) {
        std::memcpy(out, block, 4);
        std::memcpy(out + n - 4, block, 4);
    } else if (n > 0) {
        out[0] = out[n / 2] = out[n - 1] = gray;
    }
}

RowSpans::RowSpans(const CameraRays& rays) : rays_(rays), rows_(rays.floor_rows()) {}

void RowSpans::write_line(std::uint8_t* image, bool keep, std::uint8_t floor_gray, std::uint8_t line_gray,
                          std::uint8_t* rows_kept) {
    const auto width = static_cast<std::size_t>(rays_.width());
    const auto write = [&](std::size_t r, Columns line) {
        fill_gray(image + 3 * (r * width + line.begin), 3 * (line.end - line.begin), line_gray);
    };
    // Runs of line apart from their row's main one, in row order: a crafted
    // track may cross a row many times, in many rows.
    std::sort(overflow_.begin(), overflow_.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    auto apart = overflow_.cbegin();
    for (std::size_t r = 0; r < rows_.size(); ++r) {
        Row& row = rows_[r];
        const Columns line = row.line;
        row.line = {};                                                      // none yet, for the next frame
        const bool split = apart != overflow_.cend() && apart->first == r;  // more runs in this row
        if (keep) {
            if (!split && !row.several && line.begin == row.drawn.begin && line.end == row.drawn.end) continue;
            rows_kept[r] = 0;
            // The last frame's line back to floor.
            const Columns before = row.several ? Columns{0, width} : row.drawn;
            fill_gray(image + 3 * (r * width + before.begin), 3 * (before.end - before.begin), floor_gray);
        }
        write(r, line);
        for (; apart != overflow_.cend() && apart->first == r; ++apart) write(r, apart->second);
        row.drawn = line;
        row.several = split;
    }
    overflow_.clear();
}

}  // namespace sim
