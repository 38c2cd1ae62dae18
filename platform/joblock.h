// The locks a job holds for its whole life, so that a second job (from any
// front end, in any process) cannot write the same files at the same time.
// A file that is replaced by rename cannot carry the lock itself, so it is
// taken on "<file>.varnesk-lock" beside the file, and on the file itself
// while it exists, for its other names; a folder is locked itself.
#pragma once
#include <string>
#include <vector>

namespace varnesk {

class JobLock {
public:
    JobLock() = default;
    ~JobLock();
    JobLock(const JobLock&) = delete;
    JobLock& operator=(const JobLock&) = delete;

    // Exclusive lock for a file the job writes. False (message set) when
    // another job holds it or the lock cannot be made; role names the file
    // in the message ("Output File", ...).
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

private:
    bool LockInode(const std::string& path);
    struct Held {
        int fd;
        std::string lockFile;  // empty for a folder
    };
    std::vector<Held> held_;
};

}  // namespace varnesk
