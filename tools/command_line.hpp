#pragma once

// What line-sim's commands share in reading their command lines.

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <string>

#include "run_plan.hpp"

namespace line_sim {

// A numeric option's check, with a message in words.
inline CLI::Validator at_least(double least, bool inclusive, const std::string& what) {
    return CLI::Validator(
        [=](std::string& text) -> std::string {
            char* end = nullptr;
            const double value = std::strtod(text.c_str(), &end);
            const bool fine =
                !text.empty() && *end == '\0' && std::isfinite(value) && (inclusive ? value >= least : value > least);
            return fine ? "" : "expected " + what + ", not \"" + text + "\"";
        },
        what);
}

[[noreturn]] inline void parse_error(CLI::App& app, const CLI::ParseError& error) {
    if (error.get_exit_code() == 0) std::exit(app.exit(error));  // --help, --version
    throw UsageError(std::string("line-sim: ") + error.what() + " (see line-sim --help)");
}

}  // namespace line_sim
