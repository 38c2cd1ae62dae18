// Shared by the packed K tests: a scratch folder, a sink that keeps every
// posted text, raw access to file bytes, and hand-built packed K files.
#pragma once
#include <fcntl.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "packedk/packedkdb.h"
#include "platform/post.h"
#include "tests/support/scratch.h"

namespace varnesk::pktest {

using testsupport::ScratchFolder;

// The log lines are the texts other than progress records.
class CollectingSink : public testsupport::RecordingSink {
public:
    std::vector<std::string> LogLines() const { return Logs(); }
};

inline void PutBytes(const std::string& path, uint64_t offset, const void* data, size_t size) {
    int fd = ::open(path.c_str(), O_WRONLY | O_CREAT, 0644);
    ASSERT_GE(fd, 0) << path;
    ASSERT_EQ(::pwrite(fd, data, size, static_cast<off_t>(offset)), static_cast<ssize_t>(size));
    ::close(fd);
}

template <typename T>
T GetAt(const std::string& path, uint64_t offset) {
    T value{};
    int fd = ::open(path.c_str(), O_RDONLY);
    EXPECT_GE(fd, 0) << path;
    if (fd < 0) return value;
    EXPECT_EQ(::pread(fd, &value, sizeof value, static_cast<off_t>(offset)), static_cast<ssize_t>(sizeof value));
    ::close(fd);
    return value;
}

inline uint32_t DataWord(const std::string& path, uint64_t index) {
    return GetAt<uint32_t>(path, kPackedKHeaderBytes + 4 * index);
}

// A 40-byte header written by hand (length of the file: at least 40 bytes).
inline void PutHeader(const std::string& path, uint32_t valueCount, int64_t firstK, int64_t exponent,
                      int64_t lastK) {
    unsigned char header[40] = {};
    std::memcpy(header + 0, &valueCount, 4);
    std::memcpy(header + 8, &firstK, 8);
    std::memcpy(header + 16, &exponent, 8);
    std::memcpy(header + 24, &lastK, 8);
    std::memcpy(header + 32, &exponent, 8);
    PutBytes(path, 0, header, sizeof header);
}

// A closed packed K file holding values (ascending, neighbours at most 1023
// apart). False with a failure recorded when it cannot be made.
inline bool MakePackedFile(const std::string& path, const std::vector<int64_t>& values, int64_t exponent = 8192) {
    CPackedKDB db;
    db.SetFileName(path);
    std::string error;
    if (values.empty() || !db.InitOpenNewFile(values[0], exponent, error)) {
        ADD_FAILURE() << "cannot make " << path << ": " << error;
        return false;
    }
    for (size_t i = 1; i < values.size(); ++i) {
        if (!db.WriteNew64KValue(values[i], error)) {
            ADD_FAILURE() << "cannot append to " << path << ": " << error;
            return false;
        }
    }
    db.CloseDB();
    return true;
}

// Every value of a file, read from the start.
inline std::vector<int64_t> ReadAllValues(const std::string& path) {
    CPackedKDB db;
    db.SetFileName(path);
    std::string error;
    std::vector<int64_t> values;
    if (!db.ReadOpenDB(error)) {
        ADD_FAILURE() << error;
        return values;
    }
    int64_t k = 0;
    while (db.ReadNext64KValue(k, error)) values.push_back(k);
    EXPECT_EQ(values.size(), db.ValueCount());
    return values;
}

}  // namespace varnesk::pktest
