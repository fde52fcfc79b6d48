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

// What follows a lone -- (the controller's arguments), cut off the command line.
inline std::vector<std::string> controller_arguments(int& argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) != "--") continue;
        std::vector<std::string> arguments(argv + i + 1, argv + argc);
        argc = i;
        return arguments;
    }
    return {};
}

[[noreturn]] inline void parse_error(CLI::App& app, const CLI::ParseError& error,
                                     const std::string& command = "line-sim") {
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
    throw UsageError(command + ": " + error.what() + hint + " (see " + command + " --help)");
}

}  // namespace line_sim
