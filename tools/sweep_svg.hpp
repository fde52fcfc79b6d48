#pragma once

// sweep.svg: a figure of the results against a swept value, a line a world
// and value of a second swept key.

#include <string>

#include "results.hpp"

namespace line_sim {

// A sweep's picture: `metric` against the first swept key, one line for each
// world and value of the second swept key (a legend names them), each point
// the mean over the runs there (seeds, and the values of any further swept
// keys, which the title says), with bars and a band from their least to
// their most. Values that are all numbers are placed to scale, others evenly
// in order. Lateral errors are drawn in mm.
std::string sweep_svg(const Results& results, const std::string& metric);

}  // namespace line_sim
