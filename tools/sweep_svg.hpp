#pragma once

// sweep.svg: a figure of the results against a swept value, a line a world.

#include <string>

#include "results.hpp"

namespace line_sim {

// A sweep's picture: `metric` against the first swept key, one line a world,
// each point the mean over the runs with that value (seeds, other sweeps).
// Values that are all numbers are placed to scale, others evenly in order.
std::string sweep_svg(const Results& results, const std::string& metric);

}  // namespace line_sim
