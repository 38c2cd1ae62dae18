// Files used through a memory mapping. Whole-file advisory locks stand in
// for the exclusive (writer) and read-shared (reader) opens: a writer holds
// flock(LOCK_EX), a reader flock(LOCK_SH), both non-blocking, so a refused
// open fails at once with EWOULDBLOCK. Every failure leaves errno set and
// holds nothing open; the release calls keep errno as it was.
#pragma once
#include <cstdint>
#include <string>

namespace varnesk {

enum class OpenMode {
    CreateNew,  // read-write, only when absent (O_CREAT|O_EXCL), exclusive
    ReadWrite,  // existing file, exclusive
    ReadOnly,   // existing file, shared with other readers
};

// A file descriptor holding the lock, or -1.
int OpenLockedFile(const std::string& path, OpenMode mode);
bool FileLength(int fd, uint64_t& length);
// Extends a shorter file with zero bytes to length and reserves the disk
// space of all of it (posix_fallocate); a longer one is left alone. False
// with errno set (ENOSPC on a full disk).
bool GrowFile(int fd, uint64_t length);
// MAP_SHARED view of the first length bytes, or nullptr. A length of 0
// fails with EINVAL.
void* MapFile(int fd, uint64_t length, bool writable);
// Writes the view's changed pages to the file and waits for them.
bool FlushView(void* view, uint64_t length);
void UnmapFile(void* view, uint64_t length);
// Closing releases the lock.
void CloseFile(int fd);

}  // namespace varnesk
