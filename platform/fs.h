// File-system stand-ins: existence test and the system's text for an error.
#pragma once
#include <string>

namespace varnesk {

// True when something of that name exists (a file or a directory). An empty
// path is false without touching the file system.
bool PathExists(const std::string& path);

// The system's description of an errno value (strerror), never null.
std::string ErrorText(int errorNumber);

}  // namespace varnesk
