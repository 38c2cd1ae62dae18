// A segment's bytes as another rank sends them: any bytes either read as a
// segment whose primes lie in its run of k, with p = k*2N + 1, and which
// encodes and reads back to the same slots, or are refused; never a read
// outside the bytes or a root list longer than its vector.
#include <cstdint>
#include <vector>

#include "engine/block.h"
#include "engine/segmentbytes.h"
#include "fuzz_support.h"

using namespace varnesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const UInt128 twoN = 1 << 11;
    Segment seg;
    seg.kFrom = (UInt128{1} << 64) - 3;
    seg.kTo = seg.kFrom + 100000;
    if (!DecodeSegment(data, size, twoN, seg)) return 0;
    UInt128 last = seg.kFrom;
    for (int i = 0; i < seg.count; ++i) {
        const PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        FUZZ_CHECK(slot.k >= last && slot.k <= seg.kTo);
        FUZZ_CHECK(slot.p == slot.k * twoN + 1);
        FUZZ_CHECK(slot.rootCount >= 0 && static_cast<size_t>(slot.rootCount) <= slot.roots.size());
        last = slot.k;
    }
    std::vector<uint8_t> again;
    EncodeSegment(seg, again);
    Segment back;
    back.kFrom = seg.kFrom;
    back.kTo = seg.kTo;
    FUZZ_CHECK(DecodeSegment(again.data(), again.size(), twoN, back));
    FUZZ_CHECK(back.count == seg.count);
    for (int i = 0; i < seg.count; ++i) {
        const PrimeSlot& a = seg.slots[static_cast<size_t>(i)];
        const PrimeSlot& b = back.slots[static_cast<size_t>(i)];
        FUZZ_CHECK(a.k == b.k && a.outcome == b.outcome && a.rootCount == b.rootCount);
    }
    return 0;
}
