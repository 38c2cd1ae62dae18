// A segment's primes as bytes, the form in which results cross between
// processes: k by differences, the outcome, the roots of those with roots
// and the solution of those whose roots are listed again (about three bytes
// a prime without roots, or whose roots are yet to be found).
#pragma once
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/block.h"

namespace varnesk {

void EncodeSegment(const Segment& seg, std::vector<uint8_t>& out);
// Gives back the same slots for the same 2N, into a segment whose kFrom and
// kTo are the block's; false on bytes that are no segment of that run.
bool DecodeSegment(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg);

}  // namespace varnesk
