// What a front end needs to sieve on a device: the choice from --device or
// VARNESK_DEVICE, the producer added to the job with a log line naming the
// device, the share of the job's range it took, and the list of devices.
#pragma once
#include <memory>
#include <string>

#include "engine/worker.h"
#include "gpu/producer.h"

namespace varnesk::gpu {

struct DeviceSetup {
    bool ok = true;     // false: refused, error says why
    std::string error;
    std::unique_ptr<GpuProducer> producer;  // null: the job's threads alone
    std::string notice;  // a line for the job's log, or empty
};

// option: the --device text, empty for VARNESK_DEVICE or else auto. auto
// takes a GPU (or accelerator) when OpenCL offers one, else the CPU; gpu
// without one is refused. path: the CPU kernels of the device's audit.
// hold: its part of the window in blocks (0: by the blocks' size).
DeviceSetup SetUpDevice(const std::string& option, KernelPath path, int hold = 0);

// The device the same choice names: false with none (cpu, or auto without
// a GPU), and setup.ok false with setup.error when it is refused.
bool ChosenDevice(const std::string& option, DeviceInfo* chosen, DeviceSetup& setup);

// A standard-math job's choice: checked as any other, but OpenCL is never
// asked, since that sieve runs on the CPU alone; a choice of a GPU gives no
// refusal but a notice saying that it is not used.
DeviceSetup StandardMathDevice(const std::string& option);

// Adds the producer to a wide-math job and says so in its log; a standard
// -math job stays on the CPU, and its log says that instead.
void AttachDevice(CGfnThread& worker, GpuProducer& producer);

// "GPU 41%": the device's part of the p range from fromP to toP.
std::string ShareText(const GpuProducer& producer, UInt128 fromP, UInt128 toP, int32_t exponent);

// What the device did: blocks, primes, audits and what they and the check
// of its primes cost the CPU, launches, splits, the longest launch and how
// long the device was busy, by its own clock, against its time in the job.
std::string DeviceSummary(const GpuProducer& producer);

// The devices OpenCL offers, one a line, and which one auto takes.
std::string DeviceListText();

// The log line of a wide-math job that auto leaves to the CPU: why no
// device sieves beside its threads.
std::string CpuAloneText();

}  // namespace varnesk::gpu
