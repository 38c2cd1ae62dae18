// The sieve's stream of probable primes p = k*2N + 1: the k whose p has no
// prime factor from 3 to 73 (the wheel; the wheel's own primes pass) and
// passes the base-2 Fermat test, in increasing k. The one source of primes
// of the wide sieve and the packed K build; how it finds them (a sieve over
// k by the primes up to a depth, ksieve.h, one sieve for all the job's
// threads or one each, then sixty-four or sixteen Fermat tests at a time) is
// its own business: the list is the same at any depth.
#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "kernels/kernels.h"
#include "kernels/ksieve.h"
#include "platform/numparse.h"

namespace varnesk {

struct Candidate {
    UInt128 p, k;
};

class CandidateStream {
public:
    // kernels: the job's context (its vector forms), which outlives the
    // stream. twoN = 2N. depth: the sieve's (for measurements and tests).
    CandidateStream(const KernelContext& kernels, uint64_t twoN, uint32_t depth = KSieve::kDefaultDepth);
    // One of several streams of a job over one sieve, whose runs interleave.
    CandidateStream(const KernelContext& kernels, uint64_t twoN, std::shared_ptr<SharedKSieve> shared);

    // Between two runs: a shared sieve may sieve ahead meanwhile.
    void PrepareAhead() {
        if (shared_) shared_->PrepareAhead();
    }

    // Appends the probable primes with kFrom < k <= kTo to out, in
    // increasing k. Exact for p below 2^127.
    void CandidatesInRange(UInt128 kFrom, UInt128 kTo, std::vector<Candidate>& out);

    // Fermat tests so far (for measurements: tests per prime).
    uint64_t FermatTests() const { return tests_; }

private:
    void FermatTest(std::vector<Candidate>& out);

    const KernelContext& kernels_;
    uint64_t twoN_;
    KSieve sieve_;
    std::shared_ptr<SharedKSieve> shared_;  // used in place of sieve_ when set
    std::vector<UInt128> ks_;           // the sieve's, of one run of k
    std::vector<Candidate> survivors_;
    uint64_t tests_ = 0;
};

}  // namespace varnesk
