#pragma once

// What line-sim's commands share in reading their command lines.

#include <fcntl.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <csignal>
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

// What each command does first. A standard descriptor closed by the caller
// (`>&-`) would be the next file the command opens, and its messages would go
// there: /dev/null takes it. A file grown past the size limit (ulimit -f) is
// then a failed write, reported, instead of a signal that kills the command
// and its controllers; standard output closed early (`line-sim | head -1`) a
// failed write, passed over, every file of the call still written. False if
// a descriptor cannot be taken.
inline bool prepare_process() {
    for (int fd = 0; fd <= 2; ++fd) {
        if (fcntl(fd, F_GETFD) < 0 && open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY) != fd) return false;
    }
    std::signal(SIGXFSZ, SIG_IGN);
    std::signal(SIGPIPE, SIG_IGN);
    return true;
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
