#include "cli/job.h"

#include "engine/jobcheck.h"
#include "engine/worker.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk::cli {

namespace {

std::string ExistsMessage(const std::string& name) {
    return StringPrintf("Output File %s already exists; use --force to overwrite it.", name.c_str());
}

}  // namespace

JobRequest RequestOf(const CliOptions& o) {
    JobRequest s;
    s.logFile = o.logFile;
    s.threads = o.threads;
    s.exponent = o.exponent;
    if (o.command == CliCommand::BuildPackedK) {
        s.command = kCommandPackedK;
        s.packedKPath = o.packedDir;
        s.useStartStop = o.haveStartP ? 1 : 0;
        s.startP = o.startP;
        return s;
    }
    s.command = o.command == CliCommand::Resume ? kCommandResume : kCommandNewSieve;
    s.factorFile = o.factorFile;
    s.outputFile = o.outputFile;
    if (s.command == kCommandResume) {
        s.inputFile = o.inputFile;
        s.exponent = 0;
    } else {
        s.bMin = o.bMin;
        s.bMax = o.bMax;
    }
    s.wideMath = o.standard ? 0 : 1;
    s.packedKPath = o.standard ? o.packedKPath : std::string();
    s.minutesPerSave = o.saveMinutes;
    s.useStartStop = (o.haveStartP || o.haveEndP) ? 1 : 0;
    s.startP = o.startP;
    s.stopP = o.endP;
    s.statsFile = o.statsFile;
    s.startPGiven = o.haveStartP;
    s.bMinGiven = o.haveBMin;
    s.bMaxGiven = o.haveBMax;
    return s;
}

Validation ValidateJob(const CliOptions& o) {
    Validation v;
    if (o.command != CliCommand::Sieve && o.command != CliCommand::Resume && o.command != CliCommand::BuildPackedK) {
        v.message = "No job given.";
        return v;
    }
    v.request = RequestOf(o);
    const JobCheck check = CheckJob(v.request);
    v.notices = check.notices;
    if (!check.Runs()) {
        v.nothingToDo = check.verdict == JobCheck::kNothingToDo;
        v.message = check.message;
        return v;
    }
    const JobRequest& s = v.request;
    if (s.command == kCommandNewSieve) {
        // The form asks about the factor output file first.
        for (const std::string* file : {&s.factorFile, &s.outputFile})
            if (!o.force && PathExists(*file)) {
                v.message = ExistsMessage(*file);
                return v;
            }
        v.prepareFactorFile = v.prepareOutputFile = true;
    } else if (s.command == kCommandResume) {
        // Resuming into the input file itself is the normal way to go on:
        // the reader has the whole file before the first save replaces it.
        const bool inPlace = SameFile(s.inputFile, s.outputFile);
        if (!inPlace && !o.force && PathExists(s.outputFile)) {
            v.message = ExistsMessage(s.outputFile);
            return v;
        }
        v.prepareOutputFile = !inPlace;
    }
    v.ok = true;
    return v;
}

std::vector<std::string> CheckFilesCanBeMade(const Validation& job) {
    return FilesThatCannotBeMade(FilesOf(job.request), job.prepareFactorFile);
}

std::vector<std::string> PrepareFiles(const Validation& job) {
    return PrepareJobFiles(FilesOf(job.request), job.prepareFactorFile, job.prepareOutputFile);
}

}  // namespace varnesk::cli
