#pragma once

// Controller parameters: the `param.NAME` keys of --set and --sweep, which go
// to the controller (as LINE_SIM_PARAM_NAME, and into its arguments where
// they say {NAME}) rather than into the world.

#include <map>
#include <string>
#include <vector>

#include "run_plan.hpp"

namespace line_sim {

inline constexpr const char* PARAM_PREFIX = "param.";             // of a key that is a controller parameter
inline constexpr const char* PARAM_VARIABLE = "LINE_SIM_PARAM_";  // of the environment variable it becomes

bool is_param(const std::string& key);

// Checks a parameter's name (sim::param_name) and, unless `value_too` is
// false, its value (sim::param_value); throws UsageError naming `option`.
void check_param(const Setting& setting, const std::string& option, bool value_too = true);

// The run's parameters, name (without param.) to text: `settings` (--set)
// and `swept` (the run's swept values) where their keys are param.NAME.
std::map<std::string, std::string> params_of(const std::vector<Setting>& settings, const std::vector<Setting>& swept);

// `arguments` with each {NAME} replaced by that parameter's text, and {{ and
// }} by one brace each. Throws UsageError for a {NAME} with no such
// parameter, or a brace without its partner.
std::vector<std::string> put_params(const std::vector<std::string>& arguments,
                                    const std::map<std::string, std::string>& params);

}  // namespace line_sim
