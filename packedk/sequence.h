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

}  // namespace varnesk
