// The worker's progress and range records read back into numbers, the same
// way by every front end: p passes 2^63 in the wide sieve, so it is read as
// 128 bits.
#pragma once
#include <cstdint>
#include <string_view>

#include "platform/numparse.h"

namespace varnesk {

// "$ count p", p possibly written with a comma after its leading digits.
bool ParseProgressRecord(std::string_view text, int32_t* count, UInt128* p);
// "& bMin bMax N".
bool ParseRangeRecord(std::string_view text, int32_t* bMin, int32_t* bMax, int32_t* exponent);

}  // namespace varnesk
