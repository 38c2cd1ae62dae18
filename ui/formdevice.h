// The form's device beside a job's threads, kept apart from the Qt files
// (whose "slots" keyword the engine's headers cannot be read under).
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/numparse.h"

namespace varnesk {

class CGfnThread;
struct JobRequest;
namespace gpu {
class GpuProducer;
}

class FormDevice {
public:
    // A sieve's log says which device sieves: with a wide-math request and
    // the GPU wanted, the GPU that OpenCL offers (--device auto), added to
    // the worker; otherwise the CPU alone, and why. Null when the CPU alone
    // sieves. The holder keeps the device; it must outlive the job.
    static std::shared_ptr<FormDevice> Attach(CGfnThread& worker, const JobRequest& request, bool wanted);

    explicit FormDevice(std::unique_ptr<gpu::GpuProducer> producer);
    ~FormDevice();

    // "GPU 41%": the device's part of the p range from fromP to toP.
    std::string Share(UInt128 fromP, UInt128 toP, int32_t exponent) const;
    // What the device did; empty while it handed over no block.
    std::string Summary() const;

private:
    std::unique_ptr<gpu::GpuProducer> producer_;
};

// The log line of a sieve that the Options menu keeps on the CPU.
inline constexpr char kGpuSwitchedOff[] =
    "The CPU alone sieves, with this process's threads: \"Sieve on the GPU too\" is off in the Options menu.";

}  // namespace varnesk
