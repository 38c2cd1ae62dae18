#include "engine/prove.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>
#include <limits>
#include <system_error>
#include <thread>

#include <gmp.h>

#include "files/candidates.h"
#include "kernels/kernels.h"
#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "kernels/wide.h"
#include "kernels/sieve_job.h"
#include "platform/numparse.h"
#include "platform/post.h"

namespace varnesk {

// ---------------------------------------------------------------- primality

namespace {

constexpr uint32_t kPrimeBases[12] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};

// a + b mod n for a, b < n < 2^64.
inline uint64_t AddMod(uint64_t a, uint64_t b, uint64_t n) {
    uint64_t s = a + b;
    return (s < a || s >= n) ? s - n : s;
}

// The strong probable-prime test to the first L bases, all lanes stepping
// through the one exponent together so that the multiplier never waits on a
// single chain. n odd, n > 37.
template <int L>
bool StrongProbablePrime(uint64_t n) {
    const Montgomery m(n);
    uint64_t d = n - 1;
    const int s = __builtin_ctzll(d);
    d >>= s;

    // The bases in Montgomery form by repeated addition of R mod n: no
    // division per base.
    uint64_t form[L];
    uint64_t acc = m.one;
    for (uint32_t v = 1, lane = 0; lane < L; ++v) {
        if (v == kPrimeBases[lane]) form[lane++] = acc;
        acc = AddMod(acc, m.one, n);
    }

    uint64_t x[L];
    for (int l = 0; l < L; ++l) x[l] = form[l];
    for (int bit = 62 - __builtin_clzll(d); bit >= 0; --bit) {
        for (int l = 0; l < L; ++l) x[l] = m.Sqr(x[l]);
        if ((d >> bit) & 1)
            for (int l = 0; l < L; ++l) x[l] = m.Mul(x[l], form[l]);
    }

    const uint64_t one = m.one, minusOne = n - m.one;
    for (int l = 0; l < L; ++l) {
        uint64_t y = x[l];
        if (y == one || y == minusOne) continue;
        bool passed = false;
        for (int r = 1; r < s; ++r) {
            y = m.Sqr(y);
            if (y == minusOne) {
                passed = true;
                break;
            }
            if (y == one) break;
        }
        if (!passed) return false;
    }
    return true;
}

}  // namespace

bool IsPrime64(uint64_t n) {
    if (n < 64) return (0x28208a20a08a28acULL >> n) & 1;  // the primes below 64
    if ((n & 1) == 0) return false;
    // The twelve bases decide every 64-bit n; below each bound here the
    // smallest odd composite that passes the first L bases (Jaeschke), so
    // those L decide alone. A sieve's p are mostly below 3.8e18.
    if (n < 2047) return StrongProbablePrime<1>(n);
    if (n < 1373653) return StrongProbablePrime<2>(n);
    if (n < 25326001) return StrongProbablePrime<3>(n);
    if (n < 3215031751ULL) return StrongProbablePrime<4>(n);
    if (n < 2152302898747ULL) return StrongProbablePrime<5>(n);
    if (n < 3474749660383ULL) return StrongProbablePrime<6>(n);
    if (n < 341550071728321ULL) return StrongProbablePrime<7>(n);
    if (n < 3825123056546413051ULL) return StrongProbablePrime<9>(n);
    return StrongProbablePrime<12>(n);
}

bool StrongProbablePrimeToBases(uint64_t n, int bases) {
    if (n < 64 || (n & 1) == 0) return IsPrime64(n);
    switch (bases) {
    case 1: return StrongProbablePrime<1>(n);
    case 2: return StrongProbablePrime<2>(n);
    case 3: return StrongProbablePrime<3>(n);
    case 4: return StrongProbablePrime<4>(n);
    case 5: return StrongProbablePrime<5>(n);
    case 6: return StrongProbablePrime<6>(n);
    case 7: return StrongProbablePrime<7>(n);
    case 8: return StrongProbablePrime<8>(n);
    case 9: return StrongProbablePrime<9>(n);
    case 10: return StrongProbablePrime<10>(n);
    case 11: return StrongProbablePrime<11>(n);
    default: return StrongProbablePrime<12>(n);
    }
}

namespace {

constexpr uint32_t kThirteenBases[13] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41};
constexpr UInt128 kTwoTo64 = UInt128{1} << 64;
constexpr UInt128 kTwoTo127 = UInt128{1} << 127;

// The strong probable-prime test to the thirteen bases in two-word
// Montgomery form; n odd, 41 < n < 2^127.
bool StrongProbablePrimeWide(UInt128 n) {
    const Montgomery2 m(n);
    UInt128 d = n - 1;
    int s = 0;
    while ((d & 1) == 0) {
        d >>= 1;
        ++s;
    }
    const UInt128 one = m.one, minusOne = m.MinusOne();
    for (uint32_t base : kThirteenBases) {
        UInt128 x = one, b = m.To(base);
        for (UInt128 e = d; e != 0; e >>= 1) {
            if (e & 1) x = m.Mul(x, b);
            b = m.Sqr(b);
        }
        if (x == one || x == minusOne) continue;
        bool passed = false;
        for (int r = 1; r < s && !passed; ++r) {
            x = m.Sqr(x);
            if (x == minusOne) passed = true;
            else if (x == one) break;
        }
        if (!passed) return false;
    }
    return true;
}

void ToMpz(mpz_t out, UInt128 x) {
    mpz_set_ui(out, static_cast<unsigned long>(x >> 64));
    mpz_mul_2exp(out, out, 64);
    mpz_add_ui(out, out, static_cast<unsigned long>(static_cast<uint64_t>(x)));
}

// GMP's test: trial division, then BPSW, then Miller-Rabin rounds.
int GmpPrime(UInt128 n) {
    mpz_t v;
    mpz_init(v);
    ToMpz(v, n);
    const int r = mpz_probab_prime_p(v, 25);
    mpz_clear(v);
    return r;
}

}  // namespace

PrimeProof ProvePrime(UInt128 n) {
    if (n < kTwoTo64) return IsPrime64(static_cast<uint64_t>(n)) ? PrimeProof::Deterministic : PrimeProof::None;
    if ((n & 1) == 0) return PrimeProof::None;
    for (uint32_t q : kThirteenBases)
        if (n % q == 0) return PrimeProof::None;
    if (n < kThirteenBasesBound) return StrongProbablePrimeWide(n) ? PrimeProof::Deterministic : PrimeProof::None;
    const int r = GmpPrime(n);
    return r == 2 ? PrimeProof::Deterministic : r == 1 ? PrimeProof::Bpsw : PrimeProof::None;
}

// ---------------------------------------------------------------- lines

namespace {

inline bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// Matches the literal at s[*i]: 1 matched, 0 the line ends inside it (or
// before it), -1 a different character.
inline int Literal(std::string_view s, size_t* i, std::string_view lit) {
    for (char c : lit) {
        if (*i >= s.size()) return 0;
        if (s[*i] != c) return -1;
        ++*i;
    }
    return 1;
}

}  // namespace

LineKind ClassifyFactorLine(std::string_view line, FactorLineFields* fields) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    size_t i = 0;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i >= line.size()) return LineKind::Other;
    if (!IsDigit(line[i])) {
        // A signed number or a bar is a factor line that does not parse: a
        // forged "+p | b^N+1" must not pass as text.
        const bool signedNumber = (line[i] == '+' || line[i] == '-') && i + 1 < line.size() && IsDigit(line[i + 1]);
        return signedNumber || line.find('|') != std::string_view::npos ? LineKind::Malformed : LineKind::Other;
    }

    bool over = false;
    UInt128 p = 0;
    uint64_t b = 0, e = 0;
    constexpr uint64_t kI32 = std::numeric_limits<int32_t>::max();
    // Each step: the line may end (a cut line) or go wrong.
    ReadDigits(line, &i, ~UInt128{0}, &p, &over);
    int r = Literal(line, &i, " | ");
    if (r <= 0) return r == 0 ? LineKind::Prefix : LineKind::Malformed;
    if (i >= line.size()) return LineKind::Prefix;
    if (!ReadDigits(line, &i, kI32, &b, &over)) return LineKind::Malformed;
    r = Literal(line, &i, "^");
    if (r <= 0) return r == 0 ? LineKind::Prefix : LineKind::Malformed;
    if (i >= line.size()) return LineKind::Prefix;
    if (!ReadDigits(line, &i, kI32, &e, &over)) return LineKind::Malformed;
    r = Literal(line, &i, "+1");
    if (r <= 0) return r == 0 ? LineKind::Prefix : LineKind::Malformed;
    if (i != line.size()) return LineKind::Malformed;
    if (over) {
        fields->outOfRange = true;
        return LineKind::Malformed;
    }
    fields->p = p;
    fields->b = static_cast<int32_t>(b);
    fields->exponent = static_cast<int32_t>(e);
    return LineKind::Factor;
}

const char* LineFaultText(LineFault fault) {
    switch (fault) {
    case LineFault::Malformed: return "not a factor line \"p | b^N+1\"";
    case LineFault::OutOfRange: return "a number out of range (p below 2^128, b and N below 2^31)";
    case LineFault::NotPowerOfTwo: return "N is not a power of two from 2 to 2^30";
    case LineFault::NotOneMod2N: return "p is not k*2N+1";
    case LineFault::NotBelowGfn: return "p is not below b^N+1";
    case LineFault::NotPrime: return "p is not prime";
    case LineFault::NotDivisor: return "p does not divide b^N+1";
    case LineFault::Survives: return "b is still a candidate in the candidate file";
    case LineFault::NotProper: return "p equals b^N+1: not a proper factor";
    }
    return "?";
}

// ---------------------------------------------------------------- checking

namespace {

// What one p needs for all of its lines, which follow one another in a
// factor file: the primality verdict and the divisibility target. One word
// below 2^64, the wide kernels up to 2^127, GMP beyond.
class PrimeCache {
public:
    // False: p fails a check that does not depend on b (fault set).
    bool Prepare(UInt128 p, int32_t n, LineFault* fault) {
        if (p != p_ || !known_) {
            p_ = p;
            known_ = true;
            n_ = -1;
            proof_ = ProvePrime(p);
            narrow_ = p < kTwoTo64;
            if (proof_ != PrimeProof::None && narrow_) mont_ = Montgomery(static_cast<uint64_t>(p));
        }
        if (proof_ == PrimeProof::None) {
            *fault = LineFault::NotPrime;
            return false;
        }
        if (n != n_) {
            n_ = n;
            if (narrow_) {
                // Squaring raw values in Montgomery form maps x to x^2/R;
                // after n steps b becomes b^(2^n)/R^(2^n - 1), and -1 becomes
                // minus the same steps applied to 1. No conversion per line.
                uint64_t g = 1;
                for (int32_t i = 0; i < n; ++i) g = mont_.Sqr(g);
                target_ = mont_.p - g;
            }
        }
        return true;
    }
    bool Divides(int32_t b) const {
        if (!narrow_) return p_ < kTwoTo127 ? TestGfnDivisorWide(static_cast<UInt128>(b), n_, p_) == 1 : DividesGmp(b);
        uint64_t x = static_cast<uint64_t>(b);
        for (int32_t i = 0; i < n_; ++i) x = mont_.Sqr(x);
        return x == target_;
    }
    PrimeProof Proof() const { return proof_; }

private:
    bool DividesGmp(int32_t b) const {
        mpz_t base, e, m, r;
        mpz_inits(base, e, m, r, nullptr);
        mpz_set_ui(base, static_cast<unsigned long>(b));
        mpz_set_ui(e, 1);
        mpz_mul_2exp(e, e, static_cast<mp_bitcnt_t>(n_));
        ToMpz(m, p_);
        mpz_powm(r, base, e, m);
        mpz_add_ui(r, r, 1);
        const bool divides = mpz_cmp(r, m) == 0;
        mpz_clears(base, e, m, r, nullptr);
        return divides;
    }

    UInt128 p_ = 0;
    bool known_ = false;
    bool narrow_ = true;
    int32_t n_ = -1;
    PrimeProof proof_ = PrimeProof::None;
    Montgomery mont_{3};
    uint64_t target_ = 0;
};

// p < b^N + 1, exactly: a p that is b^N + 1 itself (or more) is no proper
// factor and proves nothing about b.
bool BelowGfn(UInt128 p, int32_t b, int32_t exponent) {
    if (b <= 1) return p < static_cast<UInt128>(b) + 1;
    UInt128 x = static_cast<UInt128>(b);  // b^(2^i), while it fits
    for (int32_t e = 1; e < exponent; e *= 2) {
        if (x > (~UInt128{0}) / x) return true;  // b^N + 1 > 2^128 > p
        x *= x;
    }
    return x == ~UInt128{0} || p < x + 1;
}

struct ChunkResult {
    uint64_t lines = 0, factorLines = 0, otherLines = 0, survivorChecks = 0, beyondResume = 0;
    std::vector<VerifyProblem> bad;       // line: index within the chunk
    std::vector<VerifyProblem> prefixes;  // decided once the next line is known
    uint64_t tally[31][2] = {};           // by n: lines, bad
    uint64_t proven64 = 0, proven13 = 0, bpsw = 0;
};

bool CheckFactor(const FactorLineFields& f, const CandidateSet* candidates, PrimeCache& cache,
                 ChunkResult& out, LineFault* fault) {
    const int32_t n = ExponentLog2(f.exponent);
    if (n == 0) {
        *fault = LineFault::NotPowerOfTwo;
        return false;
    }
    uint64_t* tally = out.tally[n];
    ++tally[0];
    const UInt128 twoN = UInt128{2} << n;
    bool ok = true;
    if (f.p <= 1 || ((f.p - 1) & (twoN - 1)) != 0) {
        *fault = LineFault::NotOneMod2N;
        ok = false;
    } else if (IsOwnGfn(f.b, n, f.p)) {
        *fault = LineFault::NotProper;
        ok = false;
    } else if (!BelowGfn(f.p, f.b, f.exponent)) {
        *fault = LineFault::NotBelowGfn;
        ok = false;
    } else if (!cache.Prepare(f.p, n, fault)) {
        ok = false;
    } else if (!cache.Divides(f.b)) {
        *fault = LineFault::NotDivisor;
        ok = false;
    } else if (candidates && candidates->bitmap && f.exponent == candidates->exponent) {
        // A kill after the file's last save leaves lines of primes it has
        // not saved past; their bases stay listed until the next resume.
        if (f.p > candidates->resumeP) {
            ++out.beyondResume;
        } else {
            ++out.survivorChecks;
            if (f.b <= candidates->bMax && BitTest(f.b, candidates->bitmap)) {
                *fault = LineFault::Survives;
                ok = false;
            }
        }
    }
    if (!ok) {
        ++tally[1];
    } else if (f.p < kTwoTo64) {
        ++out.proven64;
    } else {
        ++(cache.Proof() == PrimeProof::Bpsw ? out.bpsw : out.proven13);
    }
    return ok;
}

void CheckChunk(std::string_view text, size_t begin, size_t end, const CandidateSet* candidates,
                ChunkResult& out) {
    PrimeCache cache;
    const char* base = text.data();
    size_t pos = begin;
    while (pos < end) {
        const void* nl = std::memchr(base + pos, '\n', end - pos);
        const size_t lineEnd = nl ? static_cast<size_t>(static_cast<const char*>(nl) - base) : end;
        const std::string_view line(base + pos, lineEnd - pos);
        const uint64_t index = out.lines++;
        FactorLineFields f;
        LineFault fault = LineFault::Malformed;
        switch (ClassifyFactorLine(line, &f)) {
        case LineKind::Other:
            ++out.otherLines;
            break;
        case LineKind::Prefix:
            out.prefixes.push_back({index, pos, line.size(), LineFault::Malformed});
            break;
        case LineKind::Malformed:
            ++out.factorLines;
            out.bad.push_back({index, pos, line.size(), f.outOfRange ? LineFault::OutOfRange : LineFault::Malformed});
            break;
        case LineKind::Factor:
            ++out.factorLines;
            if (!CheckFactor(f, candidates, cache, out, &fault)) out.bad.push_back({index, pos, line.size(), fault});
            break;
        }
        pos = nl ? lineEnd + 1 : end;
    }
}

// The first line after offset that holds more than blanks; empty at the end.
std::string_view NextNonBlankLine(std::string_view text, size_t offset) {
    while (offset < text.size()) {
        size_t nl = text.find('\n', offset);
        size_t end = nl == std::string_view::npos ? text.size() : nl;
        std::string_view line = text.substr(offset, end - offset);
        if (line.find_first_not_of(" \t\r") != std::string_view::npos) {
            if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
            return line;
        }
        offset = end + 1;
    }
    return {};
}

}  // namespace

VerifyReport VerifyFactorText(std::string_view text, const CandidateSet* candidates, int threads,
                              size_t chunkBytes) {
    if (chunkBytes == 0) chunkBytes = size_t{1} << 20;
    if (threads <= 0) threads = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));

    // Chunks end right after a newline, so that no line is split.
    std::vector<std::pair<size_t, size_t>> chunks;
    for (size_t start = 0; start < text.size();) {
        size_t end = text.size();
        if (text.size() - start > chunkBytes) {
            size_t nl = text.find('\n', start + chunkBytes - 1);
            if (nl != std::string_view::npos) end = nl + 1;
        }
        chunks.emplace_back(start, end);
        start = end;
    }

    std::vector<ChunkResult> results(chunks.size());
    std::atomic<size_t> next{0};
    auto work = [&] {
        for (size_t c; (c = next.fetch_add(1, std::memory_order_relaxed)) < chunks.size();)
            CheckChunk(text, chunks[c].first, chunks[c].second, candidates, results[c]);
    };
    std::vector<std::thread> helpers;
    const int helperCount = std::min<int>(threads, static_cast<int>(chunks.size())) - 1;
    for (int t = 0; t < helperCount; ++t) {
        try {
            helpers.emplace_back(work);
        } catch (const std::system_error&) {
            break;  // fewer threads, same result
        }
    }
    work();
    for (std::thread& t : helpers) t.join();

    VerifyReport report;
    uint64_t tally[31][2] = {};
    uint64_t firstLine = 1;
    for (ChunkResult& r : results) {
        report.factorLines += r.factorLines;
        report.otherLines += r.otherLines;
        report.survivorChecks += r.survivorChecks;
        report.beyondResume += r.beyondResume;
        report.provenBelow64 += r.proven64;
        report.provenBelow33e24 += r.proven13;
        report.probableBpsw += r.bpsw;
        for (int n = 0; n < 31; ++n) {
            tally[n][0] += r.tally[n][0];
            tally[n][1] += r.tally[n][1];
        }
        // Bad lines and prefixes merged in line order.
        size_t i = 0, j = 0;
        while (i < r.bad.size() || j < r.prefixes.size()) {
            bool takeBad = j >= r.prefixes.size() || (i < r.bad.size() && r.bad[i].line < r.prefixes[j].line);
            VerifyProblem pr = takeBad ? r.bad[i++] : r.prefixes[j++];
            pr.line += firstLine;
            if (takeBad) {
                report.bad.push_back(pr);
                continue;
            }
            std::string_view after = NextNonBlankLine(text, pr.offset + pr.length + 1);
            if (after.empty() || after == "Continuing Sieve") {
                report.cut.push_back(pr);
            } else {
                ++report.factorLines;
                report.bad.push_back(pr);
            }
        }
        firstLine += r.lines;
        report.lines += r.lines;
    }
    for (int n = 1; n < 31; ++n)
        if (tally[n][0]) report.perExponent.push_back({int32_t{1} << n, tally[n][0], tally[n][1]});
    return report;
}

// ---------------------------------------------------------------- candidates

CandidateFileSet::CandidateFileSet() : job_(std::make_unique<SieveJob>()) {}
CandidateFileSet::~CandidateFileSet() = default;

int32_t CandidateFileSet::Count() const { return job_->candidateCount; }

bool CandidateFileSet::Load(const std::string& path, std::string* refusal) {
    class Collect : public TextSink {
    public:
        void PostWorkerText(std::unique_ptr<std::string> text) override {
            // The reader's news of its passes is no refusal.
            if (text && !text->empty() && text->rfind("Getting range", 0) != 0 && text->rfind("Loading", 0) != 0)
                texts += *text + "\n";
        }
        std::string texts;
    } sink;
    SieveJob& job = *job_;
    job.inputFileName = path;
    job.form = &sink;
    refusal->clear();
    changed_ = false;
    if (!ReadCandidateFile(job)) {
        *refusal = sink.texts;
        return false;
    }
    // The reader keeps the resume point as its k; the header's p is read
    // again, and a save that replaced the file in between would change it.
    const CandidateFileScan scan = ScanCandidateFile(path);
    const UInt128 twoN = 2 * static_cast<UInt128>(std::max(job.exponent, int32_t{1}));
    const UInt128 k = scan.resumeP > 1 ? (scan.resumeP - 1) / twoN : 0;
    if (!scan.refusal.empty() || (job.exponent > 0 && k != job.kCursorWide)) {
        *refusal = "Candidate file " + path + " changed while it was read; verify it again.\n";
        changed_ = true;
        return false;
    }
    set_ = CandidateSet{job.exponent, job.bMax, job.candidateBitmap.data(), scan.resumeP};
    return true;
}

// ---------------------------------------------------------------- reading

FactorFileText::~FactorFileText() {
    if (map_) ::munmap(map_, size_);
    if (fd_ >= 0) ::close(fd_);
}

bool FactorFileText::Open(const std::string& path) {
    refusal_.clear();
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0) return false;
    struct stat st {};
    if (::fstat(fd_, &st) != 0) return false;
    // A folder reads nothing; a device may never end (/dev/zero).
    if (S_ISDIR(st.st_mode) || S_ISCHR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISSOCK(st.st_mode)) {
        refusal_ = (S_ISDIR(st.st_mode) ? "Factor file " + path + " is a folder, not a factor file."
                                        : "Factor file " + path +
                                              " is a device, not a factor file; a regular file or a pipe is read.");
        errno = S_ISDIR(st.st_mode) ? EISDIR : ENODEV;
        return false;
    }
    if (S_ISREG(st.st_mode)) {
        if (st.st_size > 0) {
            size_ = static_cast<size_t>(st.st_size);
            void* m = ::mmap(nullptr, size_, PROT_READ, MAP_PRIVATE, fd_, 0);
            if (m == MAP_FAILED) {
                size_ = 0;
                return true;  // read in pieces instead
            }
            ::madvise(m, size_, MADV_SEQUENTIAL | MADV_WILLNEED);
            map_ = m;
        }
        mapped_ = true;
    }
    return true;
}

int FactorFileText::NextPiece(std::string& piece, uint64_t* longLines) {
    piece.clear();
    for (;;) {
        if (!eof_ && buffer_.size() < kPieceBytes) {
            const size_t room = kPieceBytes - buffer_.size();
            const size_t old = buffer_.size();
            buffer_.resize(old + room);
            ssize_t got;
            do {
                got = ::read(fd_, buffer_.data() + old, room);
            } while (got < 0 && errno == EINTR);
            buffer_.resize(old + (got > 0 ? static_cast<size_t>(got) : 0));
            if (got < 0) return -1;
            if (got == 0) eof_ = true;
            continue;
        }
        if (skipping_) {
            const size_t nl = buffer_.find('\n');
            if (nl == std::string::npos) {
                buffer_.clear();
                if (eof_) return 0;
                continue;
            }
            buffer_.erase(0, nl + 1);
            skipping_ = false;
        }
        if (buffer_.empty()) return 0;  // eof_ here, or the buffer would be refilled
        const size_t nl = buffer_.rfind('\n');
        if (nl != std::string::npos || eof_) {
            const size_t take = nl == std::string::npos ? buffer_.size() : nl + 1;
            piece.assign(buffer_, 0, take);
            buffer_.erase(0, take);
            return 1;
        }
        ++*longLines;
        buffer_.clear();
        skipping_ = true;
    }
}

std::string ShownLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    std::string s;
    for (char c : line.substr(0, 200)) s += (static_cast<unsigned char>(c) < 32 && c != '\t') ? '?' : c;
    if (line.size() > 200) s += "...";
    return s;
}

}  // namespace varnesk
