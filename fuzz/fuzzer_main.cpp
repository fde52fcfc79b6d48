// libFuzzer's entry point: every input it makes goes through the target's run_one.
#include "run_one.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) { return run_one(data, size); }
