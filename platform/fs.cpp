#include "platform/fs.h"

#include <sys/stat.h>

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

}  // namespace varnesk
