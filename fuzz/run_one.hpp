#pragma once

// One fuzz target's check of one input. The same source is linked into the
// libFuzzer binary (build/fuzz) and into a driver that the ordinary tests run
// over the committed corpus and regression inputs, so a finding stays found.

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

// Checks one input; a fault ends the process through fail(). Returns 0, as
// libFuzzer expects.
int run_one(const std::uint8_t* data, std::size_t size);

// A fault: says what, then aborts, which libFuzzer records as a crash with the
// input and which fails the test that ran the input.
[[noreturn]] inline void fail(const std::string& what) {
    std::fprintf(stderr, "fuzz target: %s\n", what.c_str());
    std::abort();
}
