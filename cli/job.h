// From parsed options to a job the worker can run: the form's checks in the
// form's order, then the output files prepared the way the form prepares
// them, except that nothing is ever overwritten without --force.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/jobcheck.h"

namespace varnesk::cli {

// What the front end hands to CGfnThread and sets on it before it starts.
struct JobPlan {
    std::string factorFile;
    std::string inputFile;
    std::string outputFile;
    int32_t command = 0;
    int32_t bMin = 0;
    int32_t bMax = 0;
    int32_t exponent = 0;
    int32_t exponentLog2 = 0;
    int32_t wideMath = 1;
    int32_t minutesPerSave = 60;
    std::string packedKPath;
    std::string logFile;
    std::string statsFile;

    int32_t useStartStop = 0;
    UInt128 startP = 0;
    UInt128 stopP = 0;

    // The factor file to empty and the output file to remove before the
    // launch.
    bool prepareFactorFile = false;
    bool prepareOutputFile = false;
};

struct Validation {
    bool ok = false;
    // With !ok: the job has nothing to do (a resume already at its end P);
    // message says so, and that is no failure.
    bool nothingToDo = false;
    std::string message;               // the refusal (or the notice) when !ok
    std::vector<std::string> notices;  // shown whether or not the job is refused
    JobPlan plan;
};

// Checks only; touches no file. Help and Version are not jobs (refused).
Validation ValidateJob(const CliOptions& options);

// Tries every file the job will make (a new file beside each is made and
// removed again); the messages of those that cannot be made.
std::vector<std::string> CheckFilesCanBeMade(const JobPlan& plan);

// Tries every file the job will make, then readies the files that the plan
// prepares (see PrepareJobFiles). Returns the messages of files that cannot be
// made; then nothing was changed and the job must not start.
std::vector<std::string> PrepareFiles(const JobPlan& plan);

// The plan's files, for the checks and locks shared with the form.
JobFiles FilesOf(const JobPlan& plan);

}  // namespace varnesk::cli
