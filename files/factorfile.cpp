#include "files/factorfile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cinttypes>
#include <cstdio>

#include "platform/fs.h"
#include "platform/joblock.h"
#include "platform/post.h"

namespace varnesk {

FactorFile::FactorFile(SieveJob& job) : job_(job), file_(job.factorFileName) {}

FactorFile::~FactorFile() { Close(); }

bool FactorFile::Start() {
    // What the file was when the job began decides, not what it is now (the
    // job's preparation may have made it): one that was there before the
    // job, even empty, is continued; a new one, or one the user agreed to
    // replace, begins with the banner. An existing factor file is a record
    // of proofs: appended to, never truncated.
    const std::string& path = job_.factorFileName;
    const JobLock::Origin origin = JobLock::OriginOf(path);
    struct stat st;
    const bool exists = !path.empty() && file_.Exists();
    const bool banner = !exists || (origin == JobLock::Origin::kNew && ::stat(path.c_str(), &st) == 0 &&
                                    S_ISREG(st.st_mode) && st.st_size == 0);
    bool ok = !path.empty();
    if (ok && banner) {
        int error = 0;
        ok = ReplaceFileText(path,
                             StringPrintf("Hollowmere for k^%d+1 [k == %d to %d]\n\n", job_.exponent, job_.bMin,
                                          job_.bMax),
                             &error);
    } else if (ok) {
        ok = file_.Open("a+t");
        if (ok) std::fputs("\nContinuing Sieve\n\n", file_.Stream());
        // A write that fails shows at the first factor line's close.
        Close();
    }
    if (!ok) {
        PostText(job_.form, "Unable to open output factor file %s.", path.c_str());
        return false;
    }
    RecordAlgebraicBases();
    return true;
}

// The candidate and factor files keep their meaning; the bases that cannot
// be prime are named here. An earlier record of this name is replaced even
// when this job has nothing to record, so that none outlives its job.
void FactorFile::RecordAlgebraicBases() {
    algebraic_.Collect(job_);
    if (job_.factorFileName.empty()) return;
    const std::string path = AlgebraicRecordPath(job_.factorFileName);
    if (algebraic_.Bases().empty() && !PathExists(path)) return;
    std::string error;
    if (!WriteAlgebraicRecord(path, algebraic_.Bases(), job_.exponent, &error))
        PostText(job_.form, "Algebraic record %s could not be written (%s); the sieve goes on without it.",
                 path.c_str(), error.c_str());
}

bool FactorFile::EnsureOpen() {
    if (IsOpen()) return true;
    if (!file_.Open("a+t")) {
        PostText(job_.form, "Unable to open output factor file %s.", job_.factorFileName.c_str());
        return false;
    }
    return true;
}

namespace {
// Large enough that the writes cost nothing next to the sieving.
constexpr size_t kPendingBytes = size_t{1} << 20;
}  // namespace

void FactorFile::WriteFactor(UInt128 p, int32_t b) {
    // A proof must not be dropped because a caller forgot to open the file.
    if (!EnsureOpen()) return;
    // A first strike over billions of bases writes hundreds of megabytes of
    // these: no stream and no allocation per line.
    char line[96];
    char* end = line;
    if (p >> 64 == 0) {
        end = std::to_chars(end, line + 40, static_cast<uint64_t>(p)).ptr;
    } else {
        const std::string digits = FormatUInt128(p);
        end = std::copy(digits.begin(), digits.end(), end);
    }
    end = std::copy_n(" | ", 3, end);
    end = std::to_chars(end, line + 80, b).ptr;
    *end++ = '^';
    end = std::to_chars(end, line + 92, job_.exponent).ptr;
    end = std::copy_n("+1\n", 3, end);
    if (pending_.capacity() < kPendingBytes + sizeof line) pending_.reserve(kPendingBytes + sizeof line);
    pending_.append(line, static_cast<size_t>(end - line));
    if (pending_.size() >= kPendingBytes) WritePending();
}

// Straight to the descriptor: stdio would split a line at its buffer's end.
bool FactorFile::WritePending() {
    const int fd = ::fileno(file_.Stream());
    size_t done = 0;
    while (done < pending_.size()) {
        ssize_t n = ::write(fd, pending_.data() + done, pending_.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            writeFailed_ = true;
            break;
        }
        done += static_cast<size_t>(n);
    }
#ifdef SYNC_FILE_RANGE_WRITE
    // On to the disk now, so that the sync at the next progress report waits
    // for the last lines only, not for a first strike's hundreds of MB.
    if (!writeFailed_) {
        const off_t end = ::lseek(fd, 0, SEEK_CUR);
        if (end > 0) ::sync_file_range(fd, end - static_cast<off_t>(done), static_cast<off_t>(done), SYNC_FILE_RANGE_WRITE);
    }
#endif
    pending_.clear();
    return !writeFailed_;
}

bool FactorFile::Close() {
    if (!IsOpen()) return true;
    WritePending();
    std::fflush(file_.Stream());
    ::fsync(::fileno(file_.Stream()));
    if (!file_.Close()) writeFailed_ = true;
    const bool ok = !writeFailed_;
    writeFailed_ = false;
    return ok;
}

}  // namespace varnesk
