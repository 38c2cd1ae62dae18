// The candidate file reader on any text. A file it accepts must make a
// consistent job (range, exponent, count, resume point), and writing that
// job and reading it again must give back the bases the writer walks.
#include <algorithm>
#include <cstdint>
#include <string>

#include "files/candidates.h"
#include "files/file_hooks.h"
#include "fuzz_support.h"
#include "kernels/kernels.h"

using namespace varnesk;

namespace {

int32_t CountBits(const std::vector<uint32_t>& words) {
    int32_t n = 0;
    for (uint32_t w : words) n += __builtin_popcount(w);
    return n;
}

uint32_t Word(const SieveJob& j, size_t w) { return w < j.candidateBitmap.size() ? j.candidateBitmap[w] : 0; }

// Word w of the bases that the writer walks: bMin, bMin + 2, ... bMax.
uint32_t Walked(const SieveJob& j, size_t w) {
    uint32_t mask = (j.bMin & 1) ? 0xAAAAAAAAu : 0x55555555u;
    const int64_t first = static_cast<int64_t>(w) * 32;
    if (j.bMin >= first + 32) return 0;
    if (j.bMin > first) mask &= ~0u << (j.bMin - first);
    return Word(j, w) & mask;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string in = fuzz::ScratchDir() + "/in.txt", out = fuzz::ScratchDir() + "/out.txt";
    fuzz::WriteInput(in, data, size);
    // Bitmaps of up to a million bases, so that a run stays short; beyond,
    // the reader's refusal path.
    files_internal::gAllocationLimitWords = size_t{1} << 15;

    SieveJob job;
    job.inputFileName = in;
    if (!ReadCandidateFile(job)) return 0;
    if (job.exponent == 0) {
        // A header alone: every base struck, an empty set.
        FUZZ_CHECK(job.candidateCount == 0 && CountBits(job.candidateBitmap) == 0 && job.kCursorWide == 0);
        return 0;
    }

    FUZZ_CHECK(job.exponentLog2 >= 1 && job.exponentLog2 <= 30 && (int32_t{1} << job.exponentLog2) == job.exponent);
    FUZZ_CHECK(job.bMin >= 1 && job.bMin <= job.bMax && job.bMax < kMaxBase);
    FUZZ_CHECK(job.candidateCount >= 1 && job.candidateCount == CountBits(job.candidateBitmap));
    // A file the reader accepts loses no base at the next save: every base
    // is one the writer walks.
    int32_t walkedNow = 0;
    for (size_t w = 0; w < job.candidateBitmap.size(); ++w) walkedNow += __builtin_popcount(Walked(job, w));
    FUZZ_CHECK(walkedNow == job.candidateCount);
    FUZZ_CHECK(job.rootCapacity == job.exponent + 4 && job.rootList.size() == static_cast<size_t>(job.rootCapacity));
    UInt128 p = 0;
    FUZZ_CHECK(ReadResumePoint(in, p) && p < kWideLimitP);
    FUZZ_CHECK(job.kCursorWide == (p > 1 ? (p - 1) / (2 * UInt128(job.exponent)) : 0));
    FUZZ_CHECK(job.currentP == 0);

    // Round trip through the writer, which walks bMin, bMin + 2, ...
    job.outputFileName = out;
    job.currentP = p;
    FUZZ_CHECK(WriteCandidateFile(job) == 1);
    SieveJob again;
    again.inputFileName = out;
    int32_t walked = 0;
    for (size_t w = 0; w < job.candidateBitmap.size(); ++w) walked += __builtin_popcount(Walked(job, w));
    if (walked == 0) {
        FUZZ_CHECK(ReadCandidateFile(again) && again.exponent == 0 && again.candidateCount == 0);
        return 0;
    }
    FUZZ_CHECK(ReadCandidateFile(again));
    FUZZ_CHECK(again.exponent == job.exponent && again.kCursorWide == job.kCursorWide);
    FUZZ_CHECK(again.candidateCount == walked);
    const size_t words = std::max(job.candidateBitmap.size(), again.candidateBitmap.size());
    for (size_t w = 0; w < words; ++w) FUZZ_CHECK(Word(again, w) == Walked(job, w));
    return 0;
}
