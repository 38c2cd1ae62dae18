#include "platform/mapping.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace varnesk {

int OpenLockedFile(const std::string& path, OpenMode mode) {
    int flags = O_CLOEXEC;
    int lock = LOCK_EX | LOCK_NB;
    switch (mode) {
        case OpenMode::CreateNew: flags |= O_RDWR | O_CREAT | O_EXCL; break;
        case OpenMode::ReadWrite: flags |= O_RDWR; break;
        case OpenMode::ReadOnly:
            flags |= O_RDONLY;
            lock = LOCK_SH | LOCK_NB;
            break;
    }
    int fd;
    do {
        fd = ::open(path.c_str(), flags, 0666);
    } while (fd < 0 && errno == EINTR);
    if (fd < 0) return -1;
    int rc;
    do {
        rc = ::flock(fd, lock);
    } while (rc != 0 && errno == EINTR);
    if (rc != 0) {
        CloseFile(fd);
        return -1;
    }
    return fd;
}

bool FileLength(int fd, uint64_t& length) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    length = static_cast<uint64_t>(st.st_size);
    return true;
}

bool GrowFile(int fd, uint64_t length) {
    uint64_t current = 0;
    if (!FileLength(fd, current)) return false;
    if (current > length) return true;
    // Reserved, not merely grown: a sparse file would fault with SIGBUS on
    // the first store into a page the full disk can no longer give. Blocks
    // already allocated are left as they are, so an older sparse file is
    // filled in too.
    int rc = ::posix_fallocate(fd, 0, static_cast<off_t>(length));
    if (rc != 0) {
        errno = rc;
        return false;
    }
    return true;
}

void* MapFile(int fd, uint64_t length, bool writable) {
    if (length == 0) {
        errno = EINVAL;
        return nullptr;
    }
    int prot = writable ? PROT_READ | PROT_WRITE : PROT_READ;
    void* view = ::mmap(nullptr, static_cast<size_t>(length), prot, MAP_SHARED, fd, 0);
    return view == MAP_FAILED ? nullptr : view;
}

bool FlushView(void* view, uint64_t length) {
    return view && ::msync(view, static_cast<size_t>(length), MS_SYNC) == 0;
}

void UnmapFile(void* view, uint64_t length) {
    if (!view) return;
    int saved = errno;
    ::munmap(view, static_cast<size_t>(length));
    errno = saved;
}

void CloseFile(int fd) {
    if (fd < 0) return;
    int saved = errno;
    ::close(fd);
    errno = saved;
}

}  // namespace varnesk
