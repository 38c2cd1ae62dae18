// The cost of proving one factor line: the primality test of p at three
// sizes (every line of a deep sieve has its own p) and the parse.
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "engine/prove.h"

namespace {

// Primes p = k*2^21 + 1 from about 2^bits upward.
std::vector<uint64_t> PrimesNear(int bits, size_t count) {
    std::vector<uint64_t> primes;
    for (uint64_t k = (uint64_t{1} << (bits - 21)) + 1; primes.size() < count; ++k) {
        uint64_t p = (k << 21) + 1;
        if (varnesk::IsPrime64(p)) primes.push_back(p);
    }
    return primes;
}

void BM_IsPrime64(benchmark::State& state) {
    const std::vector<uint64_t> primes = PrimesNear(static_cast<int>(state.range(0)), 256);
    size_t i = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(varnesk::IsPrime64(primes[i]));
        i = (i + 1) & 255;
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_IsPrime64)->Arg(40)->Arg(50)->Arg(62);

void BM_ClassifyFactorLine(benchmark::State& state) {
    const std::string_view line = "1000000000000000001 | 123456789^1048576+1";
    varnesk::FactorLineFields f;
    for (auto _ : state) benchmark::DoNotOptimize(varnesk::ClassifyFactorLine(line, &f));
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ClassifyFactorLine);

}  // namespace

BENCHMARK_MAIN();
