// The form's device beside a job's threads, kept apart from the Qt files
// (whose "slots" keyword the engine's headers cannot be read under).
#pragma once
#include <memory>

namespace varnesk {

class CGfnThread;
struct JobRequest;

// With a wide-math request: the GPU that OpenCL offers (--device auto),
// added to the worker with its log line. The holder keeps it; it must
// outlive the job. Null when the job runs on the CPU alone.
std::shared_ptr<void> AttachFormDevice(CGfnThread& worker, const JobRequest& request);

}  // namespace varnesk
