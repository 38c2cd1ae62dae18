#include "packedk/generate.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "kernels/candidates.h"
#include "packedk/packedkdb.h"
#include "packedk/sequence.h"
#include "platform/post.h"

namespace varnesk {

namespace {

bool StopRequested(const WorkerFlags& flags) { return flags.m_stopRequest.load(std::memory_order_relaxed) != 0; }


// The build's primes in increasing k, taken from the candidate stream a run
// of k at a time.
class BuildPrimes {
public:
    BuildPrimes(const KernelContext& kernels, int64_t twoN) : stream_(kernels, static_cast<uint64_t>(twoN)) {}

    // The stream goes on after k; whatever it held is dropped.
    void Restart(int64_t k) {
        k_ = static_cast<UInt128>(k < 0 ? 0 : k);
        found_.clear();
        next_ = 0;
    }

    // The next probable prime into currentP/currentK. False when a run of k
    // held none and a stop was requested meanwhile.
    bool Take(SieveJob& job, const WorkerFlags& flags) {
        for (;;) {
            if (next_ < found_.size()) {
                const Candidate& c = found_[next_++];
                job.currentP = c.p;
                // Saturated: beyond kLimit the build stops, whatever k is.
                job.currentK = c.k > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(c.k);
                return true;
            }
            found_.clear();
            next_ = 0;
            const UInt128 from = k_;
            k_ += kRun;
            stream_.CandidatesInRange(from, k_, found_);
            if (found_.empty() && StopRequested(flags)) return false;
        }
    }

private:
    // A few hundred primes a run for the usual N: short enough that a stop
    // is answered at once, long enough that the stream runs in bulk.
    static constexpr int64_t kRun = 4096;
    CandidateStream stream_;
    std::vector<Candidate> found_;
    size_t next_ = 0;
    UInt128 k_ = 0;
};

bool FileShorterThanHeader(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_size < kPackedKHeaderBytes;
}

// A file that cannot get its disk space ends the build the way a stop does:
// every value stored so far stays, and a later build goes on from them.
bool IsNoRoom(const std::string& error) { return error.rfind("Error reserving the disk space", 0) == 0; }

JobOutcome StoppedEnding(CPackedKDB& db, TextSink* form) {
    db.CloseDB();
    PostString(form, "Packed K file generation stopped.");
    return JobOutcome::kNormalEnd;
}

// A file that could get no room ends the way a stop does, and is a failure
// all the same.
JobOutcome FailedEnding(CPackedKDB& db, TextSink* form, const std::string& error) {
    if (IsNoRoom(error)) StoppedEnding(db, form);
    return JobOutcome::kFailed;
}

}  // namespace

JobOutcome GeneratePackedK(SieveJob& job, WorkerFlags& flags, KernelContext& kernels, uint32_t capacityForTesting) {
    TextSink* form = job.form;
    const std::string& directory = job.packedKPath;
    const int32_t n = job.exponentLog2;

    job.currentK = 0;
    job.currentP = 0;
    job.candidateCount = 0;
    job.exponent64 = job.exponent;
    job.kCursor = 0;
    const int64_t twoN = 2 * job.exponent64;
    // Unsigned division, saturated: a start P from 2^63 on then lands beyond
    // the 64-bit limit and stops there instead of wrapping to a negative k.
    if (flags.m_useStartStop && flags.m_startP > 0 && twoN > 0) {
        const UInt128 k = (flags.m_startP - 1) / static_cast<UInt128>(twoN);
        job.kCursor = k > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(k);
    }
    // k*2N + 1 < 2^63 exactly when k <= kLimit.
    const int64_t kLimit = twoN > 0 ? (std::numeric_limits<int64_t>::max() - 1) / twoN
                                    : std::numeric_limits<int64_t>::max();

    PostText(form, "Starting packed file generation in directory %s.", directory.c_str());
    PostText(form, "Using exponent %d which is 2^%d.", job.exponent, n);

    BuildPrimes primes(kernels, twoN);
    CPackedKDB db;
    db.SetCapacityForTesting(capacityForTesting);
    std::string error;
    int32_t number = 0;
    const std::string firstName = SequenceFileName(directory, n, 0);

    bool found = FindLastSequenceFile(directory, n, number);
    // A last file shorter than its header was left by a creation that
    // failed: it holds no value. Taken as not written, the sequence goes on
    // after the file before it (whose full state makes the next append
    // create this one again), instead of from k = 1 with no exponent.
    while (found && FileShorterThanHeader(SequenceFileName(directory, n, number))) {
        const std::string empty = SequenceFileName(directory, n, number);
        ::unlink(empty.c_str());
        if (number == 0) {
            PostText(form, "Sequence file %s holds no value (its creation failed); it is written anew.", empty.c_str());
            found = false;
        } else {
            PostText(form,
                     "Sequence file %s holds no value (its creation failed); the sequence goes on after the last k "
                     "of sequence file %s.",
                     empty.c_str(), SequenceFileName(directory, n, number - 1).c_str());
            --number;
        }
    }
    if (found) {
        PostText(form, "Sequence file %s found.  Extending sequence.", firstName.c_str());
        db.SetFileName(SequenceFileName(directory, n, number));
        PostText(form, "Resuming with sequence file %s.", db.FileName().c_str());
    } else {
        PostText(form, "Sequence file %s does not exist.  Starting new sequence.", firstName.c_str());
        // A stop before file 0 exists leaves no file: there is no first value
        // yet that is worth one (k = 0 would stand for p = 1).
        primes.Restart(job.kCursor);
        if (!primes.Take(job, flags) || StopRequested(flags)) return StoppedEnding(db, form);
        if (job.currentK > kLimit) {
            PostString(form, "P value reached 64 bits, stopping program.");
            return StoppedEnding(db, form);
        }
        number = 0;
        db.SetFileName(firstName);
        if (!db.InitOpenNewFile(job.currentK, job.exponent64, error)) {
            PostText(form, "Sequence file %s could not be initialized.", firstName.c_str());
            PostString(form, error);
            return FailedEnding(db, form, error);
        }
        db.CloseDB();
    }

    if (!db.WriteOpenDB(error)) {
        PostText(form, "Sequence file %s could not be opened.", db.FileName().c_str());
        PostString(form, error);
        return FailedEnding(db, form, error);
    }

    // Candidates continue after the file's last K; anything the stream
    // held before this point is dropped.
    job.currentK = job.kCursor = db.LastK();
    job.currentP = 0;
    primes.Restart(job.kCursor);

    if (StopRequested(flags)) return StoppedEnding(db, form);
    for (;;) {
        if (!primes.Take(job, flags)) break;
        // Checked for every prime, before anything is shown or stored: beyond
        // this the kernels' p no longer fits.
        if (job.currentK > kLimit) {
            PostString(form, "P value reached 64 bits, stopping program.");
            break;
        }
        int32_t tick = flags.m_tickCount.load(std::memory_order_relaxed);
        if (tick != job.lastTick) {
            PostProgress(form, job.candidateCount, job.currentP);
            job.lastTick = tick;
            db.StoreHeader();  // a kill now costs at most one tick of values
        }
        if (db.WriteNew64KValue(job.currentK, error)) {
            if (StopRequested(flags)) break;
            continue;
        }
        if (error.compare(0, 19, "File write overflow") != 0) {
            PostText(form, "Sequence file %s write error.", db.FileName().c_str());
            PostString(form, error);
            db.CloseDB();
            return JobOutcome::kFailed;
        }

        // The file is full: the k that did not fit opens the next one.
        db.CloseDB();
        if (number >= kMaxSequenceNumber) {
            PostText(form,
                     "Sequence file %s is full and is the last a sequence can have.  "
                     "Packed K file generation ended.",
                     db.FileName().c_str());
            return JobOutcome::kFailed;
        }
        PostText(form, "Sequence file %s is full.  Switching to next file.", db.FileName().c_str());
        ++number;
        const std::string name = SequenceFileName(directory, n, number);
        db.SetFileName(name);
        if (!db.InitOpenNewFile(job.currentK, job.exponent64, error)) {
            PostText(form, "Sequence file %s could not be initialized.", name.c_str());
            PostString(form, error);
            return FailedEnding(db, form, error);
        }
        db.CloseDB();
        if (!db.WriteOpenDB(error)) {
            PostText(form, "Sequence file %s could not be opened.", name.c_str());
            PostString(form, error);
            return FailedEnding(db, form, error);
        }
        PostText(form, "Continuing in new sequence file %s.", name.c_str());
        if (StopRequested(flags)) break;
    }
    return StoppedEnding(db, form);
}

}  // namespace varnesk
