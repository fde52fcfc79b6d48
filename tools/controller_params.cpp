// Controller parameters: checked, gathered for a run, and put into its arguments.

#include "controller_params.hpp"

#include "did_you_mean.hpp"
#include "run_summary.hpp"

namespace line_sim {

bool is_param(const std::string& key) { return key.rfind(PARAM_PREFIX, 0) == 0; }

void check_param(const Setting& setting, const std::string& option, bool value_too) {
    const std::string name = setting.key.substr(std::string(PARAM_PREFIX).size());
    if (!sim::param_name(name)) {
        throw UsageError("line-sim: " + option + " " + setting.key + ": expected param.NAME, NAME of letters, " +
                         "digits and _ not starting with a digit, at most " +
                         std::to_string(sim::MOST_PARAM_NAME_BYTES) + " bytes");
    }
    if (value_too && !sim::param_value(setting.value)) {
        throw UsageError("line-sim: " + option + " " + setting.key + ": expected a value of at most " +
                         std::to_string(sim::MOST_PARAM_VALUE_BYTES) +
                         " bytes of UTF-8 text without control characters");
    }
}

std::map<std::string, std::string> params_of(const std::vector<Setting>& settings, const std::vector<Setting>& swept) {
    std::map<std::string, std::string> params;
    for (const std::vector<Setting>* list : {&settings, &swept}) {
        for (const Setting& setting : *list) {
            if (is_param(setting.key)) params[setting.key.substr(std::string(PARAM_PREFIX).size())] = setting.value;
        }
    }
    return params;
}

std::vector<std::string> put_params(const std::vector<std::string>& arguments,
                                    const std::map<std::string, std::string>& params) {
    std::vector<std::string> put;
    for (std::size_t n = 0; n < arguments.size(); ++n) {
        const std::string& argument = arguments[n];
        const auto refuse = [&](const std::string& part, const std::string& why) {
            throw UsageError("line-sim: controller argument " + std::to_string(n + 1) + " (" + part.substr(0, 80) +
                             "): " + why);
        };
        std::string text;
        for (std::size_t i = 0; i < argument.size(); ++i) {
            const char c = argument[i];
            if ((c == '{' || c == '}') && i + 1 < argument.size() && argument[i + 1] == c) {
                text += c;
                ++i;
            } else if (c == '}') {
                refuse(argument, "a } without its { (write }} for a brace)");
            } else if (c == '{') {
                const std::size_t end = argument.find('}', i);
                if (end == std::string::npos) refuse(argument.substr(i), "a { without its } (write {{ for a brace)");
                const std::string name = argument.substr(i + 1, end - i - 1);
                const auto found = params.find(name);
                if (!sim::param_name(name)) {
                    refuse(argument.substr(i, end - i + 1),
                           "expected {NAME} with NAME a parameter's (letters, digits, _), or {{ and }} for braces");
                }
                if (found == params.end()) {
                    std::vector<std::string> names;
                    for (const auto& [known, value] : params) names.push_back(known);
                    refuse(argument.substr(i, end - i + 1), "no parameter " + name + sim::did_you_mean(name, names) +
                                                                " (set it with --set or --sweep param." + name +
                                                                "=..., or write {{ and }} for braces)");
                }
                text += found->second;
                i = end;
            } else {
                text += c;
            }
        }
        put.push_back(std::move(text));
    }
    return put;
}

}  // namespace line_sim
