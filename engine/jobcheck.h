// The checks and locks that every front end makes before a job touches a
// file, so that the command line and the desktop form refuse the same jobs
// with the same words.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

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
    int32_t exponentLog2 = 0;  // for the packed K sequence of a standard sieve
    std::string factorFile;
    std::string inputFile;
    std::string outputFile;
    std::string logFile;
    std::string statsFile;  // CSV rows appended during the job
    std::string packedKDir;
};

// True when both names lead to one file (or, for names not yet on disk, to
// the same place).
bool SameFile(const std::string& a, const std::string& b);

// The refusal for two roles given one file; "" when all differ. A resume
// may write its own input.
std::string CheckDistinctFiles(const JobFiles& files);

// A resume's input: present, readable, a regular file that a resume can
// start from as it is. "" or the refusal.
std::string CheckInputFile(const std::string& path);

// Files the job will write or replace: a name that exists must be a regular
// file (a folder or a device is never replaced), and the folder must let a
// new file be made. "" or the refusal. Touches nothing.
std::string CheckWritableFile(const std::string& path, const char* role);

// The packed K folder: present, and for a standard sieve holding the first
// file of the sequence; for a build, writable. "" or the refusal.
std::string CheckPackedKFolder(const JobFiles& files);

// All of the above that apply to the job, in that order.
std::string CheckJobFiles(const JobFiles& files);

// Takes the job's locks: the output and factor files exclusively, the packed
// K folder exclusively for a build and shared for a sieve that reads it.
// False with the refusal in message; nothing is held then.
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
// record spoke of the old strikes), and an output file to be replaced is
// removed rather than emptied, so that a job stopped before its first save
// leaves no candidate file at all instead of one that cannot be resumed.
// Every file is tried first; the messages of those that cannot be made, and
// then nothing was changed.
std::vector<std::string> PrepareJobFiles(const JobFiles& files, bool replaceFactorFile, bool replaceOutputFile);

}  // namespace varnesk
