// The sieve's stream of probable primes p = k*2N + 1: the k whose p has no
// prime factor from 3 to 73 (the wheel; the wheel's own primes pass) and
// passes the base-2 Fermat test, in increasing k. The one source of primes
// of the wide sieve and the packed K build; how it finds them (six wheel
// tables, then sixteen Fermat tests at a time) is its own business.
#pragma once
#include <cstdint>
#include <vector>

#include "kernels/kernels.h"
#include "platform/numparse.h"

namespace varnesk {

struct Candidate {
    UInt128 p, k;
};

class CandidateStream {
public:
    // kernels: the job's context (wheel tables filled by AssemblyInit, the
    // vector forms), which outlives the stream. twoN = 2N.
    CandidateStream(const KernelContext& kernels, uint64_t twoN);

    // Appends the probable primes with kFrom < k <= kTo to out, in
    // increasing k. Exact for p below 2^127.
    void CandidatesInRange(UInt128 kFrom, UInt128 kTo, std::vector<Candidate>& out);

private:
    const KernelContext& kernels_;
    uint64_t twoN_;
    std::vector<Candidate> survivors_;  // the wheel's, of one run of k
};

}  // namespace varnesk
