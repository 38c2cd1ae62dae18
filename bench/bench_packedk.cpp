// Packed K files: sequential reading speed, and the speed of the build.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "kernels/kernels.h"
#include "kernels/sieve_job.h"
#include "kernels/startup.h"
#include "packedk/generate.h"
#include "packedk/packedkdb.h"
#include "packedk/sequence.h"

namespace {

using namespace varnesk;

std::string MakeScratchFolder() {
    std::string pattern = (std::filesystem::temp_directory_path() / "varnesk-bench-pk-XXXXXX").string();
    return ::mkdtemp(pattern.data()) ? pattern : std::string();
}

struct ScratchFolder {
    std::string path = MakeScratchFolder();
    ~ScratchFolder() {
        std::error_code ignored;
        if (!path.empty()) std::filesystem::remove_all(path, ignored);
    }
};

// A file of typical differences (a few dozen on average, as for N = 2^16).
void BM_ReadNext64KValue(benchmark::State& state) {
    const uint32_t count = static_cast<uint32_t>(state.range(0));
    ScratchFolder folder;
    const std::string name = folder.path + "/ln16pi00000.pkk";
    std::string error;
    {
        CPackedKDB writer;
        writer.SetFileName(name);
        if (!writer.InitOpenNewFile(1, 65536, error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        std::mt19937 random(7);
        std::geometric_distribution<int> gap(1.0 / 40);
        int64_t k = 1;
        for (uint32_t i = 1; i < count; ++i) {
            k += std::min(gap(random), 1023);
            writer.WriteNew64KValue(k, error);
        }
    }
    CPackedKDB reader;
    reader.SetFileName(name);
    int64_t sum = 0;
    for (auto _ : state) {
        if (!reader.ReadOpenDB(error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        int64_t k = 0;
        while (reader.ReadNext64KValue(k, error)) sum += k;
        reader.CloseDB();
    }
    benchmark::DoNotOptimize(sum);
    state.SetItemsProcessed(static_cast<int64_t>(state.iterations()) * count);
}
BENCHMARK(BM_ReadNext64KValue)->Arg(10000000)->Unit(benchmark::kMillisecond);

// The build at N = 2^16 into a new sequence for a fixed wall time per
// iteration. items = values appended; k_range = k examined per second.
void BM_GeneratePackedK(benchmark::State& state) {
    const auto runFor = std::chrono::milliseconds(state.range(0));
    int64_t values = 0, kRange = 0;
    double seconds = 0;
    for (auto _ : state) {
        ScratchFolder folder;
        SieveJob job;
        WorkerFlags flags;
        job.exponent = 65536;
        job.exponentLog2 = 16;
        job.packedKPath = folder.path;
        std::atomic<bool> done{false};
        auto start = std::chrono::steady_clock::now();
        std::thread worker([&] {
            KernelContext kernels;
            if (StartKernels(job, kernels) == 0) GeneratePackedK(job, flags, kernels);
            done = true;
        });
        std::this_thread::sleep_for(runFor);
        flags.m_stopRequest = 1;
        worker.join();
        seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        CPackedKDB db;
        db.SetFileName(SequenceFileName(folder.path, 16, 0));
        std::string error;
        if (!db.ReadOpenDB(error)) {
            state.SkipWithError(error.c_str());
            return;
        }
        values += db.ValueCount();
        kRange += db.LastK();
    }
    state.counters["values_per_s"] = benchmark::Counter(static_cast<double>(values) / seconds);
    state.counters["k_per_s"] = benchmark::Counter(static_cast<double>(kRange) / seconds);
}
BENCHMARK(BM_GeneratePackedK)->Arg(2000)->Iterations(2)->UseRealTime()->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
