#pragma once

// What line-sim's commands share in reading their command lines.

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <string>

#include "did_you_mean.hpp"
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
    // A flag not known: the nearest that is.
    std::string hint;
    if (dynamic_cast<const CLI::ExtrasError*>(&error) != nullptr) {
        std::vector<std::string> flags;
        for (const CLI::Option* option : app.get_options()) {
            for (const std::string& name : option->get_lnames()) flags.push_back("--" + name);
        }
        for (const std::string& extra : app.remaining()) {
            if (hint.empty() && extra.rfind("--", 0) == 0)
                hint = sim::did_you_mean(extra.substr(0, extra.find('=')), flags);
        }
    }
    throw UsageError(std::string("line-sim: ") + error.what() + hint + " (see line-sim --help)");
}

}  // namespace line_sim
