// The numbered files of one exponent's packed K sequence in one directory.
#pragma once
#include <cstdint>
#include <string>

#include "kernels/sieve_job.h"
#include "packedk/packedkdb.h"

namespace varnesk {

inline constexpr int32_t kMaxSequenceNumber = 99999;

// "%s/ln%dpi%.5d.pkk"
std::string SequenceFileName(const std::string& directory, int32_t n, int32_t number);
// The highest number of the unbroken run from 0; false when file 0 is missing.
bool FindLastSequenceFile(const std::string& directory, int32_t n, int32_t& last);
// The next file's path, from the five digits before ".pkk" of the current one.
std::string NextSequenceFile(const std::string& currentPath, const std::string& directory, int32_t n);
// Opens db on the file holding the first stored K >= job.kCursor and reads up
// to it. Posts its own log lines to job.form on failure.
bool LocateStartK(CPackedKDB& db, std::string& error, SieveJob& job);

// True when the packed K build lists p = 2Nk + 1: no factor from 3 to 73
// (those primes themselves excepted) and a base-2 Fermat probable prime.
// False for a p of 2^63 or more, which no sequence holds.
bool IsListedK(int64_t exponent, int64_t k);

// The first k in [fromK, toK) that the build lists, or 0 when there is none.
// A reader that goes from fromK - 1 straight to toK skips exactly these.
// Ends at the first hit, so a genuine step (a prime gap) costs a few tests.
int64_t FirstListedKBetween(int64_t exponent, int64_t fromK, int64_t toK);

// Where a reader that has every k up to doneK behind it goes on. A sequence
// begun above the start (a build with a start P) or made of files from
// separate builds leaves primes out there: missingK is then the first.
struct SequenceStart {
    bool known = false;         // false: a file cannot be read, or the sequence ends by doneK
    int32_t number = 0;         // the file that holds the next listed k
    int64_t firstK = 0;         // that file's first k
    int64_t previousLastK = 0;  // the last k of the file before it (number > 0)
    int64_t missingK = 0;       // the first unlisted prime's k after doneK, 0 when none
};
// Reads the headers only (no file is decoded): a file that holds the next k
// somewhere inside has every prime of its span.
SequenceStart FindSequenceStart(const std::string& directory, int32_t n, int64_t doneK);

}  // namespace varnesk
