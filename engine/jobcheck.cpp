#include "engine/jobcheck.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <filesystem>
#include <system_error>

#include "engine/messages.h"
#include "engine/worker.h"
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

std::string CheckInputFile(const std::string& path) {
    const PathState s = InspectPath(path);
    if (s.kind == PathKind::Missing) return StringPrintf(messages::kInputFileMissing, path.c_str());
    if (s.kind == PathKind::Unreadable)
        return StringPrintf("Input File %s cannot be looked at: %s", path.c_str(), ErrorText(s.error).c_str());
    return CheckCandidateFile(path);
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
    const std::string first = SequenceFileName(dir, f.exponentLog2, 0);
    if (!PathExists(first))
        return StringPrintf("Packed K folder %s holds no sequence file %s for this exponent.", dir.c_str(),
                            first.c_str());
    return {};
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
    if (!ok) lock.Release();
    return ok;
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
    const bool ok = ::close(fd) == 0 && std::rename(temp.c_str(), path.c_str()) == 0;
    if (!ok) ::unlink(temp.c_str());
    return ok;
}

}  // namespace varnesk
