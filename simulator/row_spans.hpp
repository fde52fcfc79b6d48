#pragma once

// The row spans: in each image row, this frame, the columns that see the
// floor and the runs of columns on the line, gathered while the pieces are
// drawn and written into the image once, at the end of the frame; and
// which rows' line moved since the last frame.
//
// Every shape of line (arcs, straights, discs, wedges) is drawn as one span
// of y [m, robot frame] a row at a time: line_in_row() turns it into the
// pixel columns whose centres lie in it.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <limits>
#include <utility>
#include <vector>

#include "camera_rays.hpp"

namespace sim {

// The pixel columns u of an image row (centres at whole numbers) within [lo, hi].
struct Span {
    double lo = -std::numeric_limits<double>::infinity();
    double hi = std::numeric_limits<double>::infinity();
    bool empty() const { return !(lo <= hi); }
    // Keeps the u where a + b u >= 0.
    void at_least_zero(double a, double b) {
        if (b > 0) {
            lo = std::max(lo, -a / b);
        } else if (b < 0) {
            hi = std::min(hi, -a / b);
        } else if (a < 0) {
            hi = -std::numeric_limits<double>::infinity();
        }
    }
};

// [m] the rows a piece may cross are padded by far less than a row's
// spacing, so that rounding never leaves a row out.
constexpr double ROW_PAD = 1e-9;

// Pixel columns from begin up to end, end excluded.
struct Columns {
    std::size_t begin = 0, end = 0;
};

// Sets n bytes to `gray`.
void fill_gray(std::uint8_t* out, std::size_t n, std::uint8_t gray);

class RowSpans {
public:
    // Bound to `rays`, which must outlive it.
    explicit RowSpans(const CameraRays& rays);

    const CameraRays& rays() const { return rays_; }

    // The columns whose centres lie within the span.
    Columns columns(Span span) const {
        const double last_column = rays_.width() - 1;
        if (!(span.lo <= span.hi && span.lo <= last_column && span.hi >= 0)) return {};  // false for NaN too
        const double lo = std::max(span.lo, 0.0), hi = std::min(span.hi, last_column);
        // Through a signed integer, which x86 converts to in one instruction (0 <= lo, hi < width).
        auto begin = static_cast<std::int64_t>(lo);  // rounded up below: the first centre inside
        if (static_cast<double>(begin) < lo) ++begin;
        const auto end = static_cast<std::int64_t>(hi) + 1;
        return begin < end ? Columns{static_cast<std::size_t>(begin), static_cast<std::size_t>(end)} : Columns{};
    }

    // This frame: the columns of row r that see the floor, whole unless set otherwise.
    Span& on_floor(std::size_t r) { return rows_[r].on_floor; }

    // Marks the pixels of row r with y within the span [m] as line.
    void line_in_row(std::size_t r, Span y) {
        // y = left + u step, so u = (y - left) / step; step > 0.
        const RowRays& ray = rays_.row(r);
        const Row& row = rows_[r];
        Span u{(y.lo - ray.left) * ray.per_step, (y.hi - ray.left) * ray.per_step};
        u.lo = std::max(u.lo, row.on_floor.lo);
        u.hi = std::min(u.hi, row.on_floor.hi);
        add_line(r, columns(u));
    }

    // Marks the columns of row r as line, to be written at the end of the frame.
    void add_line(std::size_t r, Columns span) {
        if (span.begin == span.end) return;
        Columns& line = rows_[r].line;
        if (line.begin == line.end) {
            line = span;
        } else if (span.begin <= line.end && line.begin <= span.end) {
            line = {std::min(line.begin, span.begin), std::max(line.end, span.end)};
        } else {
            overflow_.emplace_back(r, line);
            line = span;
        }
    }

    // Writes the frame's line into `image` (3 bytes a pixel, rows of the
    // rays' width) in `line_gray`. Where `keep`, the image still holds the
    // floor and the last frame's line, drawn by the last call: only the
    // rows whose line moved are written, their last line put back to
    // `floor_gray` first, and their flag in `rows_kept` cleared.
    void write_line(std::uint8_t* image, bool keep, std::uint8_t floor_gray, std::uint8_t line_gray,
                    std::uint8_t* rows_kept);

private:
    struct Row {
        Span on_floor;
        // This frame: line columns not yet written. Neighbouring pieces of a
        // point track cover much the same columns of a row, so touching
        // spans are joined here and each run of line is written once, at
        // the end of the frame; runs apart from it wait in overflow_.
        Columns line;
        // The last frame: the line's columns written, if one run (`several`: more).
        Columns drawn;
        bool several = false;
    };

    const CameraRays& rays_;
    std::vector<Row> rows_;                                  // a floor row each
    std::vector<std::pair<std::size_t, Columns>> overflow_;  // (row, columns): runs of line apart from Row::line
};

}  // namespace sim
