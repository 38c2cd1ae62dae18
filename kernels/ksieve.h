// The candidate stream's sieve over k: of a run of k, the k whose
// p = k*2N + 1 the old wheel (no prime factor from 3 to 73, the wheel's own
// primes kept) passes and which a base-2 Fermat test may still pass, found
// with a segmented sieve by every odd prime up to a depth instead of a test
// per k.
//
// Why the depth changes no file: a k leaves this list only when a prime q
// (73 < q <= depth, q != p) divides p and k lies outside the one class that
// a base-2 pseudoprime divisible by q needs. If q | p and 2^(p-1) = 1 (mod p)
// then ord_q(2) | p - 1 = k*2N, so k = 0 (mod d) with d = ord_q(2) /
// gcd(ord_q(2), 2N); the k of that class (one in d of q's) stay in the list
// and get their Fermat test as before. So every k that the old stream gave
// (wheel and Fermat test) is still given, and none other: the same primes,
// pseudoprimes included, hence the same factor lines, prime counts, resume
// points and packed K files at any depth. Only the number of Fermat tests
// changes. A q with d = 1 (a factor of a Fermat number 2^(2^j) + 1 with
// 2^j <= N) can strike nothing and is left out.
#pragma once
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "platform/numparse.h"

namespace varnesk {

class KSieve {
public:
    // By measurement (bench_kernels BM_CandidateStream at 2^49 and 2^62):
    // where the Fermat test is a vector one, deeper primes strike too rarely
    // to pay for their per-window cost; 1.6 tests per prime are left at 10^15.
    static constexpr uint32_t kDefaultDepth = 1u << 18;
    // k per window: 32 KB of bits, in the first-level cache.
    static constexpr uint32_t kWindow = 1u << 18;

    // twoN = 2N (a power of two, at least 2). depth: sieve by the odd primes
    // up to it (at least 73; at most 2^24).
    explicit KSieve(uint64_t twoN, uint32_t depth = kDefaultDepth);

    // Appends the k in (kFrom, kTo] that may give a probable prime, in
    // increasing k. kTo*2N + 1 below 2^127. Runs that follow each other (as
    // one thread's blocks do) reuse the window and its offsets; any other
    // run costs a division per prime to start over.
    void Survivors(UInt128 kFrom, UInt128 kTo, std::vector<UInt128>& out);

    uint32_t Depth() const { return depth_; }

    // The window of k from base on (kWindow of them, bit i for base + i),
    // sieved: the next one after the last costs the sieve alone, any
    // other a restart. Valid until the next call.
    const std::vector<uint64_t>& WindowAt(UInt128 base);
    // Appends the k of a window's bits from base + from to base + to
    // (inclusive, within the window).
    static void AppendSurvivors(const uint64_t* bits, UInt128 base, uint64_t from, uint64_t to,
                                std::vector<UInt128>& out);

private:
    void Restart(UInt128 base);
    void SieveWindow();

    uint64_t twoN_;
    uint32_t depth_;
    // Primes below 64 strike a word at a time: the class's bits of a word
    // are pattern << phase.
    struct Small {
        uint64_t pattern;
        uint32_t q, root, phase, shift;  // shift: 64 mod q
    };
    std::vector<Small> small_;
    // 67, 71, 73 strike their whole class; a deep prime strikes its class
    // and puts back the pseudoprime class k = c (mod m), m = q*d. off and
    // roff: the next k of each in the window. Side by side, as the window
    // walks them.
    struct Wheel {
        uint32_t q, off;
    };
    struct Deep {
        uint32_t q, off;
        uint64_t m, roff;
    };
    std::vector<Wheel> wheel_;
    std::vector<Deep> deep_;
    std::vector<uint32_t> wheelRoot_, deepRoot_;  // the class k = root (mod q)
    std::vector<uint64_t> deepC_;
    // The k of the primes q <= depth of the form k*2N + 1: never struck.
    std::vector<uint64_t> keepK_;

    std::vector<uint64_t> bits_, wheelBits_;
    UInt128 base_ = 0;
    bool valid_ = false;  // the window at base_ is sieved; offsets are base_ + kWindow's
};

// One sieve over k for the threads of a job whose runs interleave (the
// wide sieve hands its blocks out in turn): each window is sieved once and
// read by all, where each thread's own KSieve would sieve every window for
// the few runs it takes there. A thread that needs a window not yet sieved
// sieves it; PrepareAhead lets one sieve the next window between two runs,
// before anyone waits for it. The same survivors as KSieve's. Safe from any
// thread.
class SharedKSieve {
public:
    explicit SharedKSieve(uint64_t twoN, uint32_t depth = KSieve::kDefaultDepth);

    void Survivors(UInt128 kFrom, UInt128 kTo, std::vector<UInt128>& out);
    // Sieves the window after the furthest one read, once a run has read
    // past that one's middle and nobody has started it.
    void PrepareAhead();

    uint32_t Depth() const { return sieve_.Depth(); }

private:
    using Bits = std::shared_ptr<const std::vector<uint64_t>>;
    struct Entry {
        UInt128 window = 0;
        Bits bits;
        bool sieving = false;
        uint64_t used = 0;  // for replacing the least recently used
    };
    Bits Get(UInt128 window, bool wait);

    std::mutex mutex_;  // the entries
    std::condition_variable ready_;
    std::vector<Entry> entries_;
    uint64_t clock_ = 0;
    // The window after the furthest one read past its middle (0: none yet;
    // window 0 is never ahead of another).
    UInt128 ahead_ = 0;
    std::mutex sieveMutex_;  // the sieve's offsets
    KSieve sieve_;
};

}  // namespace varnesk
