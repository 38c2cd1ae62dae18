#include "files/factorfile.h"

#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>

#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

FactorFile::FactorFile(SieveJob& job) : job_(job), file_(job.factorFileName) {}

FactorFile::~FactorFile() { Close(); }

bool FactorFile::Start() {
    // An existing factor file is a record of proofs: append, never truncate.
    bool exists = !job_.factorFileName.empty() && file_.Exists();
    if (!file_.Open(exists ? "a+t" : "wt")) {
        PostText(job_.form, "Unable to open output factor file %s.", job_.factorFileName.c_str());
        return false;
    }
    if (exists)
        std::fputs("\nContinuing Sieve\n\n", file_.Stream());
    else
        std::fprintf(file_.Stream(), "Hollowmere for k^%d+1 [k == %d to %d]\n\n", job_.exponent, job_.bMin,
                     job_.bMax);
    Close();
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
    pending_ += FormatUInt128(p);
    char line[64];
    int length = std::snprintf(line, sizeof line, " | %d^%d+1\n", b, job_.exponent);
    pending_.append(line, static_cast<size_t>(length));
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
