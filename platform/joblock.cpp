#include "platform/joblock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>

#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

namespace {
int LockNow(int fd, int operation) {
    int rc;
    do {
        rc = ::flock(fd, operation | LOCK_NB);
    } while (rc != 0 && errno == EINTR);
    return rc;
}

std::string InUse(const char* role, const std::string& path) {
    return StringPrintf("%s %s is in use by another job; only one job at a time may write it.", role, path.c_str());
}
}  // namespace

JobLock::~JobLock() { Release(); }

std::string JobLock::LockFileName(const std::string& path) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    if (ec) full = path;
    return full.string() + ".varnesk-lock";
}

bool JobLock::LockFile(const std::string& path, const char* role, std::string& message) {
    const std::string name = LockFileName(path);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            message = StringPrintf("%s %s cannot be locked for this job (%s): %s", role, path.c_str(), name.c_str(),
                                   ErrorText(errno).c_str());
            return false;
        }
        if (LockNow(fd, LOCK_EX) != 0) {
            ::close(fd);
            message = InUse(role, path);
            return false;
        }
        // The holder before us may have removed the file between our open
        // and our lock; then the lock is on a name no one else can see.
        struct stat mine, now;
        if (::fstat(fd, &mine) == 0 && ::stat(name.c_str(), &now) == 0 && mine.st_ino == now.st_ino &&
            mine.st_dev == now.st_dev) {
            if (LockInode(path)) {
                held_.push_back({fd, name});
                return true;
            }
            ::unlink(name.c_str());
            ::close(fd);
            message = InUse(role, path);
            return false;
        }
        ::close(fd);
    }
    message = InUse(role, path);
    return false;
}

// Hard links give one file several names, and so several lock files; the
// file itself is locked as well, so that every name of it meets the one
// lock. A file that does not exist yet has no other name.
bool JobLock::LockInode(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return true;
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return true;
    }
    if (LockNow(fd, LOCK_EX) != 0) {
        ::close(fd);
        return false;
    }
    held_.push_back({fd, std::string()});
    return true;
}

bool JobLock::IsHeld(const std::string& path) {
    JobLock probe;
    std::string message;
    return !probe.LockFile(path, "", message);
}

bool JobLock::LockFolder(const std::string& path, bool exclusive, const char* role, std::string& message) {
    int fd = ::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) {
        message = StringPrintf("%s %s cannot be opened: %s", role, path.c_str(), ErrorText(errno).c_str());
        return false;
    }
    if (LockNow(fd, exclusive ? LOCK_EX : LOCK_SH) != 0) {
        ::close(fd);
        message = InUse(role, path);
        return false;
    }
    held_.push_back({fd, std::string()});
    return true;
}

void JobLock::Release() {
    // Removed while still locked, so that no one can lock a name that is
    // about to disappear.
    for (auto it = held_.rbegin(); it != held_.rend(); ++it) {
        if (!it->lockFile.empty()) ::unlink(it->lockFile.c_str());
        ::close(it->fd);
    }
    held_.clear();
}

}  // namespace varnesk
