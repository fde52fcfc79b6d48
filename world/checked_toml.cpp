// What every settings file's reader shares: the text looked over, parsed and read.

#include "checked_toml.hpp"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace sim {
namespace {

struct TextProblem {
    std::size_t line = 0;  // 0: none
    std::string what;
};

// What the text must not hold before the TOML parser sees it, with its line:
// tables, arrays and the parts of dotted keys more than MOST_NESTING deep
// (the parser recurses once a level and would run out of stack on a crafted
// file long before any other limit), and bytes beyond ASCII anywhere: the
// parser tests such characters for white space in places that no simple
// look at the text can tell apart, and that test reaches code it assumes
// unreachable. In a string, \uXXXX writes any character in ASCII.
TextProblem look_over(std::string_view text) {
    if (const auto beyond = std::find_if(text.begin(), text.end(), [](char c) { return (c & 0x80) != 0; });
        beyond != text.end()) {
        return {1 + static_cast<std::size_t>(std::count(text.begin(), beyond, '\n')),
                "a character beyond ASCII (in a string, write it as \\uXXXX)"};
    }
    const TextProblem too_deep{0, "nested more than " + std::to_string(MOST_NESTING) + " levels deep"};
    struct Open {
        char bracket;  // '[' an array, '{' an inline table
        int depth;     // of the values inside it
    };
    std::vector<Open> open;
    std::size_t line = 1;
    bool key = true, line_start = true;
    int base = 0, parts = 1, depth = 0;  // the key's table, its parts so far, the value's depth
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\n') {
            ++line;
            line_start = true;
            if (open.empty()) key = true, base = 0, parts = 1;
            continue;
        }
        if (c == ' ' || c == '\t' || c == '\r') continue;
        const bool first = line_start;
        line_start = false;
        if (c == '#') {
            while (i + 1 < text.size() && text[i + 1] != '\n') ++i;
        } else if (c == '"' || c == '\'') {
            // A string, perhaps of several lines; a basic one has escapes.
            const bool triple = text.substr(i, 3) == std::string(3, c);
            for (i += triple ? 3 : 1; i < text.size(); ++i) {
                if (text[i] == '\n') ++line;
                if (c == '"' && text[i] == '\\') {
                    if (++i < text.size() && text[i] == '\n') ++line;
                } else if (text[i] == c && (!triple || text.substr(i, 3) == std::string(3, c))) {
                    i += triple ? 2 : 0;
                    break;
                }
            }
        } else if (key) {
            if (c == '.' && base + ++parts > MOST_NESTING)
                return {line, too_deep.what};                  // a dotted key, or a table header's
            if (c == '[' && first && open.empty()) parts = 1;  // a table header
            if (c == '=') key = false, depth = base + parts;
        } else if (c == '[' || c == '{') {
            if (++depth > MOST_NESTING) return {line, too_deep.what};
            open.push_back({c, depth});
            if (c == '{') key = true, base = depth, parts = 1;
        } else if ((c == ']' || c == '}') && !open.empty()) {
            open.pop_back();
            depth = open.empty() ? 0 : open.back().depth;
        } else if (c == ',' && !open.empty() && open.back().bracket == '{') {
            key = true, base = open.back().depth, parts = 1;
        }
    }
    return {};
}

}  // namespace

std::string printable(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7f) {
            out += c;
        } else {
            char escaped[8];
            std::snprintf(escaped, sizeof escaped, "\\x%02x", byte);
            out += escaped;
        }
    }
    return out;
}

std::optional<std::string> parse_problem(std::string_view text, const std::string& source, toml::table& root) {
    if (const TextProblem problem = look_over(text); problem.line != 0)
        return "line " + std::to_string(problem.line) + ": " + problem.what;
    try {
        root = toml::parse(text, source);
    } catch (const toml::parse_error& error) {
        std::ostringstream line;
        line << "line " << error.source().begin.line << ": " << printable(error.description());
        return line.str();
    }
    return std::nullopt;
}

std::string read_regular_text(const std::string& path, std::size_t most, std::string& why, const char* kind) {
    // Not blocking, so that opening a FIFO with no writer does not wait for one.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        why = std::string("expected a readable ") + kind;
        return "";
    }
    struct stat info {};
    std::string text;
    if (fstat(fd, &info) != 0 || !S_ISREG(info.st_mode)) {
        why = std::string("expected a regular ") + kind;
    } else {
        // Room for the file as it is now, and one byte more to tell a file
        // that has grown since; grown by halves up to one byte more than
        // allowed, which tells a file past the limit. (Not the limit at
        // once: zeroing 16 MiB cost more than running the default world.)
        const std::size_t MOST = most + 1;
        text.resize(std::min(static_cast<std::size_t>(std::max<off_t>(info.st_size, 0)) + 1, MOST));
        std::size_t got = 0;
        ssize_t n = 0;
        while ((n = ::read(fd, text.data() + got, text.size() - got)) > 0) {
            got += static_cast<std::size_t>(n);
            if (got == text.size()) {
                if (got == MOST) break;
                text.resize(std::min(got + got / 2 + 4096, MOST));
            }
        }
        text.resize(got);
        if (n < 0)
            why = std::strerror(errno);
        else if (got > most)
            why = "larger than " + std::to_string(most >> 20) + " MiB";
    }
    ::close(fd);
    return why.empty() ? text : std::string();
}

}  // namespace sim
