// What OpenCL offers and the choice among it (--device, VARNESK_DEVICE),
// and one device's context, queue and sieve program, its binary cached per
// device, driver and source in a file that proves what it holds.
#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "gpu/clwrap.h"

namespace varnesk::gpu {

struct DeviceInfo {
    int platform = 0, device = 0;
    std::string platformName, name, version, driver;
    bool gpuType = false;  // a GPU or an accelerator, not OpenCL on the CPU
    int computeUnits = 0;
    uint64_t memory = 0;
    size_t maxGroup = 0;  // the largest work-group it takes
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

struct ProgramOptions {
    // Empty: the default (VARNESK_CL_CACHE, else $XDG_CACHE_HOME/varnesk,
    // else ~/.cache/varnesk).
    std::string cacheDir;
    // False: built from source whatever the cache holds, and cached anew.
    bool useCache = true;
    // Empty: the kernels' own (SieveSource); tests build others.
    std::string source;
    // Built with VARNESK_TEST_HOOKS defined: the kernels' fault hooks for
    // the tests, which the shipped program never has.
    bool testHooks = false;
};

// One device with the sieve's program built for it: a context, a queue and
// every kernel of the source. A cached binary is used only when it proves
// to be what this program wrote for this device, driver and source (its
// header's key and checksum) and the driver builds every kernel from it;
// any other file in its place is removed, said in `log`, and the program
// built from source. Whether the kernels compute what they must is
// SelfCheck's business (selfcheck.h).
class Program {
public:
    // Null with the reason when the device cannot build the source.
    static std::unique_ptr<Program> Open(const DeviceInfo& device, const ProgramOptions& options,
                                         std::vector<std::string>* log, std::string* error);
    Program(const Program&) = delete;
    Program& operator=(const Program&) = delete;

    cl_context Context() const { return context_.Get(); }
    cl_command_queue Queue() const { return queue_.Get(); }
    // A kernel by name, to call; null when the program has none.
    ocl::Kernel* Find(const std::string& name);
    bool FromCache() const { return fromCache_; }
    bool TestHooks() const { return testHooks_; }
    const std::string& CachePath() const { return cachePath_; }
    // Removes the cached binary, which is then never trusted again (its
    // kernels failed their self-check). False with errno when it stays.
    bool RemoveCache() const;
    const DeviceInfo& Device() const { return info_; }

private:
    Program() = default;
    DeviceInfo info_;
    ocl::Context context_;
    ocl::Queue queue_;
    ocl::ProgramHandle program_;
    std::vector<ocl::Kernel> kernels_;
    std::string cachePath_;
    bool fromCache_ = false;
    bool testHooks_ = false;
};

// The names of the kernels a source defines, in order.
std::vector<std::string> KernelNames(const std::string& source);

// The key of a device's program from a source (device, driver, source and
// build options), and its cache file's name in a folder.
uint64_t ProgramKey(const DeviceInfo& device, const std::string& source, bool testHooks = false);
std::string CachePathOf(const std::string& folder, uint64_t key);
// The binary a cache file holds under key, or none, with why it cannot be
// used (why empty: there is no file). Never blocks, never reads more than
// its header says, nor anything that is no regular file.
std::vector<unsigned char> ReadCachedBinary(const std::string& path, uint64_t key, std::string* why);
// A cache file for a binary under key, replaced whole.
void WriteCachedBinary(const std::string& path, uint64_t key, const std::vector<unsigned char>& binary);

// The kernels' source, as built into the program.
const char* SieveSource();

}  // namespace varnesk::gpu
