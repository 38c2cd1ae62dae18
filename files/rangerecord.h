// The range record beside a factor file ("<factor file>.range"): which
// primes the sieve runs behind that factor file have applied, and to which
// candidate set, so that units sieved on different machines can be merged
// into one candidate file. The text:
//
//   varnesk range 1
//   N 32
//   fingerprint 1234567890123456789
//   saved 9876543210987654321
//   from 20011
//   to 200033
//
// says: every prime p = k*2N + 1 with from < p <= to has been sieved against
// the candidate set whose fingerprint is given, and the factor file holds a
// line for each base of that set it struck. `saved` is the fingerprint of
// the candidate file written with `to`, from which a resume goes on.
#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "kernels/sieve_job.h"

namespace varnesk {

struct SievedRange {
    int32_t exponent = 0;      // N
    uint64_t fingerprint = 0;  // the candidate set the range was sieved against
    uint64_t saved = 0;        // the candidate set saved with `to`
    UInt128 from = 0;
    UInt128 to = 0;
};

// FNV-1a (64 bits) over N and then every base in ascending order, each as
// four bytes, least significant first. The bases are those the candidate
// writer would write: from bMin in steps of 2 up to bMax.
uint64_t CandidateFingerprint(const SieveJob& job);

// The factor file's name with ".range" appended.
std::string SievedRangePath(const std::string& factorFile);

std::string FormatSievedRange(const SievedRange& range);
// False with *error when the text is not a range record of this version.
bool ParseSievedRange(std::string_view text, SievedRange* range, std::string* error);

enum class RangeRead { kRead, kMissing, kBad };
// kBad with *error when the file cannot be read or does not parse.
RangeRead ReadSievedRange(const std::string& path, SievedRange* range, std::string* error);
// Replaces the file whole (beside it, synced, renamed). False with *error.
bool WriteSievedRange(const std::string& path, const SievedRange& range, std::string* error);

// The record a run starting at `from` with the input set `input` keeps: the
// existing one extended when the run goes on from it (same N, its from at or
// below the run's from, its to at or above it, and the run starting from the
// set it was sieved against or the one it saved last), else a new one. `to`
// and `saved` are the run's to set.
SievedRange ContinueSievedRange(const SievedRange* existing, int32_t exponent, uint64_t input, UInt128 from);

}  // namespace varnesk
