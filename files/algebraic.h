// Bases whose b^N+1 is settled before any test. For b = c^m with m odd and
// m > 1, c^N+1 divides b^N+1 (x+1 divides x^m+1 for odd m), so b^N+1 is
// composite: an algebraic factor. For b = s^2, b^N+1 = s^(2N)+1 is the
// number that a search of base s at exponent 2N tests: a duplicate. Neither
// kind is struck from the candidate file (whose lines mean "no factor found
// below p"); the algebraic record beside the factor file lists the first
// kind, one line "c^N+1 | b^N+1" each, and export drops them.
//
// Every test here is exact integer arithmetic: a rounded root would miss a
// power just above 2^31 or 2^53.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "kernels/sieve_job.h"

namespace varnesk {

// floor(x^(1/k)) for k >= 1.
uint64_t IntegerRoot(uint64_t x, unsigned k);

// b = root^exponent with the exponent as large as it goes (root is no
// perfect power itself); exponent 1 when b is no perfect power. b >= 2.
struct PerfectPowerForm {
    uint64_t root = 0;
    unsigned exponent = 1;
};
PerfectPowerForm PerfectPower(uint64_t b);

// The two forms of a base that matter to a tester.
struct BaseForms {
    uint64_t b = 0;
    // b = c^m, m the largest odd exponent above 1 (so c the smallest such
    // base); m = 0 when b has no odd-power form.
    uint64_t c = 0;
    unsigned m = 0;
    // b = s^(2^t) with t >= 1 as large as it goes: b^N+1 is s^(2^t N)+1;
    // t = 0 when b is no square.
    uint64_t s = 0;
    unsigned t = 0;
    bool OddPower() const { return m > 1; }
    bool Square() const { return t > 0; }
};
BaseForms FormsOf(uint64_t b);

// Every b in [lo, hi] of lo's parity that is an odd power or a square, in
// ascending order. A few tens of thousands up to 2^31: they are generated,
// not searched for.
std::vector<BaseForms> PowerBasesIn(int64_t lo, int64_t hi);

// The bases of `powers` that the job's candidate set still holds.
std::vector<BaseForms> PowerCandidates(const std::vector<BaseForms>& powers, const SieveJob& job);

// The odd-power bases of the job's candidate set, and how many of them a
// running sieve still holds; what the statistics call algebraic bases.
class AlgebraicBases {
public:
    void Collect(const SieveJob& job);
    int32_t Left(const SieveJob& job) const;
    const std::vector<BaseForms>& Bases() const { return bases_; }

private:
    std::vector<BaseForms> bases_;
};

// "<file>.algebraic": the record of odd-power bases beside a factor file
// (a sieve) or an export.
std::string AlgebraicRecordPath(const std::string& file);

// The line "c^N+1 | b^N+1" with its newline.
std::string AlgebraicLine(const BaseForms& base, int32_t exponent);

// Replaces the record whole with a line for each odd-power base of `bases`.
// False with *error (the system's text).
bool WriteAlgebraicRecord(const std::string& path, const std::vector<BaseForms>& bases, int32_t exponent,
                          std::string* error);
// True when head, the first bytes of a file, begins as a record that
// WriteAlgebraicRecord writes: a whole first line that holds. Tells a
// temporary of the record that a killed job left from another's file.
bool AlgebraicRecordBegins(std::string_view head);

// What is wrong with a line of the record.
enum class AlgebraicFault {
    Malformed,        // not "c^N+1 | b^N+1"
    OutOfRange,       // c, b or N beyond 2^31 - 1
    NotPowerOfTwo,    // N is not 2^n for n from 1 to 30
    ExponentsDiffer,  // the two N are not the same
    NotAPower,        // b is not c^m for any m > 1 (c below 2 included)
    EvenPower,        // b is c^m with m even: c^N+1 does not divide b^N+1
    TooLong,          // longer than kAlgebraicLineBytes: skipped unread
};
const char* AlgebraicFaultText(AlgebraicFault fault);

// One line without its newline (a carriage return before it is allowed).
// True for a line that holds; a blank line is neither and sets *blank.
bool CheckAlgebraicLine(std::string_view line, AlgebraicFault* fault, bool* blank);

struct AlgebraicProblem {
    uint64_t line = 0;  // 1-based
    std::string text;   // as a message may show it
    AlgebraicFault fault = AlgebraicFault::Malformed;
};
struct AlgebraicCheck {
    uint64_t lines = 0;       // every line
    uint64_t algebraic = 0;   // lines that hold
    std::vector<AlgebraicProblem> bad;
};
AlgebraicCheck CheckAlgebraicText(std::string_view text);

// The longest line a record may hold; a true one has at most 50 characters.
inline constexpr size_t kAlgebraicLineBytes = 4096;

// Checks the record at path as it is read, in bounded memory. Only a regular
// file is read: false with *error (a message naming the file) for a folder,
// a pipe or a device, or when it cannot be read.
bool CheckAlgebraicRecord(const std::string& path, AlgebraicCheck* check, std::string* error);

}  // namespace varnesk
