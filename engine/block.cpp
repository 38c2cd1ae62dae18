#include "engine/block.h"

#include <algorithm>
#include <utility>

namespace varnesk {

UInt128 Segment::SieveEnd(UInt128 twoN) const { return std::min(kTo, LastSieveK(twoN)); }

PrimeSlot& Segment::AddSlot(size_t slotRoots) {
    if (static_cast<size_t>(count) == slots.size()) slots.emplace_back();
    PrimeSlot& slot = slots[static_cast<size_t>(count++)];
    if (slot.roots.size() < slotRoots) slot.roots.resize(slotRoots);
    slot.outcome = PrimeSlot::kNothing;
    slot.rootCount = 0;
    slot.a = 0;
    return slot;
}

void Segment::AddLimitSlot(UInt128 twoN, size_t slotRoots) {
    const UInt128 kLast = LastSieveK(twoN);
    if (kTo <= kLast) return;
    PrimeSlot& slot = AddSlot(slotRoots);
    slot.k = std::max(kFrom, kLast) + 1;
    slot.p = slot.k * twoN + 1;
    slot.outcome = PrimeSlot::kBeyond;
}

bool Segment::ListActive() {
    active.clear();
    bool unfinished = false;
    for (int i = 0; i < count; ++i) {
        const PrimeSlot& slot = slots[static_cast<size_t>(i)];
        unfinished = unfinished || slot.outcome == PrimeSlot::kPrime;
        const bool quiet = slot.outcome == PrimeSlot::kNothing || (slot.outcome == PrimeSlot::kRoots && slot.rootCount == 0);
        if (!quiet) active.push_back(i);
    }
    return unfinished;
}

void Segment::UnfinishedK(std::vector<UInt128>& out) const {
    out.clear();
    for (int i = 0; i < count; ++i)
        if (slots[static_cast<size_t>(i)].outcome == PrimeSlot::kPrime) out.push_back(slots[static_cast<size_t>(i)].k);
}

bool Segment::TakeFinished(Segment& done) {
    int j = 0;
    for (int i = 0; i < count; ++i) {
        const PrimeSlot& slot = slots[static_cast<size_t>(i)];
        if (slot.outcome != PrimeSlot::kPrime) continue;
        if (j == done.count) return false;
        const PrimeSlot& filled = done.slots[static_cast<size_t>(j++)];
        if (filled.k != slot.k || filled.p != slot.p || filled.outcome == PrimeSlot::kPrime ||
            filled.outcome == PrimeSlot::kBeyond)
            return false;
    }
    if (j != done.count) return false;
    j = 0;
    for (int i = 0; i < count; ++i)
        if (slots[static_cast<size_t>(i)].outcome == PrimeSlot::kPrime)
            std::swap(slots[static_cast<size_t>(i)], done.slots[static_cast<size_t>(j++)]);
    return true;
}

}  // namespace varnesk
