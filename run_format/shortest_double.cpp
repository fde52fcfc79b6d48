// Doubles as the shortest text that reads back to the same value.

#include "shortest_double.hpp"

#include <bit>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>

// The shortest digits: fmt's implementation of the Dragonbox algorithm,
// compiled in from Debian's headers (libfmt-dev 9), not linked. With its
// whole table of powers of ten (10 kB; a trace's numbers use a few dozen of
// them), a fifth faster than with the table it works out on the way.
#define FMT_HEADER_ONLY 1
#define FMT_USE_FULL_CACHE_DRAGONBOX 1
#include <fmt/format.h>

namespace sim {
namespace {

constexpr std::uint64_t POWERS_OF_TEN[] = {1ULL,
                                           10ULL,
                                           100ULL,
                                           1000ULL,
                                           10000ULL,
                                           100000ULL,
                                           1000000ULL,
                                           10000000ULL,
                                           100000000ULL,
                                           1000000000ULL,
                                           10000000000ULL,
                                           100000000000ULL,
                                           1000000000000ULL,
                                           10000000000000ULL,
                                           100000000000000ULL,
                                           1000000000000000ULL,
                                           10000000000000000ULL,
                                           100000000000000000ULL,
                                           1000000000000000000ULL,
                                           10000000000000000000ULL};

// The eight digits of v < 10^8, zero-padded, in one word, the first in the
// lowest byte: two lanes of four digits, split into four of two, then eight
// of one, each by a multiplication that divides every lane at once.
std::uint64_t eight_digits(std::uint32_t v) {
    std::uint64_t x = (v / 10000) | (static_cast<std::uint64_t>(v % 10000) << 32);
    const std::uint64_t hundreds = ((x * 10486) >> 20) & 0x0000007F0000007FULL;  // each lane / 100, exact below 10^4
    x = hundreds | ((x - 100 * hundreds) << 16);
    const std::uint64_t tens = ((x * 103) >> 10) & 0x000F000F000F000FULL;  // each lane / 10, exact below 100
    x = tens | ((x - 10 * tens) << 8);
    return x | 0x3030303030303030ULL;  // '0'
}

// Writes the n (1 to 17) digits of d, zero-padded, at out, and up to 8
// characters more past them. A word stored whole, not a byte at a time: the
// bytes are read back as words when the digits move.
void put_digits(char* out, std::uint64_t d, int n) {
    const std::uint64_t low = eight_digits(static_cast<std::uint32_t>(d % 100000000));
    if (n <= 8) {
        const std::uint64_t word = low >> (8 * (8 - n));
        std::memcpy(out, &word, 8);
        return;
    }
    const std::uint64_t high_digits = d / 100000000;
    if (n == 17) {
        *out++ = static_cast<char>('0' + high_digits / 100000000);
        n = 16;
    }
    const std::uint64_t high = eight_digits(static_cast<std::uint32_t>(high_digits % 100000000)) >> (8 * (16 - n));
    std::memcpy(out, &high, 8);
    std::memcpy(out + (n - 8), &low, 8);
}

}  // namespace

char* write_shortest(char* out, double value) {
    if (!std::isfinite(value)) return std::to_chars(out, out + 48, value).ptr;
    if (std::signbit(value)) {
        *out++ = '-';
        value = -value;
    }
    if (value == 0) {
        *out = '0';
        return out + 1;
    }
    const auto decimal = fmt::detail::dragonbox::to_decimal(value);  // value = digits 10^exponent
    const std::uint64_t digits = decimal.significand;
    int n = ((64 - std::countl_zero(digits)) * 1233) >> 12;  // log10(2) ~ 1233 / 4096: n or n - 1 digits
    n += digits >= POWERS_OF_TEN[n];
    const int exponent = decimal.exponent, point = n + exponent;  // digits before the point
    // Fixed (123.45, 0.0012) or scientific (1.2345e+02, 1.2e-03), whichever
    // is shorter, fixed where they tie.
    const int scientific_exponent = point - 1, magnitude = std::abs(scientific_exponent);
    const int scientific_length = n + (n > 1 ? 1 : 0) + 2 + (magnitude >= 100 ? 3 : 2);
    const int fixed_length = exponent >= 0 ? n + exponent : point > 0 ? n + 1 : 2 - point + n;
    if (fixed_length <= scientific_length) {
        // Whole numbers of more digits than the shortest form are written
        // exactly (123456789012345678 for 1.2345678901234568e+17).
        if (exponent > 0) return std::to_chars(out, out + 48, value).ptr;
        if (exponent == 0) {
            put_digits(out, digits, n);
            return out + n;
        }
        if (point > 0) {
            // The digits one place on, then the whole part moved back before
            // the point (a character or three: cheaper than dividing).
            put_digits(out + 1, digits, n);
            for (int i = 0; i < point; ++i) out[i] = out[i + 1];
            out[point] = '.';
            return out + n + 1;
        }
        std::memcpy(out, "0.000000", 8);
        if (-point > 6) std::memset(out + 2, '0', static_cast<std::size_t>(-point));
        put_digits(out + 2 - point, digits, n);
        return out + fixed_length;
    }
    // The first digit, the point, the rest.
    put_digits(out + 1, digits, n);
    out[0] = out[1];
    char* end = out + 1;
    if (n > 1) {
        *end = '.';
        end += n;
    }
    *end++ = 'e';
    *end++ = scientific_exponent < 0 ? '-' : '+';
    if (magnitude >= 100) *end++ = static_cast<char>('0' + magnitude / 100);
    *end++ = static_cast<char>('0' + magnitude / 10 % 10);
    *end++ = static_cast<char>('0' + magnitude % 10);
    return end;
}

}  // namespace sim
