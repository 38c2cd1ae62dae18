#include "platform/fs.h"

#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <random>
#include <cstring>

#include "platform/joblock.h"

namespace varnesk {

bool PathExists(const std::string& path) {
    if (path.empty()) return false;
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

std::string ErrorText(int errorNumber) {
    char buf[256];
    // GNU strerror_r returns the text, which may not be buf.
    const char* text = ::strerror_r(errorNumber, buf, sizeof buf);
    return text ? std::string(text) : std::string();
}

std::string FolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

std::string BaseName(const std::string& path) {
    const size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {
constexpr char kTempInfix[] = ".varnesk-tmp-";
// Six letters as mkstemp's: four at random, then two that a keyed hash of
// the file's name and those four gives. A name of the pattern that someone
// typed passes that check once in 3844 times.
constexpr size_t kTempRandom = 4, kTempCheck = 2;
constexpr char kTempLetters[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr uint64_t kLetterCount = sizeof kTempLetters - 1;

std::string TempCheckOf(const std::string& base, std::string_view random) {
    uint64_t h = 14695981039346656037ull;
    auto feed = [&](std::string_view text) {
        for (unsigned char c : text) {
            h ^= c;
            h *= 1099511628211ull;
        }
    };
    feed("varnesk temporary\n");
    feed(base);
    feed(std::string_view("/", 1));
    feed(random);
    const uint64_t at = (h >> 17) % (kLetterCount * kLetterCount);
    return {kTempLetters[at / kLetterCount], kTempLetters[at % kLetterCount]};
}

std::string RandomLetters() {
    thread_local std::mt19937_64 generator{
        std::random_device{}() ^ (static_cast<uint64_t>(::getpid()) << 32) ^
        static_cast<uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count())};
    std::string letters(kTempRandom, ' ');
    for (char& c : letters) c = kTempLetters[generator() % kLetterCount];
    return letters;
}

// Whether name (in the folder of a file whose last part is base) is one
// that CreateTempBeside makes for that file.
bool IsTempNameOf(const std::string& base, const std::string& name) {
    const std::string prefix = base + kTempInfix;
    if (name.size() != prefix.size() + kTempRandom + kTempCheck || name.compare(0, prefix.size(), prefix) != 0)
        return false;
    const std::string_view letters = std::string_view(name).substr(prefix.size());
    return TempCheckOf(base, letters.substr(0, kTempRandom)) == letters.substr(kTempRandom);
}
}  // namespace

int CreateTempBeside(const std::string& path, std::string& tempPath) {
    const std::string base = BaseName(path);
    for (int attempt = 0; attempt < 1000; ++attempt) {
        const std::string random = RandomLetters();
        tempPath = path + kTempInfix + random + TempCheckOf(base, random);
        // O_EXCL: a name that exists in any form, a dangling link included,
        // is skipped for another.
        const int fd = ::open(tempPath.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
        if (fd < 0) {
            if (errno == EEXIST) continue;
            break;
        }
        // Held for as long as a descriptor is open: the mark of a file that
        // is still being written (the lock goes with a killed process). A
        // sweep that took the new, empty file first may have removed it.
        int rc;
        do {
            rc = ::flock(fd, LOCK_EX);
        } while (rc != 0 && errno == EINTR);
        struct stat mine, named;
        if (::fstat(fd, &mine) == 0 && ::lstat(tempPath.c_str(), &named) == 0 && mine.st_ino == named.st_ino &&
            mine.st_dev == named.st_dev)
            return fd;
        ::close(fd);
    }
    const int error = errno;
    tempPath.clear();
    errno = error;
    return -1;
}

bool CommitTempBeside(int fd, const std::string& tempPath, const std::string& path, bool written) {
    // A second descriptor keeps the new file locked past the close, until
    // the job's lock has it.
    const int held = written ? ::fcntl(fd, F_DUPFD_CLOEXEC, 0) : -1;
    bool ok = written && held >= 0;
    int error = ok ? 0 : errno;
    if (::close(fd) != 0 && ok) {
        ok = false;
        error = errno;
    }
    if (ok && std::rename(tempPath.c_str(), path.c_str()) != 0) {
        ok = false;
        error = errno;
    }
    if (!ok) {
        ::unlink(tempPath.c_str());
        if (held >= 0) ::close(held);
        errno = error;
        return false;
    }
    JobLock::TakeOverReplaced(path, held);
    SyncFolderOf(path);
    return true;
}

bool BeginsAs(std::string_view head, std::string_view start) {
    if (head.size() >= start.size()) return head.substr(0, start.size()) == start;
    return start.substr(0, head.size()) == head;
}

int RemoveStaleTempsBeside(const std::string& path, const TempCheck& ours) {
    const std::string folder = FolderOf(path);
    const std::string base = BaseName(path);
    DIR* dir = ::opendir(folder.c_str());
    if (!dir) return 0;
    int removed = 0;
    std::string head(kTempHeadBytes, '\0');
    while (const dirent* entry = ::readdir(dir)) {
        const std::string name = entry->d_name;
        if (!IsTempNameOf(base, name)) continue;
        const std::string full = folder + "/" + name;
        // Not through a link, and only a regular file that nobody holds.
        const int fd = ::open(full.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
        if (fd < 0) continue;
        struct stat st, now;
        bool stale = ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ::flock(fd, LOCK_EX | LOCK_NB) == 0;
        if (stale) {
            const ssize_t got = ::pread(fd, head.data(), head.size(), 0);
            stale = got == 0 || (got > 0 && ours(std::string_view(head.data(), static_cast<size_t>(got))));
        }
        // Still the file that was looked at under that name.
        stale = stale && ::lstat(full.c_str(), &now) == 0 && now.st_ino == st.st_ino && now.st_dev == st.st_dev;
        if (stale && ::unlink(full.c_str()) == 0) ++removed;
        ::close(fd);
    }
    ::closedir(dir);
    return removed;
}

unsigned NewFileMode() {
    // Read once: umask can only be read by setting it, which must not race
    // with files being made on other threads later on.
    static const unsigned mode = [] {
        mode_t mask = ::umask(0);
        ::umask(mask);
        return 0666u & ~static_cast<unsigned>(mask);
    }();
    return mode;
}

void SyncFolderOf(const std::string& path) {
    int fd = ::open(FolderOf(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

PathState InspectPath(const std::string& path) {
    PathState s;
    struct stat st;
    if (path.empty()) return s;
    if (::stat(path.c_str(), &st) != 0) {
        if (errno != ENOENT) {
            s.kind = PathKind::Unreadable;
            s.error = errno;
        }
        return s;
    }
    s.kind = S_ISREG(st.st_mode) ? PathKind::Regular : S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
    return s;
}

}  // namespace varnesk
