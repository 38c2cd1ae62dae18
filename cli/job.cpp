#include "cli/job.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/jobcheck.h"
#include "engine/messages.h"
#include "engine/worker.h"
#include "files/candidates.h"
#include "kernels/sieve_job.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk::cli {

namespace {

constexpr int32_t kMinPackedExponentLog2 = 13;  // 8192

Validation Refuse(Validation v, std::string message) {
    v.ok = false;
    v.message = std::move(message);
    return v;
}

std::string ExistsMessage(const std::string& name) {
    return StringPrintf("Output File %s already exists; use --force to overwrite it.", name.c_str());
}


void TakeCommon(const CliOptions& o, JobPlan& plan) {
    plan.wideMath = o.standard ? 0 : 1;
    plan.packedKPath = o.standard ? o.packedKPath : std::string();
    plan.minutesPerSave = o.saveMinutes;
    plan.useStartStop = (o.haveStartP || o.haveEndP) ? 1 : 0;
    plan.startP = o.startP;
    plan.stopP = o.endP;
    plan.logFile = o.logFile;
    plan.statsFile = o.statsFile;
}

Validation NewSieve(const CliOptions& o) {
    Validation v;
    JobPlan& plan = v.plan;
    TakeCommon(o, plan);
    plan.command = kCommandNewSieve;
    plan.factorFile = o.factorFile;
    plan.outputFile = o.outputFile;
    plan.bMin = o.bMin;
    plan.bMax = o.bMax;
    plan.exponent = o.exponent;

    if (o.standard && o.packedKPath.empty()) return Refuse(v, messages::kPackedKRequired);
    if (o.factorFile.empty()) return Refuse(v, messages::kFactorFileRequired);
    if (o.outputFile.empty()) return Refuse(v, messages::kOutputFileRequired);
    plan.exponentLog2 = ExponentLog2(o.exponent);
    if (plan.exponentLog2 == 0)
        return Refuse(v, StringPrintf(messages::kExponentNotPowerOfTwo, o.exponent));
    // A value given on the command line that is below 1 is not a missing
    // one: say what is wrong with it.
    if (o.haveBMin && o.bMin < 1)
        return Refuse(v, StringPrintf("The minimum b value %d is below 1; bases start at 1.", o.bMin));
    if (o.bMin < 1) return Refuse(v, messages::kBMinRequired);
    if (o.haveBMax && o.bMax < 1)
        return Refuse(v, StringPrintf("The maximum b value %d is below 1; bases start at 1.", o.bMax));
    if (o.bMax < 1) return Refuse(v, messages::kBMaxRequired);
    if (o.bMax <= o.bMin) return Refuse(v, messages::kBRangeEmpty);
    if (o.bMax >= kMaxBase)
        return Refuse(v, StringPrintf(messages::kBMaxTooLarge, kMaxBase));
    if (plan.useStartStop) {
        if (plan.startP != 0)
            v.notices.push_back(messages::kStartPIgnored);
        if (plan.stopP <= 4) return Refuse(v, messages::kEndPTooSmall);
    }
    std::string refusal = CheckPLimits(plan.useStartStop != 0, false, plan.startP, plan.stopP, o.standard);
    if (refusal.empty()) refusal = CheckJobFiles(FilesOf(plan));
    if (!refusal.empty()) return Refuse(v, refusal);
    // The form asks about the factor output file first.
    if (!o.force && PathExists(o.factorFile)) return Refuse(v, ExistsMessage(o.factorFile));
    if (!o.force && PathExists(o.outputFile)) return Refuse(v, ExistsMessage(o.outputFile));
    plan.prepareFactorFile = true;
    plan.prepareOutputFile = true;
    v.ok = true;
    return v;
}

Validation Resume(const CliOptions& o) {
    Validation v;
    JobPlan& plan = v.plan;
    TakeCommon(o, plan);
    plan.command = kCommandResume;
    plan.factorFile = o.factorFile;
    plan.inputFile = o.inputFile;
    plan.outputFile = o.outputFile;

    if (o.standard && o.packedKPath.empty()) return Refuse(v, messages::kPackedKRequired);
    if (o.inputFile.empty()) return Refuse(v, messages::kInputFileRequired);
    if (o.factorFile.empty()) return Refuse(v, messages::kFactorFileRequired);
    if (o.outputFile.empty()) return Refuse(v, messages::kOutputFileRequired);
    const PathState input = InspectPath(o.inputFile);
    if (input.kind == PathKind::Missing)
        return Refuse(v, StringPrintf(messages::kInputFileMissing, o.inputFile.c_str()));
    if (input.kind != PathKind::Regular) return Refuse(v, CheckInputFile(o.inputFile));
    if (plan.useStartStop) {
        if (o.haveStartP && plan.startP <= 4) return Refuse(v, messages::kStartPTooSmall);
        if (plan.stopP <= 4) return Refuse(v, messages::kEndPTooSmall);
        // An end P alone goes on from the input file's resume point.
        const ResumeRange range = CheckResumeRange(o.inputFile, o.haveStartP, plan.startP, plan.stopP);
        if (range.kind != ResumeRange::kSieve) {
            v.nothingToDo = range.kind == ResumeRange::kNothingToSieve;
            return Refuse(v, range.message);
        }
        plan.startP = range.startP;
    }
    std::string refusal = CheckPLimits(plan.useStartStop != 0, true, plan.startP, plan.stopP, o.standard);
    if (refusal.empty()) refusal = CheckJobFiles(FilesOf(plan));
    if (!refusal.empty()) return Refuse(v, refusal);
    // Resuming into the input file itself is the normal way to go on: the
    // reader has the whole file before the first save replaces it.
    const bool inPlace = SameFile(o.inputFile, o.outputFile);
    if (!inPlace && !o.force && PathExists(o.outputFile)) return Refuse(v, ExistsMessage(o.outputFile));
    plan.prepareOutputFile = !inPlace;
    v.ok = true;
    return v;
}

Validation Build(const CliOptions& o) {
    Validation v;
    JobPlan& plan = v.plan;
    plan.command = kCommandPackedK;
    plan.wideMath = 1;
    plan.packedKPath = o.packedDir;
    plan.exponent = o.exponent;
    plan.useStartStop = o.haveStartP ? 1 : 0;
    plan.startP = o.startP;
    plan.logFile = o.logFile;

    if (o.packedDir.empty()) return Refuse(v, messages::kPackedDirectoryRequired);
    plan.exponentLog2 = ExponentLog2(o.exponent);
    if (plan.exponentLog2 == 0)
        return Refuse(v, StringPrintf(messages::kExponentNotPowerOfTwo, o.exponent));
    if (plan.exponentLog2 < kMinPackedExponentLog2)
        return Refuse(v, messages::kPackedExponentTooSmall);
    if (plan.useStartStop && plan.startP <= 4) return Refuse(v, messages::kStartPTooSmall);
    std::string refusal = CheckPLimits(plan.useStartStop != 0, true, plan.startP, 0, false);
    if (refusal.empty()) refusal = CheckJobFiles(FilesOf(plan));
    if (!refusal.empty()) return Refuse(v, refusal);
    if (plan.useStartStop && plan.startP >= kStandardLimitP)
        return Refuse(v, "Packed K files hold p below 2^63 only (P 9223372036854775808).");
    v.ok = true;
    return v;
}

}  // namespace

JobFiles FilesOf(const JobPlan& plan) {
    JobFiles f;
    f.command = plan.command;
    f.standard = plan.wideMath == 0;
    f.exponentLog2 = plan.exponentLog2;
    f.factorFile = plan.factorFile;
    f.inputFile = plan.inputFile;
    f.outputFile = plan.outputFile;
    f.logFile = plan.logFile;
    f.statsFile = plan.statsFile;
    f.packedKDir = plan.packedKPath;
    f.useStartP = plan.command == kCommandResume && plan.useStartStop;
    f.startP = plan.startP;
    return f;
}

Validation ValidateJob(const CliOptions& options) {
    switch (options.command) {
    case CliCommand::Sieve: return NewSieve(options);
    case CliCommand::Resume: return Resume(options);
    case CliCommand::BuildPackedK: return Build(options);
    default: break;
    }
    Validation v;
    v.message = "No job given.";
    return v;
}

std::vector<std::string> CheckFilesCanBeMade(const JobPlan& plan) {
    return FilesThatCannotBeMade(FilesOf(plan), plan.prepareFactorFile);
}

std::vector<std::string> PrepareFiles(const JobPlan& plan) {
    return PrepareJobFiles(FilesOf(plan), plan.prepareFactorFile, plan.prepareOutputFile);
}

}  // namespace varnesk::cli
