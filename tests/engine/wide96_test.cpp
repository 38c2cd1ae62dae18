// The wide sieve beyond 2^63: runs across 2^63 and 2^64 and near 2^80 and
// 2^95 against a brute-force model (GMP), planted factors of b^N + 1,
// stop and resume, and threads.
#include <cinttypes>
#include <map>

#include "engine_fixture.h"
#include "tests/support/gmp_wide.h"
#include "tests/support/planted_factors.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;
using testsupport::IsPrimeGmp;
using testsupport::PowModGmp;

UInt128 Dec(const char* s) { return ParseUInt128(s).value; }

struct WideLine {
    UInt128 p;
    int32_t b, N;
    bool operator<(const WideLine& o) const {
        return p != o.p ? p < o.p : b != o.b ? b < o.b : N < o.N;
    }
    bool operator==(const WideLine& o) const { return p == o.p && b == o.b && N == o.N; }
};
std::ostream& operator<<(std::ostream& os, const WideLine& l) {
    return os << FormatUInt128(l.p) << " | " << l.b << "^" << l.N << "+1";
}

std::vector<WideLine> WideFactorLines(const std::string& path) {
    std::vector<WideLine> out;
    std::istringstream in(ReadAll(path));
    std::string line;
    while (std::getline(in, line)) {
        const size_t bar = line.find(" | ");
        if (bar == std::string::npos || line.empty() || line[0] < '0' || line[0] > '9') continue;
        int b = 0, N = 0;
        if (std::sscanf(line.c_str() + bar, " | %d^%d+1", &b, &N) != 2) continue;
        out.push_back({ParseUInt128(line).value, b, N});
    }
    return out;
}

UInt128 SavedP(const std::string& path) {
    const std::string text = ReadAll(path);
    const size_t at = text.find("ABC $a^$b+1 // ");
    return at == std::string::npos ? 0 : ParseUInt128(text.substr(at + 15)).value;
}

// A candidate file of the even bases from bLo to bHi resuming after p0.
void WriteInput(const std::string& path, UInt128 p0, int32_t N, int32_t bLo, int32_t bHi) {
    std::ofstream out(path);
    out << "ABC $a^$b+1 // " << FormatUInt128(p0) << "\n";
    for (int32_t b = bLo; b <= bHi; b += 2) out << b << " " << N << "\n";
}

// Every prime p = 2Nk + 1 with kFrom < k <= kTo against every base: the
// first p that divides b^N + 1 strikes b.
struct WideModel {
    std::set<WideLine> factors;
    std::vector<int32_t> survivors;
};
WideModel BruteForceWide(int32_t N, int32_t bLo, int32_t bHi, UInt128 kFrom, UInt128 kTo) {
    std::map<int32_t, UInt128> first;
    for (UInt128 k = kFrom + 1; k <= kTo; ++k) {
        const UInt128 p = k * 2 * static_cast<UInt128>(N) + 1;
        if (!IsPrimeGmp(p)) continue;
        for (int32_t b = bLo; b <= bHi; b += 2)
            if (!first.count(b) && PowModGmp(static_cast<UInt128>(b), static_cast<UInt128>(N), p) == p - 1)
                first[b] = p;
    }
    WideModel m;
    for (int32_t b = bLo; b <= bHi; b += 2) {
        if (first.count(b))
            m.factors.insert({first[b], b, N});
        else
            m.survivors.push_back(b);
    }
    return m;
}

// Resumes after p0 up to the first prime above endP.
struct WideRun {
    ScratchDir dir;
    JobRun run;
    void Go(UInt128 p0, UInt128 endP, int32_t N, int32_t bLo, int32_t bHi, int threads = 1,
            KernelPath path = DetectKernelPath()) {
        WriteInput(dir / "in.txt", p0, N, bLo, bHi);
        run.Resume(dir / "f.txt", dir / "in.txt", dir / "o.txt");
        run.StartStop(p0 + 1, endP);
        run.Threads(threads);
        run.Kernel(path);
        run.Run();
    }
};

// Checks a finished run against the model over the primes it sieved.
void ExpectModel(WideRun& r, UInt128 p0, int32_t N, int32_t bLo, int32_t bHi, const std::string& what) {
    const UInt128 twoN = 2 * static_cast<UInt128>(N);
    const UInt128 saved = SavedP(r.dir / "o.txt");
    ASSERT_GT(saved, p0) << what;
    const WideModel want = BruteForceWide(N, bLo, bHi, (p0 - 1) / twoN, (saved - 1) / twoN);
    const auto lines = WideFactorLines(r.dir / "f.txt");
    const std::set<WideLine> got(lines.begin(), lines.end());
    EXPECT_EQ(got.size(), lines.size()) << what << ": a base struck twice";
    EXPECT_EQ(got, want.factors) << what;
    EXPECT_EQ(ReadCandidates(r.dir / "o.txt").bases, want.survivors) << what;
    EXPECT_TRUE(r.run.sink.Has("Terminal P value reached.")) << what;
    // The last progress record carries the saved p whole, past 2^63 too.
    const auto progress = r.run.sink.ProgressRecords();
    ASSERT_FALSE(progress.empty()) << what;
    EXPECT_TRUE(progress.back().p == saved) << what;
    EXPECT_EQ(progress.back().basesLeft, static_cast<int32_t>(want.survivors.size())) << what;
}

TEST(WideSieve96, RunsAcross2To63And2To64MatchTheBruteForceModel) {
    struct Case {
        const char* what;
        UInt128 center;
        int32_t N, bLo, bHi;
    };
    for (Case c : {Case{"across 2^63", UInt128{1} << 63, 16, 2, 3000},
                   Case{"across 2^64", UInt128{1} << 64, 16, 2, 3000},
                   Case{"across 2^64 with N = 1024", UInt128{1} << 64, 1024, 2, 400},
                   Case{"near 2^80", UInt128{1} << 80, 8, 2, 1200},
                   Case{"near 2^95", UInt128{1} << 95, 4, 2, 1200}}) {
        const UInt128 twoN = 2 * static_cast<UInt128>(c.N);
        const UInt128 p0 = (c.center / twoN - 1500) * twoN + 1;
        const UInt128 endP = c.center + 1500 * twoN;
        WideRun r;
        r.Go(p0, endP, c.N, c.bLo, c.bHi);
        ExpectModel(r, p0, c.N, c.bLo, c.bHi, c.what);
    }
}

TEST(WideSieve96, EveryPlantedFactorIsStruckAndProven) {
    // A run over a range around each p must write its line.
    for (const auto& f : testsupport::kPlantedFactors) {
        const UInt128 p = Dec(f.p), twoN = 2 * static_cast<UInt128>(f.exponent);
        const UInt128 p0 = p - 300 * twoN;
        const int32_t bLo = std::max(2, f.b - 200), bHi = f.b + 200;
        WideRun r;
        r.Go(p0, p + 300 * twoN, f.exponent, bLo, bHi);
        const std::string what = std::to_string(f.b) + "^" + std::to_string(f.exponent) + "+1";
        const auto lines = WideFactorLines(r.dir / "f.txt");
        EXPECT_NE(std::find(lines.begin(), lines.end(), WideLine{p, f.b, f.exponent}), lines.end()) << what;
        ExpectModel(r, p0, f.exponent, bLo, bHi, what);
        for (const WideLine& l : lines)
            EXPECT_TRUE(PowModGmp(static_cast<UInt128>(l.b), static_cast<UInt128>(l.N), l.p) == l.p - 1) << l;
    }
}

TEST(WideSieve96, StopAndResumeAbove2To64EqualsOneRunAndThreadsAgree) {
    // Around 538^8 + 1's factor near 2.4e19: one run, two halves, and one
    // run on three threads.
    const int32_t N = 8, bHi = 1200;
    const UInt128 p = Dec("24286244480072008673"), twoN = 2 * N;
    const UInt128 p0 = p - 4000 * twoN, endP = p + 4000 * twoN, mid = p - 7 * twoN;
    WideRun whole;
    whole.Go(p0, endP, N, 2, bHi);
    WideRun threaded;
    threaded.Go(p0, endP, N, 2, bHi, 3);
    EXPECT_EQ(ReadAll(threaded.dir / "f.txt"), ReadAll(whole.dir / "f.txt"));
    EXPECT_EQ(ReadAll(threaded.dir / "o.txt"), ReadAll(whole.dir / "o.txt"));
    // Every kernel path this CPU has gives the same files.
    for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
        if (!KernelPathAvailable(path)) continue;
        WideRun other;
        other.Go(p0, endP, N, 2, bHi, 2, path);
        EXPECT_EQ(ReadAll(other.dir / "f.txt"), ReadAll(whole.dir / "f.txt")) << KernelPathName(path);
        EXPECT_EQ(ReadAll(other.dir / "o.txt"), ReadAll(whole.dir / "o.txt")) << KernelPathName(path);
    }

    WideRun first;
    first.Go(p0, mid, N, 2, bHi);
    const UInt128 saved = SavedP(first.dir / "o.txt");
    ASSERT_GT(saved, mid);
    ASSERT_LT(saved, endP);
    JobRun second;  // resume from its own output, as users do
    second.Resume(first.dir / "f.txt", first.dir / "o.txt", first.dir / "o.txt");
    second.StartStop(saved + 1, endP);
    second.Threads(2);
    second.Run();
    EXPECT_EQ(ReadAll(first.dir / "o.txt"), ReadAll(whole.dir / "o.txt"));
    auto a = WideFactorLines(first.dir / "f.txt"), b = WideFactorLines(whole.dir / "f.txt");
    EXPECT_EQ(a, b);
    EXPECT_NE(std::find(b.begin(), b.end(), WideLine{p, 538, N}), b.end());
}

TEST(WideSieve96, EveryKernelPathWritesTheSameFilesAcross2To63And2To64) {
    struct Case {
        UInt128 center;
        int32_t N, bHi;
    };
    // The last: 2^64 - 2^32 + 1 divides 8^32 + 1 (a hit for the vector walks).
    for (Case c : {Case{UInt128{1} << 63, 1024, 3000}, Case{UInt128{1} << 64, 1024, 3000},
                   Case{UInt128{1} << 95, 1024, 3000}, Case{Dec("18446744069414584321"), 32, 200}}) {
        const UInt128 twoN = 2 * static_cast<UInt128>(c.N);
        const UInt128 p0 = (c.center / twoN - 3000) * twoN + 1, endP = c.center + 3000 * twoN;
        WideRun scalar;
        scalar.Go(p0, endP, c.N, 2, c.bHi, 1, KernelPath::Scalar);
        for (KernelPath path : {KernelPath::Avx2, KernelPath::Avx512}) {
            if (!KernelPathAvailable(path)) continue;
            WideRun other;
            other.Go(p0, endP, c.N, 2, c.bHi, 2, path);
            EXPECT_EQ(ReadAll(other.dir / "f.txt"), ReadAll(scalar.dir / "f.txt")) << KernelPathName(path);
            EXPECT_EQ(ReadAll(other.dir / "o.txt"), ReadAll(scalar.dir / "o.txt")) << KernelPathName(path);
        }
        if (c.N == 32) {
            const auto lines = WideFactorLines(scalar.dir / "f.txt");
            EXPECT_NE(std::find(lines.begin(), lines.end(), WideLine{c.center, 8, 32}), lines.end());
        }
    }
}

TEST(WideSieve96, StartPBeyond2To64OnAResumePlacesTheFirstPrime) {
    WideRun r;
    const UInt128 start = Dec("18446744073709551617");  // 2^64 + 1
    WriteInput(r.dir / "in.txt", 0, 65536, 2, 10);
    r.run.Resume(r.dir / "f.txt", r.dir / "in.txt", r.dir / "o.txt");
    r.run.StartStop(start, start + 1);
    r.run.Run();
    EXPECT_TRUE(r.run.sink.Has("Start/Stop P, start P 18446744073709551615, stop P 18446744073709551619"));
    // The first prime 2^17 k + 1 from 2^64 + 1 on lies beyond the stop value
    // too: it is the one prime sieved and the resume point.
    UInt128 k = (start - 2) / 131072 + 1;
    while (!IsPrimeGmp(k * 131072 + 1)) ++k;
    EXPECT_EQ(FormatUInt128(SavedP(r.dir / "o.txt")), FormatUInt128(k * 131072 + 1));
}

}  // namespace
}  // namespace varnesk
