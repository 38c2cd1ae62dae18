#include "kernels/candidates.h"

#include <algorithm>
#include <initializer_list>

#include "kernels/wide.h"

namespace varnesk {

bool IsWheelPrime(uint64_t p) {
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p == q) return true;
    return false;
}

namespace {

inline bool WheelBit(uint32_t r, const uint32_t* words) { return (words[r >> 5] >> (r & 31)) & 1u; }

// Every k in (kFrom, kTo] whose p = k*twoN + 1 passes the six wheel tables
// (or is one of the wheel's own primes), in increasing k. p mod M for the
// first p once (a division per call), then stepped by 2N mod M per k: no
// division per candidate. P is the narrowest type that holds every p.
template <class P>
void WheelSurvivors(uint32_t* const* wheel, UInt128 kFrom, UInt128 kTo, uint64_t twoN,
                    std::vector<Candidate>& out) {
    const P first = static_cast<P>((kFrom + 1) * twoN + 1);
    uint32_t residue[kWheelTables], step[kWheelTables], modulus[kWheelTables];
    for (int t = 0; t < kWheelTables; ++t) {
        modulus[t] = static_cast<uint32_t>(kWheelModuli[t]);
        residue[t] = static_cast<uint32_t>(first % modulus[t]);
        step[t] = static_cast<uint32_t>(twoN % modulus[t]);
    }
    P p = first;
    const P last = static_cast<P>(kTo - kFrom - 1);
    for (P i = 0;; ++i, p += twoN) {
        bool pass = true;
        for (int t = 0; t < kWheelTables && pass; ++t) pass = WheelBit(residue[t], wheel[t]);
        // The wheel's own primes (17, 41, 73, ... for N <= 8) are primes of
        // the form k*2N + 1 too; dropping them would miss factors.
        if (!pass && p <= 73) pass = IsWheelPrime(static_cast<uint64_t>(p));
        if (pass) out.push_back({p, kFrom + 1 + i});
        if (i == last) break;
        for (int t = 0; t < kWheelTables; ++t) {
            const uint32_t r = residue[t] + step[t];
            residue[t] = r >= modulus[t] ? r - modulus[t] : r;
        }
    }
}

}  // namespace

CandidateStream::CandidateStream(const KernelContext& kernels, uint64_t twoN) : kernels_(kernels), twoN_(twoN) {}

void CandidateStream::CandidatesInRange(UInt128 kFrom, UInt128 kTo, std::vector<Candidate>& out) {
    if (kTo <= kFrom) return;
    survivors_.clear();
    if (kTo * twoN_ + 1 < (UInt128{1} << 64))
        WheelSurvivors<uint64_t>(kernels_.wheel, kFrom, kTo, twoN_, survivors_);
    else
        WheelSurvivors<UInt128>(kernels_.wheel, kFrom, kTo, twoN_, survivors_);
    UInt128 p[16];
    for (size_t from = 0; from < survivors_.size(); from += 16) {
        const int count = static_cast<int>(std::min<size_t>(16, survivors_.size() - from));
        for (int i = 0; i < count; ++i) p[i] = survivors_[from + static_cast<size_t>(i)].p;
        const uint32_t passed = FermatTestWide(kernels_, p, count);
        for (int i = 0; i < count; ++i)
            if (passed & (1u << i)) out.push_back(survivors_[from + static_cast<size_t>(i)]);
    }
}

}  // namespace varnesk
