// File-system stand-ins: existence test, the system's text for an error, and
// the pieces of a safe whole-file replacement.
#pragma once
#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

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
// (path + ".varnesk-tmp-XXXXXX": four letters at random and two that check
// them against path's name; created with O_CREAT|O_EXCL, so that neither an
// existing file nor a symbolic link planted there is ever written through),
// locked while a descriptor of it is open. Every file the program replaces
// whole is first written to one of these. Returns the open descriptor and
// its name, or -1 with errno set.
int CreateTempBeside(const std::string& path, std::string& tempPath);

// Ends the replacement that CreateTempBeside began once fd holds the whole
// new file, synced: closes fd, renames the temporary over path and syncs the
// folder. A job of this process that holds path's lock goes on holding the
// new file (JobLock::TakeOverReplaced). With written false, or on a failure
// (false, errno set), the temporary is removed and path stays as it was.
bool CommitTempBeside(int fd, const std::string& tempPath, const std::string& path, bool written = true);

// Tells a leftover temporary of one kind of file by its first bytes (at
// most kTempHeadBytes, fewer when the file is shorter; never empty).
using TempCheck = std::function<bool(std::string_view head)>;
inline constexpr size_t kTempHeadBytes = 4096;
// The check for a kind whose every writer begins its file with start: a
// head that begins with it, or that start begins with (a first write cut
// short).
bool BeginsAs(std::string_view head, std::string_view start);

// Removes the temporaries that CreateTempBeside made beside path and that
// no descriptor holds any more (what a process killed while writing one
// left): a name that passes the check of its letters, and content that
// begins as ours of that kind does (or none: nothing is lost with it).
// Another's file of such a name, links, folders and every other name are
// left alone. Returns how many.
int RemoveStaleTempsBeside(const std::string& path, const TempCheck& ours);

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
