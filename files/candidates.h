// The ABC candidate file: read to resume a sieve, rewritten at each save.
#pragma once
#include <string>

#include "kernels/sieve_job.h"

namespace varnesk {

// Reads job.inputFileName in two passes and sets up the candidate set,
// range, exponent and kCursor. Posts its messages to job.form. 1 = success.
int ReadCandidateFile(SieveJob& job);

// The resume point of a candidate file: the p of its last header line, 0
// without one. False when the file cannot be read.
bool ReadResumePoint(const std::string& path, int64_t& p);

// Reads the file as a resume would before anything is sieved, and returns
// the reader's refusal, or "" when a resume can start from it. Touches
// nothing; the bitmap is not built.
std::string CheckCandidateFile(const std::string& path);

// Replaces job.outputFileName with the surviving candidates and currentP.
// The old file stays untouched unless the new one was written whole; the
// new one is written under a unique name beside it and renamed over it.
// 1 = written, 0 = "Unable to open output file %s." was posted.
int WriteCandidateFile(SieveJob& job);

}  // namespace varnesk
