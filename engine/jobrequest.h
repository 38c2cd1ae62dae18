// One job as a front end hands it to the worker, and the one check of it
// that every front end makes before any file is touched, so that the
// command line and the desktop form refuse the same jobs with the same
// words in the same order.
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/jobcheck.h"
#include "kernels/kernels.h"
#include "platform/numparse.h"

namespace varnesk {

inline constexpr int32_t kCommandNewSieve = 0;
inline constexpr int32_t kCommandResume = 1;
inline constexpr int32_t kCommandPackedK = 31;

struct JobRequest {
    int32_t command = kCommandNewSieve;  // any other value is refused
    std::string factorFile;
    std::string inputFile;  // a resume's candidate file
    std::string outputFile;
    int32_t bMin = 0;  // a resume takes both and the exponent from its input
    int32_t bMax = 0;
    int32_t exponent = 0;      // N
    int32_t exponentLog2 = 0;  // n; CheckJob sets it for a new sieve and a build
    int32_t wideMath = 1;
    int32_t minutesPerSave = 60;
    std::string packedKPath;  // the packed K folder of a standard sieve or a build

    // The Start/Stop values, the worker's m_useStartStop, m_startP, m_stopP.
    int32_t useStartStop = 0;
    UInt128 startP = 0;
    UInt128 stopP = 0;

    int threads = 1;                   // 0: one per hardware thread
    std::optional<KernelPath> kernel;  // none: the best this CPU has

    // For the check only. Files the front end writes beside the job, which
    // must be writable and none of the job's own.
    std::string logFile;
    std::string statsFile;
    // Which values the user gave. The form's fields always hold a number; a
    // command line may leave any out, so that a start P left out makes a
    // resume go on from its input's resume point, and a b given below 1 is
    // no missing one (the form's b fields count as given unless they hold 0).
    bool startPGiven = true;
    bool bMinGiven = false;
    bool bMaxGiven = false;
};

struct JobCheck {
    enum Verdict { kRun, kNothingToDo, kRefused } verdict = kRefused;
    // The refusal, or why nothing is to be done.
    std::string message;
    // Shown before the message, whether or not the job runs.
    std::vector<std::string> notices;
    bool Runs() const { return verdict == kRun; }
};

// The checks of a job in their fixed order, up to and including the
// checks of its files (CheckJobFiles); touches no file. Sets the request's n
// for a new sieve and a build, and a resume's start P when only an end P was
// given.
JobCheck CheckJob(JobRequest& request);

// The request's files, for the checks and locks of jobcheck.h.
JobFiles FilesOf(const JobRequest& request);

}  // namespace varnesk
