// The locks a job holds for its whole life, so that a second job (from any
// front end, in any process) cannot write the same files at the same time.
// A file that is replaced by rename cannot carry the lock itself, so it is
// taken on "<file>.varnesk-lock" beside the file, and on the file itself for
// its other names (hard links). Each replacement made through
// CommitTempBeside passes the second lock on to the new file, so that every
// name of the job's files meets the lock for the job's whole life; a folder
// is locked itself.
#pragma once
#include <string>
#include <vector>

namespace varnesk {

class JobLock {
public:
    JobLock();
    ~JobLock();
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;

    // Exclusive lock for a file the job writes. False (message set) when
    // another job holds it (errno EWOULDBLOCK) or the lock cannot be made
    // (errno says why); role names the file in the message ("Output File",
    // ...).
    bool LockFile(const std::string& path, const char* role, std::string& message);
    // A folder: exclusive for a writer, shared for readers.
    bool LockFolder(const std::string& path, bool exclusive, const char* role, std::string& message);
    // Drops every lock, removing the lock files this object made.
    void Release();

    // The name of the lock file of path (beside the file it names, after
    // following links, so that two names of one file share one lock).
    static std::string LockFileName(const std::string& path);

    // True when a job (here or in another process) holds path's lock, or
    // the lock cannot be taken to find out. Holds nothing afterwards.
    static bool IsHeld(const std::string& path);

    // What a file that a lock of this process holds was when the lock was
    // taken, before the job touched it: new (absent then, or since replaced
    // whole with the user's consent, see NoteReplaced) or already there.
    // Unknown when no lock of this process holds path.
    enum class Origin { kUnknown, kNew, kExisting };
    static Origin OriginOf(const std::string& path);
    // The job replaced path whole, as the user agreed to: it counts as new.
    static void NoteReplaced(const std::string& path);

    // path was just renamed over by a new file, open at fd and locked since
    // it was made (CreateTempBeside): the lock of this process that holds
    // path goes on with the new file, and the old file's descriptor is let
    // go (its disk space with it). Takes fd, which is closed either way.
    static void TakeOverReplaced(const std::string& path, int fd);

private:
    bool LockInode(const std::string& path, int& fd);
    struct HeldFile {
        std::string path;      // as the job names it
        std::string lockFile;  // the name lock beside it
        int nameFd = -1;
        int inodeFd = -1;      // the file itself; -1 while it has no file
        bool existed = false;  // there when the lock was taken
        bool replaced = false;
    };
    std::vector<HeldFile> files_;
    std::vector<int> folders_;
};

}  // namespace varnesk
