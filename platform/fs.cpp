#include "platform/fs.h"

#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

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

int CreateTempBeside(const std::string& path, std::string& tempPath) {
    tempPath = path + ".XXXXXX";
    // mkostemp opens with O_CREAT|O_EXCL: a name that exists in any form,
    // a dangling link included, is skipped for another.
    int fd = ::mkostemp(tempPath.data(), O_CLOEXEC);
    if (fd < 0) tempPath.clear();
    return fd;
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
