// Kernel speed on one core: ns per root, per candidate, per base.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "kernels/candidates.h"
#include "kernels/kernels.h"
#include "kernels/ksieve.h"
#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "kernels/startup.h"
#include "kernels/wide.h"

namespace varnesk {
namespace {

// A prime p = 2Nk + 1 just above 2^bits with a solution a of a^N = -1.
struct GfnPrime {
    uint64_t p = 0, a = 0;
};

GfnPrime FindGfnPrime(int bits, uint64_t N) {
    uint64_t k = ((1ULL << bits) / (2 * N)) | 1;
    for (;; k += 2) {
        uint64_t p = k * 2 * N + 1;
        if (PowModRef(2, p - 1, p) != 1 || PowModRef(3, p - 1, p) != 1 || PowModRef(5, p - 1, p) != 1) continue;
        for (uint64_t q = 3; q < 200; q += 2) {
            uint64_t c = PowModRef(q, k, p);
            if (PowModRef(c, N, p) == p - 1) return {p, c};
        }
    }
}

struct Wired {
    SieveJob job;
    KernelContext k;
    Wired() { StartKernels(job, k); }
};

void PerItem(benchmark::State& state, double itemsPerIteration, const char* name) {
    state.counters[name] = benchmark::Counter(itemsPerIteration * static_cast<double>(state.iterations()),
                                              benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}

// Path argument: 0 = scalar, 1 = AVX2, 2 = AVX-512, 3 = AVX2 with scalar
// chains beside the vector lanes, 4 = AVX2 without (skipped, with a
// message, where the build or the processor lacks the path).
bool UsePath(benchmark::State& state, int64_t arg, KernelContext& k) {
    const KernelPath path = arg == 2 ? KernelPath::Avx512 : arg == 0 ? KernelPath::Scalar : KernelPath::Avx2;
    if (!KernelPathAvailable(path)) {
        state.SkipWithError((std::string("no ") + KernelPathName(path) + " path on this CPU or build").c_str());
        return false;
    }
    k.SelectKernels(path, {0, arg == 3 ? 1 : arg == 4 ? -1 : 0});
    state.SetLabel(std::string(KernelPathName(path)) + (arg == 3 ? "+scalar" : arg == 4 ? "-scalar" : ""));
    return true;
}

// args: log2 N, bits of p, path. Limit 10^6, far below p: the common case.
void BM_EnumerateGfnRoots(benchmark::State& state) {
    const uint64_t N = 1ULL << state.range(0);
    const GfnPrime g = FindGfnPrime(static_cast<int>(state.range(1)), N);
    KernelContext k;
    if (!UsePath(state, state.range(2), k)) return;
    std::vector<uint32_t> out(N + 4);
    int32_t count = 0;
    k.SetRootSearch(static_cast<int32_t>(N), 1000000);
    k.SetRootOutput(&count, out.data(), static_cast<int32_t>(N + 4));
    for (auto _ : state) {
        benchmark::DoNotOptimize(k.EnumerateGfnRoots(static_cast<int64_t>(g.a), static_cast<int64_t>(g.p)));
        benchmark::DoNotOptimize(count);
    }
    PerItem(state, static_cast<double>(N), "per_root");
}
BENCHMARK(BM_EnumerateGfnRoots)->ArgsProduct({{16, 20}, {50, 62}, {0, 1, 2, 3, 4}});

// A probable prime p = 2Nk + 1 just above 2^bits (bits < 127) with a
// solution a of a^N = -1.
struct WideGfnPrime {
    UInt128 p = 0, a = 0;
};
WideGfnPrime FindWideGfnPrime(int bits, uint64_t N) {
    for (UInt128 k = ((UInt128{1} << bits) / (2 * N)) | 1;; k += 2) {
        const UInt128 p = k * 2 * N + 1;
        const Montgomery2 mont(p);
        UInt128 x = mont.one, two = mont.To(2);
        for (UInt128 e = p - 1; e != 0; e >>= 1) {
            if (e & 1) x = mont.Mul(x, two);
            two = mont.Sqr(two);
        }
        if (x != mont.one) continue;
        const WideOrder s = FindOrder2NWide(p, k, ExponentLog2(static_cast<int64_t>(N)));
        if (s.r == -1) return {p, s.a};
    }
}

// args: log2 N, bits of p, 0 = scalar walk / 1 = AVX2 walk; limit 10^6.
void BM_EnumerateGfnRootsWide(benchmark::State& state) {
    const int32_t N = 1 << state.range(0);
    const KernelPath path = state.range(2) ? KernelPath::Avx2 : KernelPath::Scalar;
    if (!KernelPathAvailable(path)) {
        state.SkipWithError("path not available on this CPU or build");
        return;
    }
    const WideGfnPrime g = FindWideGfnPrime(static_cast<int>(state.range(1)), static_cast<uint64_t>(N));
    const KernelTable table = KernelTableFor(path);
    std::vector<uint32_t> out(static_cast<size_t>(N) + 4);
    for (auto _ : state)
        benchmark::DoNotOptimize(EnumerateGfnRootsWide(g.a, g.p, N, 1000000, out.data(), N + 4, false, table));
    PerItem(state, N, "per_root");
}
BENCHMARK(BM_EnumerateGfnRootsWide)->ArgsProduct({{16}, {64, 80, 95}, {0, 1}});

// args: bits of p, 0 = Mul, 1 = Sqr. One dependent chain of two-word
// Montgomery products: the latency that the order search pays.
void BM_Montgomery2Chain(benchmark::State& state) {
    const UInt128 p = ((UInt128{1} << state.range(0)) - 1) / 3 * 2 + 1;  // odd, just below 2^bits
    const Montgomery2 mont(p);
    const UInt128 c = mont.To(p / 3);
    UInt128 x = mont.To(12345);
    for (auto _ : state) {
        for (int i = 0; i < 100; ++i) x = state.range(1) ? mont.Sqr(x) : mont.Mul(x, c);
        benchmark::DoNotOptimize(x);
    }
    PerItem(state, 100, "per_product");
}
BENCHMARK(BM_Montgomery2Chain)->ArgsProduct({{65, 80, 96, 127}, {0, 1}});

// args: bits of p, 0 = the per-call constants, 1 = one shared WidePrime.
// The work per prime besides the walk: order search and divisor check, n = 16.
void BM_OrderAndCheckWide(benchmark::State& state) {
    const int32_t N = 65536;
    const WideGfnPrime g = FindWideGfnPrime(static_cast<int>(state.range(0)), N);
    const UInt128 k = (g.p - 1) / (2 * N);
    for (auto _ : state) {
        if (state.range(1)) {
            const WidePrime prime(g.p);
            const WideOrder s = FindOrder2NWide(prime, k, 16);
            benchmark::DoNotOptimize(TestGfnDivisorWide(s.a, 16, prime));
        } else {
            const WideOrder s = FindOrder2NWide(g.p, k, 16);
            benchmark::DoNotOptimize(TestGfnDivisorWide(s.a, 16, g.p));
        }
    }
    PerItem(state, 1, "per_prime");
}
BENCHMARK(BM_OrderAndCheckWide)->ArgsProduct({{64, 80, 95}, {0, 1}});

// args: bits of p. Montgomery2 set-up alone.
void BM_Montgomery2Setup(benchmark::State& state) {
    UInt128 p = (UInt128{1} << state.range(0)) + 1;
    for (auto _ : state) {
        const Montgomery2 mont(p);
        benchmark::DoNotOptimize(mont.r2);
        p += 2;
    }
}
BENCHMARK(BM_Montgomery2Setup)->Arg(64)->Arg(80)->Arg(95)->Arg(120);

// args: bits of p, path. Sixteen wheel survivors per call.
void BM_FermatTestMany(benchmark::State& state) {
    const uint64_t N = 65536;
    Wired w;
    if (!UsePath(state, state.range(1), w.k)) return;
    int64_t p[16];
    const uint64_t k0 = (1ULL << state.range(0)) / (2 * N);
    for (uint64_t k = k0, i = 0; i < 16; ++k) {
        const uint64_t m = 2 * N * k + 1;
        bool small = false;
        for (uint64_t q = 3; q <= 73; q += 2) small = small || m % q == 0;
        if (!small) p[i++] = static_cast<int64_t>(m);
    }
    for (auto _ : state) benchmark::DoNotOptimize(w.k.FermatTestMany(p, 16));
    PerItem(state, 16, "per_candidate");
}
BENCHMARK(BM_FermatTestMany)->ArgsProduct({{40, 49, 50, 56, 62, 63}, {0, 1, 2}});

// args: n, bits of p, path; 100,000 bases.
void BM_StrikeBaseList(benchmark::State& state) {
    const int32_t n = static_cast<int32_t>(state.range(0));
    const GfnPrime g = FindGfnPrime(static_cast<int>(state.range(1)), 1ULL << n);
    std::vector<uint32_t> bases(100000);
    for (size_t i = 0; i < bases.size(); ++i) bases[i] = static_cast<uint32_t>(2 + 2 * i);
    int32_t count = static_cast<int32_t>(bases.size());
    KernelContext k;
    if (!UsePath(state, state.range(2), k)) return;
    k.SetBaseList(&count, bases.data());
    for (auto _ : state) benchmark::DoNotOptimize(k.StrikeBaseList(static_cast<int64_t>(g.p), n));
    PerItem(state, static_cast<double>(bases.size()), "per_base");
}
BENCHMARK(BM_StrikeBaseList)->ArgsProduct({{13, 16}, {40, 62}, {0, 1, 2}});

// args: bits of p, path, depth of the sieve over k. The probable primes of
// runs of 100,000 k that follow each other (N = 65536), as one thread of
// the wide sieve and the packed K build take them: ns per k.
void BM_CandidateStream(benchmark::State& state) {
    const int64_t N = 65536;
    UInt128 kFrom = (UInt128{1} << state.range(0)) / (2 * N);
    Wired w;
    if (!UsePath(state, state.range(1), w.k)) return;
    CandidateStream stream(w.k, 2 * N, static_cast<uint32_t>(state.range(2)));
    std::vector<Candidate> found;
    double primes = 0;
    for (auto _ : state) {
        found.clear();
        stream.CandidatesInRange(kFrom, kFrom + 100000, found);
        kFrom += 100000;
        primes += static_cast<double>(found.size());
        benchmark::DoNotOptimize(found.data());
    }
    state.counters["per_prime"] = benchmark::Counter(primes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["tests_per_prime"] = static_cast<double>(stream.FermatTests()) / std::max(primes, 1.0);
    PerItem(state, 100000, "per_k");
}
BENCHMARK(BM_CandidateStream)->ArgsProduct({{40, 50, 62, 64, 80}, {0, 1, 2}, {1 << 18}});
BENCHMARK(BM_CandidateStream)->ArgsProduct({{49, 62}, {2}, {73, 1 << 12, 1 << 14, 1 << 16, 1 << 17, 1 << 18, 1 << 19, 1 << 20, 1 << 22}});

// args: depth. The sieve over k alone (N = 65536, p from 2^50): ns per k.
void BM_KSieve(benchmark::State& state) {
    const uint64_t twoN = 131072;
    UInt128 kFrom = (UInt128{1} << 50) / twoN;
    KSieve sieve(twoN, static_cast<uint32_t>(state.range(0)));
    std::vector<UInt128> ks;
    for (auto _ : state) {
        ks.clear();
        sieve.Survivors(kFrom, kFrom + 100000, ks);
        kFrom += 100000;
        benchmark::DoNotOptimize(ks.data());
    }
    state.counters["kept"] = static_cast<double>(ks.size()) / 100000;
    PerItem(state, 100000, "per_k");
}
BENCHMARK(BM_KSieve)->Arg(73)->Arg(1 << 16)->Arg(1 << 18)->Arg(1 << 20);

// args: n, threads, path. One thread's stream at p = 10^15 when the
// blocks of the wide sieve (64 primes at small N, about 1100 k) go to that
// many threads in turn, this one taking every threads-th: ns per prime it
// gives.
void BM_CandidateBlocks(benchmark::State& state) {
    const int64_t N = int64_t{1} << state.range(0);
    const int64_t stride = state.range(1);
    UInt128 kFrom = static_cast<UInt128>(1000000000000000ULL / (2 * N));
    const UInt128 block = 1100;
    Wired w;
    if (!UsePath(state, state.range(2), w.k)) return;
    CandidateStream stream(w.k, 2 * N);
    std::vector<Candidate> found;
    double primes = 0;
    for (auto _ : state) {
        found.clear();
        stream.CandidatesInRange(kFrom, kFrom + block, found);
        kFrom += block * static_cast<UInt128>(stride);
        primes += static_cast<double>(found.size());
        benchmark::DoNotOptimize(found.data());
    }
    state.counters["per_prime"] = benchmark::Counter(primes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["tests_per_prime"] = static_cast<double>(stream.FermatTests()) / std::max(primes, 1.0);
}
BENCHMARK(BM_CandidateBlocks)->ArgsProduct({{6, 10, 13}, {1, 2}, {0, 2}});

// args: n, threads, shared. The streams of that many threads taking the
// blocks in turn, run here one after another: ns per prime of all, each
// stream with its own sieve over k (0) or all over one (1).
void BM_CandidateBlocksShared(benchmark::State& state) {
    const int64_t N = int64_t{1} << state.range(0);
    const int threads = static_cast<int>(state.range(1));
    UInt128 kFrom = static_cast<UInt128>(1000000000000000ULL / (2 * N));
    const UInt128 block = 1100;
    Wired w;
    if (!UsePath(state, 2, w.k)) return;
    auto shared = std::make_shared<SharedKSieve>(2 * N);
    std::vector<std::unique_ptr<CandidateStream>> streams;
    for (int t = 0; t < threads; ++t)
        streams.push_back(state.range(2) ? std::make_unique<CandidateStream>(w.k, 2 * N, shared)
                                         : std::make_unique<CandidateStream>(w.k, 2 * N));
    std::vector<Candidate> found;
    double primes = 0;
    for (auto _ : state) {
        for (auto& stream : streams) {
            found.clear();
            stream->CandidatesInRange(kFrom, kFrom + block, found);
            stream->PrepareAhead();
            kFrom += block;
            primes += static_cast<double>(found.size());
        }
        benchmark::DoNotOptimize(found.data());
    }
    state.counters["per_prime"] = benchmark::Counter(primes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
}
BENCHMARK(BM_CandidateBlocksShared)->ArgsProduct({{6, 10, 13}, {2}, {0, 1}});

// args: bits of p (from 2^bits), path. Sixteen odd wheel survivors of two
// words per call, the stream's batches beyond 2^64.
void BM_FermatTestWide(benchmark::State& state) {
    Wired w;
    if (!UsePath(state, state.range(1), w.k)) return;
    UInt128 p[16];
    UInt128 m = (UInt128{1} << state.range(0)) + 1;
    for (int i = 0; i < 16; m += 2) {
        bool small = false;
        for (unsigned q = 3; q <= 73; q += 2) small = small || m % q == 0;
        if (!small) p[i++] = m;
    }
    for (auto _ : state) benchmark::DoNotOptimize(FermatTestWide(w.k, p, 16));
    PerItem(state, 16, "per_candidate");
}
BENCHMARK(BM_FermatTestWide)->ArgsProduct({{64, 80, 95}, {0, 1, 2}});

// args: log2 N, step, path, log2 of the first p (0: 10^15). Where a
// prime's time goes at small N, b up to 10^6, in ns per probable prime of a
// run of 100,000 k:
// 0 = the candidate stream (wheel and Fermat tests), 1 = the solution of
// order 2N and its check, 2 = the root walk, 3 = step 1 sixteen primes at
// a time (FindOrder2NMany), 4 = step 3 without the check, 5 = step 2
// sixteen primes at a time (EnumerateGfnRootsBatch).
void BM_PrimeSteps(benchmark::State& state) {
    const int32_t n = static_cast<int32_t>(state.range(0)), N = 1 << n;
    Wired w;
    if (!UsePath(state, state.range(2), w.k)) return;
    const UInt128 from = state.range(3) ? UInt128{1} << state.range(3) : UInt128{1000000000000000ULL};
    const UInt128 kFrom = from / (2 * static_cast<UInt128>(N));
    CandidateStream stream(w.k, 2 * static_cast<uint64_t>(N));
    std::vector<Candidate> found;
    stream.CandidatesInRange(kFrom, kFrom + 100000, found);
    std::vector<uint32_t> roots(static_cast<size_t>(N) + 4);
    int32_t count = 0;
    w.k.SetRootSearch(N, 1000000);
    w.k.SetRootOutput(&count, roots.data(), N + 4);
    std::vector<std::vector<uint32_t>> batchRoots(16, std::vector<uint32_t>(static_cast<size_t>(N) + 4));
    std::vector<UInt128> a(found.size());
    for (size_t i = 0; i < found.size(); ++i) a[i] = FindOrder2NWide(found[i].p, found[i].k, n).a;
    for (auto _ : state) {
        switch (state.range(1)) {
        case 0: {
            std::vector<Candidate> again;
            stream.CandidatesInRange(kFrom, kFrom + 100000, again);
            benchmark::DoNotOptimize(again.data());
            break;
        }
        case 1:
            for (const Candidate& c : found) {
                const WidePrime prime(c.p);
                const WideOrder s = FindOrder2NWide(prime, c.k, n);
                benchmark::DoNotOptimize(TestGfnDivisorWide(s.a, n, prime));
            }
            break;
        case 3:  // step 1 as the segment now runs it: sixteen primes' searches at once
        case 4:  // the same without the check
            for (size_t from = 0; from < found.size(); from += 16) {
                const int count = static_cast<int>(std::min<size_t>(16, found.size() - from));
                UInt128 p[16], k[16];
                WideOrder s[16];
                for (int i = 0; i < count; ++i) {
                    p[i] = found[from + static_cast<size_t>(i)].p;
                    k[i] = found[from + static_cast<size_t>(i)].k;
                }
                FindOrder2NMany(w.k.table, p, k, count, n, s);
                UInt128 a[16];
                for (int i = 0; i < count; ++i) a[i] = s[i].a;
                benchmark::DoNotOptimize(state.range(1) == 3 ? TestGfnDivisorMany(w.k.table, a, p, count, n) : 0u);
            }
            break;
        case 5:
            for (size_t from = 0; from < found.size(); from += 16) {
                const int count = static_cast<int>(std::min<size_t>(16, found.size() - from));
                uint64_t p[16], b[16];
                uint32_t* out[16];
                int32_t counts[16];
                for (int i = 0; i < count; ++i) {
                    p[i] = static_cast<uint64_t>(found[from + static_cast<size_t>(i)].p);
                    b[i] = static_cast<uint64_t>(a[from + static_cast<size_t>(i)]);
                    out[i] = batchRoots[static_cast<size_t>(i)].data();
                }
                if (!EnumerateGfnRootsBatch(w.k.table, p, b, count, N, 1000000, out, N + 4, counts)) {
                    state.SkipWithError("no batch form for these primes");
                    return;
                }
                benchmark::DoNotOptimize(counts);
            }
            break;
        default:
            for (size_t i = 0; i < found.size(); ++i)
                benchmark::DoNotOptimize(
                    w.k.EnumerateGfnRoots(static_cast<int64_t>(a[i]), static_cast<int64_t>(found[i].p)));
        }
    }
    state.counters["primes"] = static_cast<double>(found.size());
    PerItem(state, static_cast<double>(found.size()), "per_prime");
}
BENCHMARK(BM_PrimeSteps)->ArgsProduct({{6, 10}, {0, 1, 2, 3, 4}, {1, 2}, {0}});
BENCHMARK(BM_PrimeSteps)->ArgsProduct({{1, 6, 10, 13, 16}, {2, 5}, {1, 2}, {0}});
BENCHMARK(BM_PrimeSteps)->ArgsProduct({{6, 10}, {0, 1, 2, 3, 5}, {0, 1, 2}, {60, 63, 80}});
BENCHMARK(BM_PrimeSteps)->ArgsProduct({{5, 7, 8, 9}, {2}, {0, 1, 2}, {60}});

}  // namespace
}  // namespace varnesk

BENCHMARK_MAIN();
