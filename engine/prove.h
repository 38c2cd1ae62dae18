// The proofs behind a factor file, shared by every front end that takes
// one (verify, merge): p prime, p = k*2N + 1, p divides b^N + 1, and, given
// a candidate set, that no base it still lists has a factor. Built for files
// of hundreds of MB: the text is mapped, parsed by hand and checked in
// chunks on every core.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/numparse.h"

namespace varnesk {

struct SieveJob;

// Deterministic for every 64-bit n: Miller-Rabin with the prime bases 2..37
// (below known bounds, their first few suffice and are all that is used).
bool IsPrime64(uint64_t n);
// n passes the strong test to the first `bases` of 2, 3, 5, ..., 37 (1..12);
// n below 64 or even is decided exactly.
bool StrongProbablePrimeToBases(uint64_t n, int bases);

// How a p beyond 64 bits is shown prime.
enum class PrimeProof {
    None,         // composite (or not decided)
    Deterministic,  // Miller-Rabin to the bases that decide every n of its size
    Bpsw,         // Baillie-PSW (GMP): no counterexample known, none proven impossible
};
// Miller-Rabin with the first 13 prime bases (2..41), deterministic below
// 3317044064679887385961981 (about 3.3e24); BPSW from there on. Any n.
PrimeProof ProvePrime(UInt128 n);
inline constexpr UInt128 kThirteenBasesBound =
    static_cast<UInt128>(3317044064679ULL) * 1000000000000ULL + 887385961981ULL;

// How one line of a factor file reads.
enum class LineKind {
    Factor,     // "p | b^N+1", the numbers in range
    Other,      // banner, continuation text, blank: no digit, sign or bar
    Malformed,  // begins with a digit or a signed number, or holds a bar,
                // but is no factor line
    Prefix,     // the start of a factor line that stops short
};
struct FactorLineFields {
    UInt128 p = 0;
    int32_t b = 0;
    int32_t exponent = 0;
    bool outOfRange = false;  // Malformed only because a number does not fit
};
// line without its newline; a carriage return before it is allowed.
LineKind ClassifyFactorLine(std::string_view line, FactorLineFields* fields);

enum class LineFault {
    Malformed,     // not of the form "p | b^N+1"
    OutOfRange,    // p beyond 2^128 - 1, or b or N beyond 2^31 - 1
    NotPowerOfTwo, // N is not 2^n for n from 1 to 30
    NotOneMod2N,   // p is not k*2N + 1 with k >= 1
    NotBelowGfn,   // p is not below b^N + 1: no proper factor
    NotPrime,
    NotDivisor,    // p does not divide b^N + 1
    Survives,      // b is still a candidate in the candidate file
    NotProper,     // p is b^N + 1 itself, which no sieve may strike
};
const char* LineFaultText(LineFault fault);

struct VerifyProblem {
    uint64_t line = 0;  // 1-based
    size_t offset = 0;  // of the line in the text
    size_t length = 0;  // without the newline
    LineFault fault = LineFault::Malformed;
};

struct ExponentTally {
    int32_t exponent = 0;
    uint64_t lines = 0;
    uint64_t bad = 0;
};

struct VerifyReport {
    uint64_t lines = 0;        // every line of the file
    uint64_t factorLines = 0;  // checked: good and bad ones
    uint64_t otherLines = 0;   // skipped
    uint64_t survivorChecks = 0;  // factor lines looked up in the candidate set
    // Lines of the candidate set's N that hold, with p above its resume
    // point: found after the file's last save, so their bases may still be
    // listed; not looked up.
    uint64_t beyondResume = 0;
    std::vector<VerifyProblem> bad;  // in line order
    // Lines cut short by a run that was killed while writing them: the last
    // line of the file or the last before "Continuing Sieve". The resumed run
    // sieves those primes again, so they are noted but are no fault.
    std::vector<VerifyProblem> cut;
    std::vector<ExponentTally> perExponent;  // ascending N; lines with a bad N are not tallied
    // Factor lines that hold, by how their p was shown prime.
    uint64_t provenBelow64 = 0;   // deterministic Miller-Rabin, 12 bases
    uint64_t provenBelow33e24 = 0;  // deterministic Miller-Rabin, 13 bases
    uint64_t probableBpsw = 0;    // BPSW probable primes
};

// The surviving bases of a candidate file; lines of another N are not
// compared with it, nor lines whose p lies above its resume point.
struct CandidateSet {
    int32_t exponent = 0;
    int32_t bMax = 0;
    const uint32_t* bitmap = nullptr;  // bit b set: b survives
    UInt128 resumeP = ~UInt128{0};     // the header's p
};

// A candidate file read for the comparison, as a resume would read it.
class CandidateFileSet {
public:
    CandidateFileSet();
    ~CandidateFileSet();
    CandidateFileSet(const CandidateFileSet&) = delete;
    CandidateFileSet& operator=(const CandidateFileSet&) = delete;

    // False with the reader's messages, one a line, in *refusal; or, when
    // Changed(), with a message that a save replaced the file meanwhile.
    bool Load(const std::string& path, std::string* refusal);
    bool Changed() const { return changed_; }
    const CandidateSet& Set() const { return set_; }
    int32_t Count() const;

private:
    std::unique_ptr<SieveJob> job_;  // holds the bitmap
    CandidateSet set_;
    bool changed_ = false;
};

// Checks the text of a factor file with `threads` threads (0: all cores).
// chunkBytes is the share of work handed out at a time (tests make it tiny).
VerifyReport VerifyFactorText(std::string_view text, const CandidateSet* candidates, int threads,
                              size_t chunkBytes = 0);

// A factor file: mapped whole when it is a regular file; anything else (a
// pipe, a device, /dev/zero) is read in pieces of whole lines of bounded
// size, so that an endless input cannot take all memory.
class FactorFileText {
public:
    static constexpr size_t kPieceBytes = size_t{16} << 20;

    FactorFileText() = default;
    ~FactorFileText();
    FactorFileText(const FactorFileText&) = delete;
    FactorFileText& operator=(const FactorFileText&) = delete;

    // False when the file cannot be opened (errno set), or when it is a
    // folder or a device (Refusal() then says so); a pipe is read.
    bool Open(const std::string& path);
    const std::string& Refusal() const { return refusal_; }
    // The whole text of a mapped file.
    bool Mapped() const { return mapped_; }
    std::string_view Text() const {
        return map_ ? std::string_view(static_cast<const char*>(map_), size_) : std::string_view();
    }
    // The next piece of whole lines: 1 a piece, 0 the end, -1 a read error.
    // A line longer than a piece is skipped whole and counted in longLines.
    int NextPiece(std::string& piece, uint64_t* longLines);

private:
    int fd_ = -1;
    void* map_ = nullptr;
    size_t size_ = 0;
    bool mapped_ = false;
    std::string buffer_;
    bool eof_ = false, skipping_ = false;
    std::string refusal_;
};

// A line as a message may show it: at most 200 characters, control
// characters as '?', no carriage return.
std::string ShownLine(std::string_view line);

}  // namespace varnesk
