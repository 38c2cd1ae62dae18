#include "platform/joblock.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <filesystem>
#include <mutex>

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

// Every JobLock of the process, so that a save on any thread can pass the
// lock of the file it replaced on to the new one; the mutex guards their
// files_. Never destroyed: a lock may outlive the statics at exit.
std::mutex& LocksMutex() {
    static std::mutex* mutex = new std::mutex;
    return *mutex;
}
std::vector<JobLock*>& Locks() {
    static std::vector<JobLock*>* locks = new std::vector<JobLock*>;
    return *locks;
}
}  // namespace

JobLock::JobLock() {
    std::lock_guard<std::mutex> guard(LocksMutex());
    Locks().push_back(this);
}

JobLock::~JobLock() {
    Release();
    std::lock_guard<std::mutex> guard(LocksMutex());
    Locks().erase(std::find(Locks().begin(), Locks().end(), this));
}

std::string JobLock::LockFileName(const std::string& path) {
    std::error_code ec;
    std::filesystem::path full = std::filesystem::weakly_canonical(std::filesystem::absolute(path, ec), ec);
    if (ec) full = path;
    return full.string() + ".varnesk-lock";
}

bool JobLock::LockFile(const std::string& path, const char* role, std::string& message) {
    // Before anything of the job's is made: whether the file was there
    // decides, for instance, what a factor file begins with.
    struct stat st;
    const bool existed = ::stat(path.c_str(), &st) == 0;
    const std::string name = LockFileName(path);
    for (int attempt = 0; attempt < 8; ++attempt) {
        int fd = ::open(name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            const int error = errno;
            message = StringPrintf("%s %s cannot be locked for this job (%s): %s", role, path.c_str(), name.c_str(),
                                   ErrorText(error).c_str());
            errno = error;
            return false;
        }
        if (LockNow(fd, LOCK_EX) != 0) {
            ::close(fd);
            message = InUse(role, path);
            errno = EWOULDBLOCK;
            return false;
        }
        // The holder before us may have removed the file between our open
        // and our lock; then the lock is on a name no one else can see.
        struct stat mine, now;
        if (::fstat(fd, &mine) == 0 && ::stat(name.c_str(), &now) == 0 && mine.st_ino == now.st_ino &&
            mine.st_dev == now.st_dev) {
            int inodeFd = -1;
            if (LockInode(path, inodeFd)) {
                std::lock_guard<std::mutex> guard(LocksMutex());
                files_.push_back({path, name, fd, inodeFd, existed, false});
                return true;
            }
            ::unlink(name.c_str());
            ::close(fd);
            message = InUse(role, path);
            errno = EWOULDBLOCK;
            return false;
        }
        ::close(fd);
    }
    message = InUse(role, path);
    errno = EWOULDBLOCK;
    return false;
}

// Hard links give one file several names, and so several lock files; the
// file itself is locked as well, so that every name of it meets the one
// lock. A file that does not exist yet has no other name: it is locked once
// it is made (TakeOverReplaced).
bool JobLock::LockInode(const std::string& path, int& inodeFd) {
    inodeFd = -1;
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
    inodeFd = fd;
    return true;
}

bool JobLock::IsHeld(const std::string& path) {
    JobLock probe;
    std::string message;
    return !probe.LockFile(path, "", message);
}

JobLock::Origin JobLock::OriginOf(const std::string& path) {
    const std::string name = LockFileName(path);
    std::lock_guard<std::mutex> guard(LocksMutex());
    for (const JobLock* lock : Locks())
        for (const HeldFile& f : lock->files_)
            if (f.lockFile == name || f.path == path)
                return f.existed && !f.replaced ? Origin::kExisting : Origin::kNew;
    return Origin::kUnknown;
}

void JobLock::NoteReplaced(const std::string& path) {
    const std::string name = LockFileName(path);
    std::lock_guard<std::mutex> guard(LocksMutex());
    for (JobLock* lock : Locks())
        for (HeldFile& f : lock->files_)
            if (f.lockFile == name || f.path == path) f.replaced = true;
}

void JobLock::TakeOverReplaced(const std::string& path, int fd) {
    if (fd < 0) return;
    const std::string name = LockFileName(path);
    {
        std::lock_guard<std::mutex> guard(LocksMutex());
        for (JobLock* lock : Locks())
            for (HeldFile& f : lock->files_) {
                if (f.lockFile != name && f.path != path) continue;
                // One step: the new file is held before the old one is let go.
                if (f.inodeFd >= 0)
                    ::dup3(fd, f.inodeFd, O_CLOEXEC);
                else
                    f.inodeFd = ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
            }
    }
    ::close(fd);
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
    std::lock_guard<std::mutex> guard(LocksMutex());
    folders_.push_back(fd);
    return true;
}

void JobLock::Release() {
    std::lock_guard<std::mutex> guard(LocksMutex());
    for (auto it = folders_.rbegin(); it != folders_.rend(); ++it) ::close(*it);
    folders_.clear();
    // Removed while still locked, so that no one can lock a name that is
    // about to disappear.
    for (auto it = files_.rbegin(); it != files_.rend(); ++it) {
        ::unlink(it->lockFile.c_str());
        if (it->inodeFd >= 0) ::close(it->inodeFd);
        ::close(it->nameFd);
    }
    files_.clear();
}

}  // namespace varnesk
