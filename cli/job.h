// From parsed options to a job the worker can run: the shared check of the
// job, then the output files prepared the way the form prepares them,
// except that nothing is ever overwritten without --force.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "cli/options.h"
#include "engine/jobcheck.h"
#include "engine/jobrequest.h"

namespace varnesk::cli {

struct Validation {
    bool ok = false;
    // With !ok: the job has nothing to do (a resume already at its end P);
    // message says so, and that is no failure.
    bool nothingToDo = false;
    std::string message;               // the refusal (or the notice) when !ok
    std::vector<std::string> notices;  // shown whether or not the job is refused
    JobRequest request;
    // The factor file to empty and the output file to remove before the
    // launch.
    bool prepareFactorFile = false;
    bool prepareOutputFile = false;
};

// The job the options describe, before any check.
JobRequest RequestOf(const CliOptions& options);

// Checks only; touches no file. Help and Version are not jobs (refused).
Validation ValidateJob(const CliOptions& options);

// Tries every file the job will make (a new file beside each is made and
// removed again); the messages of those that cannot be made.
std::vector<std::string> CheckFilesCanBeMade(const Validation& job);

// Tries every file the job will make, then readies the files that the job
// prepares (see PrepareJobFiles). Returns the messages of files that cannot
// be made; then nothing was changed and the job must not start.
std::vector<std::string> PrepareFiles(const Validation& job);

}  // namespace varnesk::cli
