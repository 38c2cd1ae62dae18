// What OpenCL offers and the choice among it (--device, VARNESK_DEVICE),
// and one device's context, queue and sieve program, its binary cached per
// device, driver and source.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace varnesk::gpu {

struct DeviceInfo {
    int platform = 0, device = 0;
    std::string platformName, name, version, driver;
    bool gpuType = false;  // a GPU or an accelerator, not OpenCL on the CPU
    int computeUnits = 0;
    uint64_t memory = 0;
    // "0:1 NAME (PLATFORM, OpenCL 3.0, driver 1.2, GPU)".
    std::string Describe() const;
    // "NAME (0:1)", for log lines and producer names.
    std::string ShortName() const;
};

// Every device of every platform; empty when there is no OpenCL (no loader
// or no platform), with why in `why` when asked.
std::vector<DeviceInfo> ListDevices(std::string* why = nullptr);

struct DeviceChoice {
    enum Kind { kAuto, kCpu, kGpu } kind = kAuto;
    bool indexed = false;  // gpu:PLATFORM:DEVICE
    int platform = 0, device = 0;
};

// "auto", "cpu", "gpu" or "gpu:P:D"; false with a message naming the text.
bool ParseDeviceChoice(const std::string& text, DeviceChoice* choice, std::string* error);

// Whether OpenCL on the CPU counts as a device for auto and gpu (a test's
// hook, VARNESK_OPENCL_CPU=1): normally only GPUs and accelerators do, so
// that a machine with OpenCL on its CPU alone goes on sieving with its own
// threads.
bool CpuTypeDevicesAllowed();

// The device a choice names among `devices`: false with none for cpu, and
// for auto without a device; a refusal in `error` for gpu without one.
bool ResolveDevice(const DeviceChoice& choice, const std::vector<DeviceInfo>& devices, bool allowCpuType,
                   DeviceInfo* chosen, std::string* error);

// One device with the sieve's program built for it.
class Program {
public:
    // Builds (or loads from the cache) the program for the device; null with
    // the reason on failure. cacheDir empty: the default (VARNESK_CL_CACHE,
    // else $XDG_CACHE_HOME/varnesk, else ~/.cache/varnesk). testHooks: the
    // tests' build, whose walks take a fault to inject; never a job's.
    static std::unique_ptr<Program> Open(const DeviceInfo& device, std::string* error,
                                         const std::string& cacheDir = {}, bool testHooks = false);
    ~Program();
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    // The OpenCL handles (void* keeps CL/cl.h out of the callers).
    void* Context() const { return context_; }
    void* Queue() const { return queue_; }
    // A kernel of the program by name; null when it has none.
    void* Kernel(const std::string& name);
    bool FromCache() const { return fromCache_; }
    bool TestHooks() const { return testHooks_; }
    const DeviceInfo& Device() const { return info_; }

private:
    Program() = default;
    DeviceInfo info_;
    void* context_ = nullptr;
    void* queue_ = nullptr;
    void* program_ = nullptr;
    std::vector<std::pair<std::string, void*>> kernels_;
    bool fromCache_ = false;
    bool testHooks_ = false;
};

// The name of an OpenCL error code ("CL_OUT_OF_RESOURCES"), or its number.
std::string ClErrorName(int code);

// The kernels' source, as built into the program.
const char* SieveSource();

}  // namespace varnesk::gpu
