// Numbers are read the way the C library's decimal conversion reads them:
// leading blanks, an optional sign, digits up to the first non-digit. Every
// front end and file reader goes through these so that they agree.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace varnesk {

struct ParsedNumber {
    bool hasDigits = false;  // false: "no number" (value 0)
    bool overflow = false;   // the digits did not fit; value is saturated
    int64_t value = 0;
};

// Signed 64-bit, saturating at the limits on overflow.
ParsedNumber ParseInt64(std::string_view text);
// Signed 32-bit, saturating at INT32_MIN / INT32_MAX.
ParsedNumber ParseInt32(std::string_view text);
// Unsigned 64-bit: a leading minus wraps modulo 2^64, overflow saturates at
// UINT64_MAX. The result's bits are in value (cast to uint64_t).
ParsedNumber ParseUInt64(std::string_view text);

// p of the wide sieve: far beyond 64 bits, so one unsigned 128-bit type for
// every value that can hold a prime p or its k.
using UInt128 = unsigned __int128;

struct ParsedWide {
    bool hasDigits = false;
    bool negative = false;  // a minus sign before the digits; value holds the magnitude
    bool overflow = false;  // beyond 2^128 - 1; value is saturated
    UInt128 value = 0;
};
// Unsigned 128-bit by the same rules; a sign is reported, never applied.
ParsedWide ParseUInt128(std::string_view text);
// The whole text as one whole number, for values typed by a person: blanks
// around it, an optional sign, and decimal digits, plain or with a comma
// between groups of exactly three ("250,000"). Anything else (a decimal
// point, an exponent, a second word, a comma out of place) gives hasDigits
// false, so that "250,000" never reads as 250 nor "5e13" as 5.
ParsedWide ParseWholeNumber(std::string_view text);
// Plain decimal digits, no separators.
std::string FormatUInt128(UInt128 value);
// The same digits with a comma between groups of three ("1,000,000").
std::string FormatUInt128Grouped(UInt128 value);

// The digits at s[*i] of a line whose form is fixed (a factor line, an
// algebraic record): false when there are none, else *i moves past them.
// *value saturates at cap, with *over set, so that a too-long number is
// refused by its reader rather than wrapped.
template <class T>
inline bool ReadDigits(std::string_view s, size_t* i, T cap, T* value, bool* over) {
    size_t j = *i;
    T v = 0;
    while (j < s.size() && s[j] >= '0' && s[j] <= '9') {
        const T digit = static_cast<T>(s[j] - '0');
        if (v > (cap - digit) / 10) {
            *over = true;
            v = cap;
        } else {
            v = v * 10 + digit;
        }
        ++j;
    }
    if (j == *i) return false;
    *i = j;
    *value = v;
    return true;
}

}  // namespace varnesk
