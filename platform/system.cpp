#include "platform/system.h"

#include <dirent.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <cerrno>
#include <mutex>

namespace varnesk {

namespace {
std::mutex gPriorityMutex;
int gProcessNice = 0;
// Threads that asked to run a step below the process.
std::set<pid_t>& BelowNormalThreads() {
    static std::set<pid_t> threads;
    return threads;
}
pid_t CurrentTid() { return static_cast<pid_t>(::syscall(SYS_gettid)); }
}  // namespace

std::string ProgramPath() {
    char buf[4096];
    ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) return std::string();
    return std::string(buf, static_cast<size_t>(n));
}

void SetCurrentThreadBelowNormal() {
    std::lock_guard<std::mutex> lock(gPriorityMutex);
    pid_t tid = CurrentTid();
    BelowNormalThreads().insert(tid);
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), gProcessNice + 1 > 19 ? 19 : gProcessNice + 1);
}

void ForgetCurrentThreadPriority() {
    std::lock_guard<std::mutex> lock(gPriorityMutex);
    BelowNormalThreads().erase(CurrentTid());
}

bool SetProcessPriorityClass(int priorityChoice) {
    std::lock_guard<std::mutex> lock(gPriorityMutex);
    int nice = priorityChoice == 0 ? 19 : priorityChoice == 1 ? 10 : 0;
    bool ok = true;
    DIR* dir = ::opendir("/proc/self/task");
    if (!dir) return false;
    while (dirent* e = ::readdir(dir)) {
        if (e->d_name[0] == '.') continue;
        pid_t tid = static_cast<pid_t>(std::atoi(e->d_name));
        int value = BelowNormalThreads().count(tid) ? (nice + 1 > 19 ? 19 : nice + 1) : nice;
        // Lowering the nice value again needs privileges; report the refusal.
        if (::setpriority(PRIO_PROCESS, static_cast<id_t>(tid), value) != 0) ok = false;
    }
    ::closedir(dir);
    if (ok) gProcessNice = nice;
    return ok;
}

int CurrentPriorityClass() {
    errno = 0;
    const int nice = ::getpriority(PRIO_PROCESS, 0);
    if (errno != 0 || nice <= 0) return 2;
    return nice >= 19 ? 0 : 1;
}

}  // namespace varnesk
