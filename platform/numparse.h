// Numbers are read the way the C library's decimal conversion reads them:
// leading blanks, an optional sign, digits up to the first non-digit. Every
// front end and file reader goes through these so that they agree.
#pragma once
#include <cstdint>
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

}  // namespace varnesk
