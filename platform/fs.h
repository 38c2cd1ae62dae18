// File-system stand-ins: existence test, the system's text for an error, and
// the pieces of a safe whole-file replacement.
#pragma once
#include <string>

namespace varnesk {

// True when something of that name exists (a file or a directory). An empty
// path is false without touching the file system.
bool PathExists(const std::string& path);

// The system's description of an errno value (strerror), never null.
std::string ErrorText(int errorNumber);

// The folder that holds path ("." for a bare name, "/" for the root).
std::string FolderOf(const std::string& path);
// The last part of path, after its last slash.
std::string BaseName(const std::string& path);

// A new file beside path with a name no one else has
// (path + ".varnesk-tmp-XXXXXX", created with O_CREAT|O_EXCL, so that
// neither an existing file nor a symbolic link planted there is ever
// written through), locked while its descriptor is open. Returns the open
// descriptor and its name, or -1 with errno set.
int CreateTempBeside(const std::string& path, std::string& tempPath);

// Removes the files that CreateTempBeside made beside path and that no
// open descriptor holds any more: what a process killed during a save left.
// Links, folders and every other name are left alone. Returns how many.
int RemoveStaleTempsBeside(const std::string& path);

// The mode a new file gets from open(..., 0666) under the process's umask;
// a file made through CreateTempBeside (mode 0600) is given it before it
// takes the place of a new file.
unsigned NewFileMode();

// Makes a rename in path's folder durable; file systems that refuse fsync
// on a folder are tolerated.
void SyncFolderOf(const std::string& path);

// What a name stands for, with the reason when it cannot be looked at.
enum class PathKind { Missing, Regular, Folder, Other, Unreadable };
struct PathState {
    PathKind kind = PathKind::Missing;
    int error = 0;  // errno when Unreadable (a loop of links, no permission, ...)
};
PathState InspectPath(const std::string& path);

}  // namespace varnesk
