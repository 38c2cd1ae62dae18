#include "engine/segmentbytes.h"

namespace varnesk {

namespace {

void PutVarint(std::vector<uint8_t>& out, UInt128 v) {
    while (v >= 0x80) {
        out.push_back(static_cast<uint8_t>(v) | 0x80);
        v >>= 7;
    }
    out.push_back(static_cast<uint8_t>(v));
}

bool GetVarint(const uint8_t*& at, const uint8_t* end, UInt128* v) {
    UInt128 value = 0;
    for (int shift = 0; shift < 128 && at < end; shift += 7) {
        const uint8_t byte = *at++;
        value |= static_cast<UInt128>(byte & 0x7F) << shift;
        if (!(byte & 0x80)) {
            *v = value;
            return true;
        }
    }
    return false;
}

}  // namespace

void EncodeSegment(const Segment& seg, std::vector<uint8_t>& out) {
    out.clear();
    PutVarint(out, static_cast<UInt128>(seg.count));
    UInt128 k = seg.kFrom;
    for (int i = 0; i < seg.count; ++i) {
        const PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        PutVarint(out, slot.k - k);
        k = slot.k;
        out.push_back(slot.outcome);
        if (slot.outcome == PrimeSlot::kRoots) {
            PutVarint(out, static_cast<UInt128>(slot.rootCount));
            for (int32_t r = 0; r < slot.rootCount; ++r) PutVarint(out, slot.roots[static_cast<size_t>(r)]);
        } else if (slot.outcome == PrimeSlot::kInvalidA0 || slot.outcome == PrimeSlot::kListFull) {
            PutVarint(out, slot.a);
        }
    }
}

bool DecodeSegment(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg) {
    const uint8_t* at = data;
    const uint8_t* end = data + size;
    UInt128 count = 0;
    if (!GetVarint(at, end, &count) || count > size) return false;
    seg.count = static_cast<int>(count);
    if (seg.slots.size() < count) seg.slots.resize(static_cast<size_t>(count));
    UInt128 k = seg.kFrom;
    for (int i = 0; i < seg.count; ++i) {
        PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
        UInt128 step = 0;
        if (!GetVarint(at, end, &step) || at == end || *at > PrimeSlot::kPrime) return false;
        if (step > seg.kTo - k) return false;  // beyond the run, or wrapping
        k += step;
        slot.k = k;
        slot.p = k * twoN + 1;
        slot.outcome = static_cast<PrimeSlot::Outcome>(*at++);
        slot.rootCount = 0;
        if (slot.outcome == PrimeSlot::kRoots) {
            UInt128 roots = 0;
            if (!GetVarint(at, end, &roots) || roots > static_cast<size_t>(end - at)) return false;
            slot.rootCount = static_cast<int32_t>(roots);
            if (slot.roots.size() < roots) slot.roots.resize(static_cast<size_t>(roots));
            for (int32_t r = 0; r < slot.rootCount; ++r) {
                UInt128 root = 0;
                if (!GetVarint(at, end, &root) || root > UINT32_MAX) return false;
                slot.roots[static_cast<size_t>(r)] = static_cast<uint32_t>(root);
            }
        } else if (slot.outcome == PrimeSlot::kInvalidA0 || slot.outcome == PrimeSlot::kListFull) {
            if (!GetVarint(at, end, &slot.a)) return false;
        }
    }
    return at == end;
}

}  // namespace varnesk
