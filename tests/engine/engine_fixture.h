// Shared by the engine tests: the sink, scratch folders and job runs of
// tests/support, and a brute-force model of what a sieve must strike.
#pragma once
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "engine/worker.h"
#include "kernels/modmath.h"
#include "platform/post.h"
#include "tests/support/jobrun.h"
#include "tests/support/scratch.h"

namespace varnesk::testing {

using testsupport::JobRun;
using testsupport::ReadAll;
using testsupport::RecordingSink;
using ScratchDir = testsupport::ScratchFolder;

struct FactorLine {
    int64_t p;
    int32_t b;
    int32_t N;
    bool operator<(const FactorLine& o) const { return std::tie(p, b, N) < std::tie(o.p, o.b, o.N); }
    bool operator==(const FactorLine& o) const { return p == o.p && b == o.b && N == o.N; }
};

inline std::vector<FactorLine> FactorLines(const std::string& path) {
    std::vector<FactorLine> out;
    std::istringstream in(ReadAll(path));
    std::string line;
    while (std::getline(in, line)) {
        long long p;
        int b, N;
        if (std::sscanf(line.c_str(), "%lld | %d^%d+1", &p, &b, &N) == 3) out.push_back({p, b, N});
    }
    return out;
}

struct CandidateFile {
    int64_t p = -1;
    std::vector<int32_t> bases;
};

inline CandidateFile ReadCandidates(const std::string& path) {
    CandidateFile c;
    std::istringstream in(ReadAll(path));
    std::string line;
    while (std::getline(in, line)) {
        long long p;
        int b, N;
        if (std::sscanf(line.c_str(), "ABC $a^$b+1 // %lld", &p) == 1)
            c.p = p;
        else if (std::sscanf(line.c_str(), "%d %d", &b, &N) == 2)
            c.bases.push_back(b);
    }
    return c;
}

inline bool IsPrime(uint64_t p) {
    if (p < 2) return false;
    for (uint64_t d = 2; d * d <= p; ++d)
        if (p % d == 0) return false;
    return true;
}

// For each even base in [bMin, bMax]: the smallest prime p = 2Nk + 1 <= lastP
// dividing b^N + 1. Bases without one survive.
struct BruteForce {
    std::set<FactorLine> factors;
    std::vector<int32_t> survivors;
};

inline BruteForce BruteForceSieve(int32_t N, int32_t bMin, int32_t bMax, int64_t lastP) {
    BruteForce r;
    std::map<int32_t, int64_t> first;
    for (int64_t p = 2 * N + 1; p <= lastP; p += 2 * N) {
        if (!IsPrime(static_cast<uint64_t>(p))) continue;
        for (int32_t b = bMin; b <= bMax; b += 2) {
            // p = b^N + 1 is that number itself, no proper factor of it.
            if (first.count(b) || IsOwnGfn(b, ExponentLog2(N), static_cast<int64_t>(p))) continue;
            if (PowModRef(static_cast<uint64_t>(b), static_cast<uint64_t>(N), static_cast<uint64_t>(p)) ==
                static_cast<uint64_t>(p - 1))
                first[b] = p;
        }
    }
    for (int32_t b = bMin; b <= bMax; b += 2) {
        if (first.count(b))
            r.factors.insert({first[b], b, N});
        else
            r.survivors.push_back(b);
    }
    return r;
}

}  // namespace varnesk::testing
