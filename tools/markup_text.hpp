#pragma once

// Text from outside (world names, swept keys and values, the controller's
// path) put into line-sim's pictures and pages: whatever its bytes, the
// document stays well-formed XML, and a page's data stays plain text.

#include <cstddef>
#include <string>
#include <string_view>

namespace line_sim {

inline constexpr char32_t REPLACEMENT_CHARACTER = 0xFFFD;

// The code point of `text` at `at`, read as UTF-8, moving `at` past it. A
// stretch of bytes that is not UTF-8 (a stray or missing continuation byte,
// an overlong form, a surrogate's three bytes, anything past U+10FFFF) gives
// U+FFFD for its longest start that could have begun a character.
char32_t next_code_point(std::string_view text, std::size_t& at);

// XML 1.0's Char production: the characters a document may hold at all.
constexpr bool is_xml_char(char32_t c) {
    return c == 0x9 || c == 0xA || c == 0xD || (c >= 0x20 && c <= 0xD7FF) || (c >= 0xE000 && c <= 0xFFFD) ||
           (c >= 0x10000 && c <= 0x10FFFF);
}

// `text` as XML (or HTML) character data or a quoted attribute's value:
// & < > " ' escaped, tab, line feed and carriage return as character
// references (an attribute's value would turn them into spaces), and U+FFFD
// in place of anything XML 1.0 does not allow or that is not UTF-8.
std::string xml_text(std::string_view text);

// Appends `c` to `out` as UTF-8.
void append_utf8(std::string& out, char32_t c);

}  // namespace line_sim
