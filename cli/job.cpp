#include "cli/job.h"

#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <system_error>

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
    if (o.bMin < 1) return Refuse(v, messages::kBMinRequired);
    if (o.bMax < 1) return Refuse(v, messages::kBMaxRequired);
    if (o.bMax <= o.bMin) return Refuse(v, messages::kBRangeEmpty);
    if (o.bMax >= kMaxBase)
        return Refuse(v, StringPrintf("The maximum b value must be less than %d.", kMaxBase));
    if (plan.useStartStop) {
        if (plan.startP != 0)
            v.notices.push_back(messages::kStartPIgnored);
        if (plan.stopP <= 4) return Refuse(v, messages::kEndPTooSmall);
        if (o.standard && plan.stopP >= kStandardLimitP) return Refuse(v, messages::kStandardBeyond);
    }
    if (SameFile(o.factorFile, o.outputFile))
        return Refuse(v, "The factor output file and the output file must be different files.");
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
    if (!PathExists(o.inputFile)) return Refuse(v, StringPrintf(messages::kInputFileMissing, o.inputFile.c_str()));
    if (plan.useStartStop && !o.haveStartP) {
        // An end P alone goes on from the input file's resume point: the
        // start P just above the last prime finished places the sieve there.
        UInt128 resumeP = 0;
        if (!ReadResumePoint(o.inputFile, resumeP))
            return Refuse(v, StringPrintf("Unable to open input candidate file %s.", o.inputFile.c_str()));
        plan.startP = resumeP > 4 ? resumeP + 1 : 5;
    }
    if (plan.useStartStop) {
        if (plan.startP <= 4) return Refuse(v, messages::kStartPTooSmall);
        if (plan.stopP <= 4) return Refuse(v, messages::kEndPTooSmall);
        if (o.standard && (plan.startP >= kStandardLimitP || plan.stopP >= kStandardLimitP))
            return Refuse(v, messages::kStandardBeyond);
    }
    if (SameFile(o.factorFile, o.inputFile) || SameFile(o.factorFile, o.outputFile))
        return Refuse(v, "The factor output file must not be the input or the output file.");
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

    if (o.packedDir.empty()) return Refuse(v, messages::kPackedDirectoryRequired);
    plan.exponentLog2 = ExponentLog2(o.exponent);
    if (plan.exponentLog2 == 0)
        return Refuse(v, StringPrintf(messages::kExponentNotPowerOfTwo, o.exponent));
    if (plan.exponentLog2 < kMinPackedExponentLog2)
        return Refuse(v, messages::kPackedExponentTooSmall);
    if (plan.useStartStop && plan.startP <= 4) return Refuse(v, messages::kStartPTooSmall);
    if (plan.useStartStop && plan.startP >= kStandardLimitP)
        return Refuse(v, "Packed K files hold p below 2^63 only (P 9223372036854775808).");
    v.ok = true;
    return v;
}

// Like the form's Yes: remove, then create empty. A name that cannot be
// created is reported and removed again, and the start goes on.
bool RecreateEmpty(const std::string& name) {
    ::unlink(name.c_str());
    std::FILE* f = std::fopen(name.c_str(), "w");
    if (!f) {
        ::unlink(name.c_str());
        return false;
    }
    std::fclose(f);
    return true;
}

}  // namespace

bool SameFile(const std::string& a, const std::string& b) {
    if (a.empty() || b.empty()) return false;
    namespace fs = std::filesystem;
    std::error_code ec;
    if (PathExists(a) && PathExists(b)) {
        bool same = fs::equivalent(a, b, ec);
        if (!ec) return same;
    }
    fs::path pa = fs::weakly_canonical(fs::absolute(a, ec), ec);
    if (ec) return a == b;
    fs::path pb = fs::weakly_canonical(fs::absolute(b, ec), ec);
    if (ec) return a == b;
    return pa == pb;
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

std::vector<std::string> PrepareFiles(const JobPlan& plan) {
    std::vector<std::string> messages;
    auto prepare = [&](const std::string& name) {
        if (!RecreateEmpty(name)) messages.push_back(StringPrintf("Output File %s cannot be created.", name.c_str()));
    };
    if (plan.prepareFactorFile) prepare(plan.factorFile);
    if (plan.prepareOutputFile) prepare(plan.outputFile);
    return messages;
}

}  // namespace varnesk::cli
