#include "files/textfile.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "platform/fs.h"

namespace varnesk {

namespace {
// Lines come back in pieces of at most 389 characters: fgets with room for
// 389 characters and the terminating zero.
constexpr int kLineBuffer = 390;
constexpr size_t kReserve = 400;
}  // namespace

int DosObjC::Exists() const { return PathExists(path_) ? 1 : 0; }

TextFileC::~TextFileC() { Close(); }

bool TextFileC::Open(const char* mode) {
    Close();
    if (!mode) return false;
    // The 't' of the text modes means nothing to a POSIX fopen.
    std::string posixMode;
    for (const char* c = mode; *c; ++c)
        if (*c != 't') posixMode += *c;
    stream_ = std::fopen(path_.c_str(), posixMode.c_str());
    return stream_ != nullptr;
}

int TextFileC::ReadLine(std::string& text) {
    if (!stream_) {
        text.clear();
        return 0;
    }
    text.reserve(kReserve);
    if (std::feof(stream_)) {
        text.clear();
        return 1;
    }
    char buffer[kLineBuffer];
    if (!std::fgets(buffer, kLineBuffer, stream_)) {
        // End of file or a read error: either way no lines are left.
        text.clear();
        return 1;
    }
    text.assign(buffer, std::strlen(buffer));
    return 1;
}

bool TextFileC::Close() {
    if (!stream_) return true;
    bool ok = std::fclose(stream_) == 0;
    stream_ = nullptr;
    return ok;
}

bool ReplaceFileText(const std::string& path, std::string_view bytes, int* error) {
    std::string temp;
    const int fd = CreateTempBeside(path, temp);
    if (fd < 0) {
        *error = errno;
        return false;
    }
    struct stat old;
    ::fchmod(fd, (::stat(path.c_str(), &old) == 0 ? old.st_mode : NewFileMode()) & 07777);
    int code = 0;
    for (size_t done = 0; done < bytes.size() && code == 0;) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n == 0 || errno != EINTR)
            code = n == 0 ? EIO : errno;
    }
    if (code == 0 && ::fsync(fd) != 0) code = errno;
    errno = code;
    if (!CommitTempBeside(fd, temp, path, code == 0)) {
        *error = errno ? errno : EIO;
        return false;
    }
    return true;
}

}  // namespace varnesk
