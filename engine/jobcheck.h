// The checks and locks that every front end makes before a job touches a
// file, so that the command line and the desktop form refuse the same jobs
// with the same words.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "packedk/sequence.h"
#include "platform/joblock.h"
#include "platform/numparse.h"

namespace varnesk {

// The most minutes between two saves: the worker counts the interval in
// seconds of 32 bits.
inline constexpr int32_t kMaxSaveMinutes = 2147483647 / 60;

// A start or end P that the job's sieve cannot reach: the wide sieve's
// arithmetic is exact below 2^96, standard math and packed K files stop
// below 2^63. "" when both are fine. Only the values the job uses are
// looked at.
std::string CheckPLimits(bool useStartStop, bool useStartP, UInt128 startP, UInt128 endP, bool standard);

// The files of one job, as a front end names them. Empty names are unused.
struct JobFiles {
    int32_t command = 0;  // kCommandNewSieve, kCommandResume or kCommandPackedK
    bool standard = false;
    int32_t exponentLog2 = 0;  // a new standard sieve's n; a resume's is the input file's
    std::string factorFile;
    std::string inputFile;
    std::string outputFile;
    std::string logFile;
    std::string statsFile;  // CSV rows appended during the job
    std::string packedKDir;
    // A resume's Start P, which takes the place of the input file's resume
    // point; where a standard sieve starts in the packed K sequence.
    bool useStartP = false;
    UInt128 startP = 0;
};

// True when both names lead to one file (or, for names not yet on disk, to
// the same place).
bool SameFile(const std::string& a, const std::string& b);

// The refusal for two roles given one file; "" when all differ. A resume
// may write its own input.
std::string CheckDistinctFiles(const JobFiles& files);

// A resume's input: present, readable, a regular file that a resume can
// start from as it is. "" or the refusal. A name that is no regular file is
// refused without being opened.
std::string CheckInputFile(const std::string& path);

// A resume with Start/Stop values. Without a start P it goes on from the
// input file's resume point, and an input already at or beyond the end P
// leaves nothing to sieve; a start P above the end P is refused.
struct ResumeRange {
    enum Kind { kSieve, kNothingToSieve, kRefused } kind = kSieve;
    std::string message;  // the refusal, or the notice that nothing is sieved
    UInt128 startP = 0;   // the start P to hand to the worker (kSieve)
};
ResumeRange CheckResumeRange(const std::string& inputFile, bool haveStartP, UInt128 startP, UInt128 endP);

// Files the job will write or replace: a name that exists must be a regular
// file (a folder or a device is never replaced), and the folder must let a
// new file be made. "" or the refusal. Touches nothing.
std::string CheckWritableFile(const std::string& path, const char* role);

// The packed K folder: present, and for a standard sieve holding the first
// file of the sequence for the job's exponent (a resume's is read from its
// input file) with every prime from where the sieve starts; for a build,
// writable. "" or the refusal.
std::string CheckPackedKFolder(const JobFiles& files);

// The refusal of a standard sieve that would start at startP in a sequence
// that leaves out primes there (start.missingK); "" when it leaves none.
std::string SequenceStartRefusal(const std::string& directory, int32_t n, UInt128 startP,
                                 const SequenceStart& start);

// All of the above that apply to the job, in that order.
std::string CheckJobFiles(const JobFiles& files);

// Takes the job's locks: the output and factor files exclusively, the packed
// K folder exclusively for a build and shared for a sieve that reads it,
// then removes what saves killed midway left beside the files it writes.
// The locks remember whether each file was there before the job touched it
// (JobLock::OriginOf). False with the refusal in message; nothing is held
// then.
bool LockJobFiles(const JobFiles& files, JobLock& lock, std::string& message);

// The files a job will make or write that cannot be: for each, a new file
// is made beside it and removed again. The factor file of a resume is
// appended to, so an existing one needs only to be writable. Each message is
// "Output File %s cannot be created.".
std::vector<std::string> FilesThatCannotBeMade(const JobFiles& files, bool replaceFactorFile);

// Replaces a regular file (or nothing) by an empty one. False with the
// system's reason; a name that is not a regular file is never removed.
bool RecreateEmptyFile(const std::string& path);

// Removes a regular file; true when none is left. A name that is not a
// regular file is never removed (false, errno set).
bool RemoveRegularFile(const std::string& path);

// Readies the files of a job that the front end has checked and locked:
// a factor file started anew is emptied and its range record removed (the
// record spoke of the old strikes), and counts as new from then on (it
// begins with the banner), and an output file to be replaced is
// removed rather than emptied, so that a job stopped before its first save
// leaves no candidate file at all instead of one that cannot be resumed.
// Every file is tried first; the messages of those that cannot be made, and
// then nothing was changed.
std::vector<std::string> PrepareJobFiles(const JobFiles& files, bool replaceFactorFile, bool replaceOutputFile);

}  // namespace varnesk
