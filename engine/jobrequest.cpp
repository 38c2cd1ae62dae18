#include "engine/jobrequest.h"

#include "engine/messages.h"
#include "kernels/sieve_job.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

namespace {

constexpr int32_t kMinPackedExponentLog2 = 13;  // 8192

std::string CheckNewSieve(JobRequest& s, JobCheck& c) {
    if (s.factorFile.empty()) return messages::kFactorFileRequired;
    if (s.outputFile.empty()) return messages::kOutputFileRequired;
    s.exponentLog2 = ExponentLog2(s.exponent);
    if (s.exponentLog2 == 0) return StringPrintf(messages::kExponentNotPowerOfTwo, s.exponent);
    if (s.bMin < 1)
        return s.bMinGiven ? StringPrintf("The minimum b value %d is below 1; bases start at 1.", s.bMin)
                           : messages::kBMinRequired;
    if (s.bMax < 1)
        return s.bMaxGiven ? StringPrintf("The maximum b value %d is below 1; bases start at 1.", s.bMax)
                           : messages::kBMaxRequired;
    if (s.bMax <= s.bMin) return messages::kBRangeEmpty;
    if (s.bMax >= kMaxBase) return StringPrintf(messages::kBMaxTooLarge, kMaxBase);
    // The standard sieve tests every base it walks; the wide one only the
    // even ones.
    if (s.wideMath != 0 && s.bMin % 2 != 0) return StringPrintf(messages::kBMinOddForWideMath, s.bMin, s.bMin + 1);
    if (s.useStartStop) {
        if (s.startP != 0) c.notices.push_back(messages::kStartPIgnored);
        if (s.stopP <= 4) return messages::kEndPTooSmall;
    }
    std::string refusal = CheckPLimits(s.useStartStop != 0, false, s.startP, s.stopP, s.wideMath == 0);
    return refusal.empty() ? CheckJobFiles(FilesOf(s)) : refusal;
}

std::string CheckResume(JobRequest& s, JobCheck& c) {
    if (s.inputFile.empty()) return messages::kInputFileRequired;
    if (s.factorFile.empty()) return messages::kFactorFileRequired;
    if (s.outputFile.empty()) return messages::kOutputFileRequired;
    // A name that exists but cannot be looked at (a loop of links) is not
    // said to be missing; one that is no regular file is never opened.
    const PathKind input = InspectPath(s.inputFile).kind;
    if (input == PathKind::Missing) return StringPrintf(messages::kInputFileMissing, s.inputFile.c_str());
    if (input != PathKind::Regular) return CheckInputFile(s.inputFile);
    const bool standard = s.wideMath == 0;
    if (s.useStartStop) {
        if (s.startPGiven && s.startP <= 4) return messages::kStartPTooSmall;
        if (s.stopP <= 4) return messages::kEndPTooSmall;
    }
    std::string refusal = CheckPLimits(s.useStartStop != 0, s.startPGiven, s.startP, s.stopP, standard);
    if (!refusal.empty()) return refusal;
    if (s.useStartStop) {
        // The worker refuses a start above the end too, but only after a
        // separate output file would have been replaced.
        const ResumeRange range = CheckResumeRange(s.inputFile, s.startPGiven, s.startP, s.stopP);
        if (range.kind == ResumeRange::kNothingToSieve) {
            c.verdict = JobCheck::kNothingToDo;
            return range.message;
        }
        if (range.kind == ResumeRange::kRefused) return range.message;
        if (!s.startPGiven) {
            // An end P alone goes on from the input's resume point.
            s.startP = range.startP;
            refusal = CheckPLimits(true, true, s.startP, s.stopP, standard);
            if (!refusal.empty()) return refusal;
        }
    }
    return CheckJobFiles(FilesOf(s));
}

std::string CheckBuild(JobRequest& s) {
    if (s.packedKPath.empty()) return messages::kPackedDirectoryRequired;
    s.exponentLog2 = ExponentLog2(s.exponent);
    if (s.exponentLog2 == 0) return StringPrintf(messages::kExponentNotPowerOfTwo, s.exponent);
    if (s.exponentLog2 < kMinPackedExponentLog2) return messages::kPackedExponentTooSmall;
    if (s.useStartStop && s.startP <= 4) return messages::kStartPTooSmall;
    std::string refusal = CheckPLimits(s.useStartStop != 0, true, s.startP, 0, false);
    if (refusal.empty()) refusal = CheckJobFiles(FilesOf(s));
    if (refusal.empty() && s.useStartStop && s.startP >= kStandardLimitP)
        refusal = "Packed K files hold p below 2^63 only (P 9223372036854775808).";
    return refusal;
}

}  // namespace

JobCheck CheckJob(JobRequest& request) {
    JobCheck c;
    std::string refusal;
    if (request.command != kCommandPackedK && request.wideMath == 0 && request.packedKPath.empty()) {
        refusal = messages::kPackedKRequired;
    } else {
        switch (request.command) {
        case kCommandNewSieve: refusal = CheckNewSieve(request, c); break;
        case kCommandResume: refusal = CheckResume(request, c); break;
        case kCommandPackedK: refusal = CheckBuild(request); break;
        default: refusal = messages::kInvalidSieveType; break;
        }
    }
    if (refusal.empty()) {
        c.verdict = JobCheck::kRun;
    } else {
        if (c.verdict != JobCheck::kNothingToDo) c.verdict = JobCheck::kRefused;
        c.message = std::move(refusal);
    }
    return c;
}

JobFiles FilesOf(const JobRequest& request) {
    JobFiles f;
    f.command = request.command;
    f.standard = request.wideMath == 0;
    f.exponentLog2 = request.exponentLog2;
    f.factorFile = request.factorFile;
    f.inputFile = request.command == kCommandResume ? request.inputFile : std::string();
    f.outputFile = request.outputFile;
    f.logFile = request.logFile;
    f.statsFile = request.statsFile;
    f.packedKDir = request.packedKPath;
    // A resume's Start P takes the place of the file's resume point, also
    // where a standard sieve starts in its packed K sequence.
    f.useStartP = request.command == kCommandResume && request.useStartStop;
    f.startP = request.startP;
    return f;
}

}  // namespace varnesk
