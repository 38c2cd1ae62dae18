// The ABC candidate file: read to resume a sieve, rewritten at each save.
#pragma once
#include <cstdio>
#include <string>
#include <string_view>

#include "kernels/sieve_job.h"

namespace varnesk {

// Reads job.inputFileName in two passes and sets up the candidate set,
// range, exponent and kCursor. Posts its messages to job.form. 1 = success.
int ReadCandidateFile(SieveJob& job);

// What a resume-point scan saw besides p, for callers that must tell a file
// that the sieve emptied (a header alone) from one that is no candidate file.
struct ResumePointScan {
    bool header = false;      // at least one header line
    bool overflow = false;    // the last header's p is negative or 2^96 or more
    bool candidates = false;  // at least one line with a positive leading number
};

// The resume point of a candidate file: the p of its last header line, 0
// without one. False when the file cannot be read.
bool ReadResumePoint(const std::string& path, UInt128& p, ResumePointScan* scan = nullptr);

// The writer's text of a candidate file: the header with job.currentP, then
// one line per set bit from bMin in steps of 2 up to bMax. *count receives
// the lines written. False on a write error.
bool WriteCandidateLines(std::FILE* out, const SieveJob& job, int32_t* count);

// Reads the file as a resume would before anything is sieved: the reader's
// refusal, or "" with the exponent (0 for a header alone) and the resume
// point. Touches nothing; the bitmap is not built.
struct CandidateFileScan {
    std::string refusal;
    int32_t exponent = 0;
    int32_t exponentLog2 = 0;
    UInt128 resumeP = 0;
};
CandidateFileScan ScanCandidateFile(const std::string& path);
// Its refusal alone.
std::string CheckCandidateFile(const std::string& path);

// Replaces job.outputFileName with the surviving candidates and currentP.
// The old file stays untouched unless the new one was written whole; the
// new one is written under a unique name beside it and renamed over it.
// 1 = written, 0 = "Unable to open output file %s." was posted, and after
// it why (OutputFileError). written gets the number of candidates written,
// which differs from candidateCount only after the consistency error was
// posted.
int WriteCandidateFile(SieveJob& job, int32_t* written = nullptr);

// True when head, the first bytes of a file, begins as the writer begins a
// candidate file (its header), or is a beginning of that cut short.
bool CandidateFileBegins(std::string_view head);

// Why the output file cannot be saved, as the system tells it:
// "Output file %s cannot be written: %s." with its text for error.
std::string OutputFileError(const std::string& path, int error);

}  // namespace varnesk
