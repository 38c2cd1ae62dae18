#include "kernels/candidates.h"

#include <algorithm>
#include <initializer_list>
#include <utility>

#include "kernels/wide.h"

namespace varnesk {

bool IsWheelPrime(uint64_t p) {
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p == q) return true;
    return false;
}

CandidateStream::CandidateStream(const KernelContext& kernels, uint64_t twoN, uint32_t depth)
    : kernels_(kernels), twoN_(twoN), sieve_(twoN, depth) {}

// Its own sieve, at the least depth, is never used.
CandidateStream::CandidateStream(const KernelContext& kernels, uint64_t twoN, std::shared_ptr<SharedKSieve> shared)
    : kernels_(kernels), twoN_(twoN), sieve_(twoN, 73), shared_(std::move(shared)) {}

void CandidateStream::CandidatesInRange(UInt128 kFrom, UInt128 kTo, std::vector<Candidate>& out) {
    if (kTo <= kFrom) return;
    ks_.clear();
    if (shared_)
        shared_->Survivors(kFrom, kTo, ks_);
    else
        sieve_.Survivors(kFrom, kTo, ks_);
    survivors_.clear();
    for (UInt128 k : ks_) survivors_.push_back({k * twoN_ + 1, k});
    FermatTest(out);
}

// The one place that tests the sieve's survivors: sixty-four at a time
// while more than sixteen are left and the job has a form for them (doubles,
// else digits), then sixteen at a time.
void CandidateStream::FermatTest(std::vector<Candidate>& out) {
    tests_ += survivors_.size();
    size_t from = 0;
    const KernelTable& table = kernels_.table;
    for (uint64_t moduli[64]; from + 16 < survivors_.size(); from += 64) {
        const size_t count = std::min<size_t>(64, survivors_.size() - from);
        // In increasing order: the last is the largest, and picks the form
        // (each is exact from 3 up to its bound).
        const UInt128 top = survivors_[from + count - 1].p;
        const auto* form = table.fermat64.Takes(top) ? &table.fermat64 : &table.fermatDigits64;
        if (!form->Takes(top)) break;
        for (size_t i = 0; i < 64; ++i) moduli[i] = i < count ? static_cast<uint64_t>(survivors_[from + i].p) : 3;
        const uint64_t passed = form->fn(moduli);
        for (size_t i = 0; i < count; ++i)
            if ((passed >> i) & 1) out.push_back(survivors_[from + i]);
    }
    UInt128 p[16];
    for (; from < survivors_.size(); from += 16) {
        const int count = static_cast<int>(std::min<size_t>(16, survivors_.size() - from));
        for (int i = 0; i < count; ++i) p[i] = survivors_[from + static_cast<size_t>(i)].p;
        const uint32_t passed = FermatTestWide(kernels_, p, count);
        for (int i = 0; i < count; ++i)
            if (passed & (1u << i)) out.push_back(survivors_[from + static_cast<size_t>(i)]);
    }
}

}  // namespace varnesk
