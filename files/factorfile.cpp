#include "files/factorfile.h"

#include <unistd.h>

#include <cinttypes>

#include "platform/post.h"

namespace varnesk {

FactorFile::FactorFile(SieveJob& job) : job_(job), file_(job.factorFileName) {}

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
    return true;
}

bool FactorFile::EnsureOpen() {
    if (IsOpen()) return true;
    if (!file_.Open("a+t")) {
        PostText(job_.form, "Unable to open output factor file %s.", job_.factorFileName.c_str());
        return false;
    }
    return true;
}

void FactorFile::WriteFactor(int64_t p, int32_t b) {
    // A proof must not be dropped because a caller forgot to open the file.
    if (!EnsureOpen()) return;
    std::fprintf(file_.Stream(), "%" PRId64 " | %d^%d+1\n", p, b, job_.exponent);
}

void FactorFile::Close() {
    if (!IsOpen()) return;
    std::fflush(file_.Stream());
    ::fsync(::fileno(file_.Stream()));
    file_.Close();
}

}  // namespace varnesk
