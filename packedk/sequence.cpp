#include "packedk/sequence.h"

#include <initializer_list>
#include <limits>

#include "kernels/kernels.h"
#include "kernels/modmath.h"
#include "platform/fs.h"
#include "platform/numparse.h"
#include "platform/post.h"

namespace varnesk {

std::string SequenceFileName(const std::string& directory, int32_t n, int32_t number) {
    return StringPrintf("%s/ln%dpi%.5d.pkk", directory.c_str(), n, number);
}

bool FindLastSequenceFile(const std::string& directory, int32_t n, int32_t& last) {
    if (!PathExists(SequenceFileName(directory, n, 0))) return false;
    int32_t number = 0;
    while (number < kMaxSequenceNumber && PathExists(SequenceFileName(directory, n, number + 1))) ++number;
    last = number;
    return true;
}

std::string NextSequenceFile(const std::string& currentPath, const std::string& directory, int32_t n) {
    std::string tail = currentPath.size() >= 9 ? currentPath.substr(currentPath.size() - 9) : currentPath;
    ParsedNumber number = ParseInt32(tail.substr(0, 5));
    return SequenceFileName(directory, n, static_cast<int32_t>(number.value) + 1);
}

bool LocateStartK(CPackedKDB& db, std::string& error, SieveJob& job) {
    const int64_t target = job.kCursor;
    for (int32_t number = 0;; ++number) {
        std::string name = SequenceFileName(job.packedKPath, job.exponentLog2, number);
        db.SetFileName(name);
        if (!db.ReadOpenDB(error)) {
            PostText(job.form, "Sequence file %s could not be read.", name.c_str());
            PostString(job.form, error);
            return false;
        }
        if (db.LastK() < target) {
            db.CloseDB();
            continue;
        }
        if (db.ValueCount() == 0) {
            error = "File read overflow in ReadNext64KValue";
            PostText(job.form, "Sequence file %s read error.", name.c_str());
            PostString(job.form, error);
            return false;
        }
        int64_t k = 0;
        do {
            if (!db.ReadNext64KValue(k, error)) {
                PostText(job.form, "Sequence file %s read error.", name.c_str());
                PostString(job.form, error);
                return false;
            }
        } while (k < target);
        return true;
    }
}

bool IsListedK(int64_t exponent, int64_t k) {
    if (exponent < 1 || k < 1 || k > (std::numeric_limits<int64_t>::max() - 1) / (2 * exponent)) return false;
    const uint64_t p = 2 * static_cast<uint64_t>(exponent) * static_cast<uint64_t>(k) + 1;
    // As the kernels' candidate stream: the wheel keeps its own primes (they
    // are of this form for small N) and drops every other multiple of them.
    if (p <= 73) return IsWheelPrime(p);
    for (uint64_t q : {3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61, 67, 71, 73})
        if (p % q == 0) return false;
    return PowModRef(2, p - 1, p) == 1;
}

int64_t FirstListedKBetween(int64_t exponent, int64_t fromK, int64_t toK) {
    for (int64_t k = fromK < 1 ? 1 : fromK; k < toK; ++k)
        if (IsListedK(exponent, k)) return k;
    return 0;
}

SequenceStart FindSequenceStart(const std::string& directory, int32_t n, int64_t doneK) {
    SequenceStart start;
    int64_t previousLastK = 0;
    std::string error;
    for (int32_t number = 0; number <= kMaxSequenceNumber; ++number) {
        CPackedKDB db;
        db.SetFileName(SequenceFileName(directory, n, number));
        if (!db.ReadOpenDB(error) || db.ValueCount() == 0) return start;
        if (db.LastK() <= doneK) {
            previousLastK = db.LastK();
            continue;
        }
        start.known = true;
        start.number = number;
        start.firstK = db.FirstK();
        start.previousLastK = previousLastK;
        if (db.FirstK() > doneK)
            start.missingK = FirstListedKBetween(int64_t{1} << n, doneK + 1, db.FirstK());
        return start;
    }
    return start;
}

}  // namespace varnesk
