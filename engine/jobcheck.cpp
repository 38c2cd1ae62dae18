#include "engine/jobcheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <system_error>

#include "engine/messages.h"
#include "engine/worker.h"
#include "files/algebraic.h"
#include "files/candidates.h"
#include "files/rangerecord.h"
#include "kernels/sieve_job.h"
#include "packedk/sequence.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

std::string CheckPLimits(bool useStartStop, bool useStartP, UInt128 startP, UInt128 endP, bool standard) {
    if (!useStartStop) return {};
    const std::string limit = FormatUInt128(kWideLimitP);
    if (useStartP && startP >= kWideLimitP)
        return "Start P " + FormatUInt128(startP) + " is beyond the reach of the sieve: P must be below 2^96 (" + limit +
               ").";
    if (endP >= kWideLimitP)
        return "End P " + FormatUInt128(endP) + " is beyond the reach of the sieve: P must be below 2^96 (" + limit + ").";
    if (standard && ((useStartP && startP >= kStandardLimitP) || endP >= kStandardLimitP))
        return messages::kStandardBeyond;
    return {};
}

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

std::string CheckDistinctFiles(const JobFiles& f) {
    if (f.command == kCommandNewSieve && SameFile(f.factorFile, f.outputFile))
        return "The factor output file and the output file must be different files.";
    if (f.command == kCommandResume && (SameFile(f.factorFile, f.inputFile) || SameFile(f.factorFile, f.outputFile)))
        return "The factor output file must not be the input or the output file.";
    // Log lines appended to a candidate or factor file would be read back as
    // bases or proofs.
    if (SameFile(f.logFile, f.factorFile) || SameFile(f.logFile, f.inputFile) || SameFile(f.logFile, f.outputFile))
        return StringPrintf("The log file %s must not be the factor output, input or output file.", f.logFile.c_str());
    // CSV rows in a candidate or factor file would make it unreadable.
    if (SameFile(f.statsFile, f.factorFile) || SameFile(f.statsFile, f.inputFile) ||
        SameFile(f.statsFile, f.outputFile) || SameFile(f.statsFile, f.logFile))
        return StringPrintf("The statistics file %s must not be the factor output, input, output or log file.",
                            f.statsFile.c_str());
    return {};
}

namespace {
// The input's name: something a candidate file can be read from. "" or the
// refusal; the file itself is not read.
std::string CheckInputPath(const std::string& path) {
    const PathState s = InspectPath(path);
    switch (s.kind) {
    case PathKind::Missing:
        return StringPrintf(messages::kInputFileMissing, path.c_str());
    case PathKind::Unreadable:
        return StringPrintf("Input File %s cannot be looked at: %s", path.c_str(), ErrorText(s.error).c_str());
    case PathKind::Folder:
        return StringPrintf("Input File %s is a folder; a candidate file is needed.", path.c_str());
    case PathKind::Other:
        // Not opened: a pipe or a device gives no candidate file, and opening
        // one may wait or have effects of its own.
        return StringPrintf("Input File %s is not a regular file; only a regular file is read as a candidate file.",
                            path.c_str());
    case PathKind::Regular:
        break;
    }
    return {};
}
}  // namespace

std::string CheckInputFile(const std::string& path) {
    std::string refusal = CheckInputPath(path);
    return refusal.empty() ? CheckCandidateFile(path) : refusal;
}

ResumeRange CheckResumeRange(const std::string& inputFile, bool haveStartP, UInt128 startP, UInt128 endP) {
    ResumeRange r;
    r.startP = startP;
    if (haveStartP) {
        if (startP > endP) {
            r.kind = ResumeRange::kRefused;
            r.message = "Start P " + FormatUInt128(startP) + " is above end P " + FormatUInt128(endP) +
                        "; a resume sieves from its start P up to its end P.";
        }
        return r;
    }
    // One reading gives both the refusal and the resume point.
    r.message = CheckInputPath(inputFile);
    UInt128 resumeP = 0;
    if (r.message.empty()) {
        const CandidateFileScan scan = ScanCandidateFile(inputFile);
        r.message = scan.refusal;
        resumeP = scan.resumeP;
    }
    if (!r.message.empty()) {
        r.kind = ResumeRange::kRefused;
        return r;
    }
    // The run that wrote this resume point ended at the first prime above
    // its end P; every prime up to this end P is behind it.
    if (resumeP >= endP) {
        r.kind = ResumeRange::kNothingToSieve;
        r.message = StringPrintf("Input file %s is already at P %s, at or beyond end P %s; nothing is sieved and "
                                 "the file is left as it is.",
                                 inputFile.c_str(), FormatUInt128(resumeP).c_str(), FormatUInt128(endP).c_str());
        return r;
    }
    // The start P just above the last prime finished places the sieve there.
    r.startP = resumeP > 4 ? resumeP + 1 : 5;
    return r;
}

std::string CheckWritableFile(const std::string& path, const char* role) {
    const PathState s = InspectPath(path);
    switch (s.kind) {
    case PathKind::Unreadable:
        return StringPrintf("%s %s cannot be looked at: %s", role, path.c_str(), ErrorText(s.error).c_str());
    case PathKind::Folder:
        return StringPrintf("%s %s is a folder; a file of that name is needed.", role, path.c_str());
    case PathKind::Other:
        return StringPrintf("%s %s is not a regular file; only a regular file is written or replaced.", role,
                            path.c_str());
    default:
        return {};
    }
}

namespace {
// A file that the job appends lines to: an existing one must take a write
// (a zero-length write shows a file such as /proc/version that opens but
// refuses every byte), a new one needs a folder that lets it be made.
std::string CheckAppendFile(const std::string& path, const char* role) {
    if (path.empty()) return {};
    std::string refusal = CheckWritableFile(path, role);
    if (!refusal.empty()) return refusal;
    int error = 0;
    if (PathExists(path)) {
        const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0 || ::write(fd, "", 0) < 0) error = errno;
        if (fd >= 0) ::close(fd);
    } else if (::access(FolderOf(path).c_str(), W_OK | X_OK) != 0) {
        error = errno;
    }
    if (error) return StringPrintf("%s %s cannot be written: %s", role, path.c_str(), ErrorText(error).c_str());
    return {};
}
}  // namespace

namespace {
// What a resume reads from its input before it sieves: the exponent and the
// k of its resume point. Read by the reader itself, so that the sieve and
// this check never disagree about the file.
struct InputStart {
    std::string refusal;  // the reader's last line when it failed
    int32_t exponentLog2 = 0;  // 0: a header alone, nothing left to sieve
    UInt128 resumeP = 0;
    UInt128 resumeK = 0;
};
InputStart ReadInputStart(const std::string& path) {
    const CandidateFileScan scan = ScanCandidateFile(path);
    InputStart in;
    in.refusal = scan.refusal;
    if (!in.refusal.empty()) return in;
    in.exponentLog2 = scan.exponentLog2;
    in.resumeP = scan.resumeP;
    // p = 2Nk + 1 gives back k, as the reader gives it to the sieve.
    if (scan.exponent > 0 && scan.resumeP > 1) in.resumeK = (scan.resumeP - 1) / (2 * static_cast<UInt128>(scan.exponent));
    return in;
}

UInt128 PrimeOfK(int32_t n, UInt128 k) { return (static_cast<UInt128>(2) << n) * k + 1; }
}  // namespace

std::string SequenceStartRefusal(const std::string& directory, int32_t n, UInt128 startP,
                                 const SequenceStart& start) {
    if (!start.known || start.missingK == 0) return {};
    const std::string file = SequenceFileName(directory, n, start.number);
    const std::string first = FormatUInt128(PrimeOfK(n, static_cast<UInt128>(start.firstK)));
    const std::string missing = FormatUInt128(PrimeOfK(n, static_cast<UInt128>(start.missingK)));
    const std::string from = FormatUInt128(startP);
    if (start.number == 0)
        return StringPrintf("The sieve starts at P %s, below p %s, the first prime of packed K sequence file %s: the "
                            "primes between them (the first is %s) are not in the sequence and would never be "
                            "sieved. A packed K build given no start P makes a sequence that begins at the bottom.",
                            from.c_str(), first.c_str(), file.c_str(), missing.c_str());
    return StringPrintf("The sieve starts at P %s, in a gap of the packed K sequence: sequence file %s ends at p %s "
                        "and sequence file %s begins at p %s; the primes between them (the first is %s) are not in "
                        "the sequence and would never be sieved.",
                        from.c_str(), SequenceFileName(directory, n, start.number - 1).c_str(),
                        FormatUInt128(PrimeOfK(n, static_cast<UInt128>(start.previousLastK))).c_str(), file.c_str(),
                        first.c_str(), missing.c_str());
}

std::string CheckPackedKFolder(const JobFiles& f) {
    const std::string& dir = f.packedKDir;
    const PathState s = InspectPath(dir);
    if (s.kind == PathKind::Missing) return StringPrintf("Packed K folder %s does not exist.", dir.c_str());
    if (s.kind == PathKind::Unreadable)
        return StringPrintf("Packed K folder %s cannot be looked at: %s", dir.c_str(), ErrorText(s.error).c_str());
    if (s.kind != PathKind::Folder) return StringPrintf("Packed K folder %s is not a folder.", dir.c_str());
    if (f.command == kCommandPackedK) {
        if (::access(dir.c_str(), W_OK | X_OK) != 0)
            return StringPrintf("Packed K folder %s cannot be written: %s", dir.c_str(), ErrorText(errno).c_str());
        return {};
    }
    // Where the sieve starts: a new sieve at the bottom, a resume at its
    // start P or its input's resume point, with the input's exponent.
    int32_t n = f.exponentLog2;
    UInt128 startP = 0, doneK = 0;
    if (f.command == kCommandResume) {
        const InputStart in = ReadInputStart(f.inputFile);
        if (!in.refusal.empty()) return in.refusal;
        if (in.exponentLog2 == 0) return {};  // the worker says that nothing is left
        n = in.exponentLog2;
        doneK = f.useStartP ? KBelowStartP(f.startP, int64_t{1} << n) : in.resumeK;
        startP = f.useStartP ? f.startP : in.resumeP;
    }
    const std::string first = SequenceFileName(dir, n, 0);
    if (!PathExists(first))
        return StringPrintf("Packed K folder %s holds no sequence file %s for this exponent.", dir.c_str(),
                            first.c_str());
    // A start from 2^63 on is refused with the limits; no k of a file is there.
    if (doneK >= static_cast<UInt128>(INT64_MAX)) return {};
    return SequenceStartRefusal(dir, n, startP, FindSequenceStart(dir, n, static_cast<int64_t>(doneK)));
}

std::string CheckJobFiles(const JobFiles& f) {
    std::string refusal = CheckDistinctFiles(f);
    if (refusal.empty() && f.command == kCommandResume) refusal = CheckInputFile(f.inputFile);
    if (refusal.empty() && f.command != kCommandPackedK) refusal = CheckWritableFile(f.factorFile, "Factor output file");
    if (refusal.empty() && f.command != kCommandPackedK) refusal = CheckWritableFile(f.outputFile, "Output File");
    if (refusal.empty()) refusal = CheckAppendFile(f.logFile, "Log file");
    if (refusal.empty()) refusal = CheckAppendFile(f.statsFile, "Statistics file");
    if (refusal.empty() && (f.standard || f.command == kCommandPackedK)) refusal = CheckPackedKFolder(f);
    return refusal;
}

bool LockJobFiles(const JobFiles& f, JobLock& lock, std::string& message) {
    bool ok = true;
    if (f.command != kCommandPackedK) {
        ok = lock.LockFile(f.outputFile, "Output File", message) &&
             lock.LockFile(f.factorFile, "Factor output file", message);
    }
    if (ok && (f.standard || f.command == kCommandPackedK))
        ok = lock.LockFolder(f.packedKDir, f.command == kCommandPackedK, "Packed K folder", message);
    if (!ok) {
        lock.Release();
        return false;
    }
    // A job killed during a save left its temporary file (as large as the
    // candidate file). Each kind is told by how its writer begins it: an
    // empty temporary of the factor file, or a user's file of a look-alike
    // name, is left alone.
    if (f.command != kCommandPackedK) {
        if (!f.outputFile.empty()) RemoveStaleTempsBeside(f.outputFile, CandidateFileBegins);
        if (!f.factorFile.empty()) {
            // A factor file is replaced only to empty it or to begin it with
            // the banner.
            RemoveStaleTempsBeside(f.factorFile,
                                   [](std::string_view head) { return BeginsAs(head, "Hollowmere for k^"); });
            const std::string record = FormatSievedRange({});
            const std::string rangeStart = record.substr(0, record.find('\n') + 1);
            RemoveStaleTempsBeside(SievedRangePath(f.factorFile),
                                   [&](std::string_view head) { return BeginsAs(head, rangeStart); });
            RemoveStaleTempsBeside(AlgebraicRecordPath(f.factorFile), AlgebraicRecordBegins);
        }
    }
    return true;
}

std::vector<std::string> FilesThatCannotBeMade(const JobFiles& f, bool replaceFactorFile) {
    std::vector<std::string> messages;
    if (f.command == kCommandPackedK) return messages;
    auto cannot = [&](const std::string& name) {
        messages.push_back(StringPrintf("Output File %s cannot be created.", name.c_str()));
    };
    auto probe = [](const std::string& name) {
        std::string temp;
        int fd = name.empty() ? -1 : CreateTempBeside(name, temp);
        if (fd < 0) return false;
        ::close(fd);
        ::unlink(temp.c_str());
        return true;
    };
    if (PathExists(f.factorFile) && !replaceFactorFile ? ::access(f.factorFile.c_str(), W_OK) != 0
                                                       : !probe(f.factorFile))
        cannot(f.factorFile);
    if (!probe(f.outputFile)) cannot(f.outputFile);
    return messages;
}

bool RemoveRegularFile(const std::string& path) {
    const PathState s = InspectPath(path);
    if (s.kind == PathKind::Missing) return true;
    if (s.kind != PathKind::Regular) {
        errno = s.kind == PathKind::Folder ? EISDIR : s.error ? s.error : EINVAL;
        return false;
    }
    return ::unlink(path.c_str()) == 0 || errno == ENOENT;
}

std::vector<std::string> PrepareJobFiles(const JobFiles& f, bool replaceFactorFile, bool replaceOutputFile) {
    std::vector<std::string> messages = FilesThatCannotBeMade(f, replaceFactorFile);
    if (!messages.empty()) return messages;
    auto cannot = [&](const std::string& name) {
        messages.push_back(StringPrintf("Output File %s cannot be created.", name.c_str()));
    };
    if (replaceFactorFile) {
        // The record first: a factor file emptied under an old record would
        // let merge trust strikes that are gone.
        const std::string record = SievedRangePath(f.factorFile);
        if (!RemoveRegularFile(record))
            messages.push_back(StringPrintf("Range record %s cannot be removed: %s", record.c_str(),
                                            ErrorText(errno).c_str()));
        else if (!RecreateEmptyFile(f.factorFile))
            cannot(f.factorFile);
        else
            JobLock::NoteReplaced(f.factorFile);  // it begins with the banner
    }
    if (messages.empty() && replaceOutputFile && !RemoveRegularFile(f.outputFile)) cannot(f.outputFile);
    return messages;
}

bool RecreateEmptyFile(const std::string& path) {
    const PathState s = InspectPath(path);
    if (s.kind != PathKind::Missing && s.kind != PathKind::Regular) {
        errno = s.kind == PathKind::Folder ? EISDIR : s.error ? s.error : EINVAL;
        return false;
    }
    // Made beside and renamed over, so that a name that cannot be made
    // leaves the old file as it was.
    std::string temp;
    int fd = CreateTempBeside(path, temp);
    if (fd < 0) return false;
    ::fchmod(fd, NewFileMode());
    return CommitTempBeside(fd, temp, path);
}

}  // namespace varnesk
