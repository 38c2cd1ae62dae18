// The ABC candidate file: read to resume a sieve, rewritten at each save.
#pragma once
#include "kernels/sieve_job.h"

namespace varnesk {

// Reads job.inputFileName in two passes and sets up the candidate set,
// range, exponent and kCursor. Posts its messages to job.form. 1 = success.
int ReadCandidateFile(SieveJob& job);

// Replaces job.outputFileName with the surviving candidates and currentP.
// The old file stays untouched unless the new one was written whole.
// 1 = written, 0 = "Unable to open output file %s." was posted.
int WriteCandidateFile(SieveJob& job);

}  // namespace varnesk
