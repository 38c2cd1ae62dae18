// Failure injection for the tests of files/: a full disk during a save and
// memory that runs out while a candidate file is loaded. Production code
// never sets these; they are not part of the library's interface.
#pragma once
#include <cstddef>

namespace varnesk {
struct SieveJob;
}

namespace varnesk::files_internal {

enum class SaveStep { Open, Write, Flush, Sync, Close, Rename };

// Asked before each step of a candidate-file save; true makes that step fail
// the way the system would report it (a Write failure leaves a partly
// written temporary file behind for the save to clean up).
using SaveFaultHook = bool (*)(SaveStep step);
extern SaveFaultHook gSaveFault;
// The job whose candidate file the hook's thread is saving, while it does:
// a save may run on a thread of its own, from a copy.
extern thread_local const SieveJob* gSavingJob;

// Tables of the candidate reader with more 32-bit words than this are
// refused as if memory were exhausted. 0 means no limit.
extern size_t gAllocationLimitWords;

}  // namespace varnesk::files_internal
