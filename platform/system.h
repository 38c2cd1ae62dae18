// Process-level stand-ins: the program's own path and priorities.
#pragma once
#include <string>

namespace varnesk {

// The running program's full path (from /proc/self/exe); empty on failure.
std::string ProgramPath();

// Gives the calling thread a nice value one step below that of the process
// (the worker runs one step below normal).
void SetCurrentThreadBelowNormal();
// Called by such a thread before it ends, so that a later thread that gets
// its id is not taken for it.
void ForgetCurrentThreadPriority();

// Priority classes of the form's menu: 2 normal, 1 below normal, 0 idle.
// Applied as nice values 0, 10 and 19 to every thread of the process, the
// worker keeping its step below. Returns false when the system refused.
bool SetProcessPriorityClass(int priorityChoice);
// The class in force for the process as the system has it now: nice 0 or
// below is normal, 19 idle, anything between below normal.
int CurrentPriorityClass();

}  // namespace varnesk
