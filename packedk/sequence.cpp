#include "packedk/sequence.h"

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

}  // namespace varnesk
