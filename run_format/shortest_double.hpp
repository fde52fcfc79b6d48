#pragma once

// A double in its shortest decimal form that reads back as the same double:
// the characters std::to_chars(first, last, value) writes, in about three
// quarters of the time (a run's trace is 30,000 of them).

namespace sim {

// Writes `value` at `out` and gives the end. `out` must have room for 48
// characters: past the value's own, some are written and left to be
// overwritten.
char* write_shortest(char* out, double value);

}  // namespace sim
