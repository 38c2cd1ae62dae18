#include "gpu/opencl.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/fs.h"
#include "platform/numparse.h"
#include "platform/post.h"

namespace varnesk::gpu {

namespace {

std::string PlatformText(cl_platform_id id, cl_platform_info what) {
    size_t size = 0;
    if (clGetPlatformInfo(id, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    clGetPlatformInfo(id, what, size, text.data(), nullptr);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::string DeviceText(cl_device_id id, cl_device_info what) {
    size_t size = 0;
    if (clGetDeviceInfo(id, what, 0, nullptr, &size) != CL_SUCCESS || size == 0) return {};
    std::string text(size, '\0');
    clGetDeviceInfo(id, what, size, text.data(), nullptr);
    text.resize(std::strlen(text.c_str()));
    return text;
}

std::vector<cl_platform_id> Platforms() {
    cl_uint count = 0;
    if (clGetPlatformIDs(0, nullptr, &count) != CL_SUCCESS || count == 0) return {};
    std::vector<cl_platform_id> ids(count);
    if (clGetPlatformIDs(count, ids.data(), nullptr) != CL_SUCCESS) return {};
    return ids;
}

std::vector<cl_device_id> DevicesOf(cl_platform_id platform) {
    cl_uint count = 0;
    if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, 0, nullptr, &count) != CL_SUCCESS || count == 0) return {};
    std::vector<cl_device_id> ids(count);
    if (clGetDeviceIDs(platform, CL_DEVICE_TYPE_ALL, count, ids.data(), nullptr) != CL_SUCCESS) return {};
    return ids;
}

cl_device_id DeviceId(const DeviceInfo& info) {
    const std::vector<cl_platform_id> platforms = Platforms();
    if (info.platform < 0 || static_cast<size_t>(info.platform) >= platforms.size()) return nullptr;
    const std::vector<cl_device_id> devices = DevicesOf(platforms[static_cast<size_t>(info.platform)]);
    if (info.device < 0 || static_cast<size_t>(info.device) >= devices.size()) return nullptr;
    return devices[static_cast<size_t>(info.device)];
}

uint64_t Fnv1a(uint64_t h, const unsigned char* bytes, size_t size) {
    for (size_t i = 0; i < size; ++i) {
        h ^= bytes[i];
        h *= 0x100000001b3ULL;
    }
    return h;
}

uint64_t Fnv1a(uint64_t h, const std::string& text) {
    // A separator after each field, so that fields cannot run into each other.
    return Fnv1a(h, reinterpret_cast<const unsigned char*>(text.data()), text.size()) ^ 0xff;
}

std::string CacheFolder(const std::string& given) {
    if (!given.empty()) return given;
    if (const char* env = std::getenv("VARNESK_CL_CACHE"); env && *env) return env;
    if (const char* xdg = std::getenv("XDG_CACHE_HOME"); xdg && *xdg) return std::string(xdg) + "/varnesk";
    if (const char* home = std::getenv("HOME"); home && *home) return std::string(home) + "/.cache/varnesk";
    return {};
}

void MakeFolders(const std::string& path) {
    for (size_t at = 1; at <= path.size(); ++at)
        if (at == path.size() || path[at] == '/') mkdir(path.substr(0, at).c_str(), 0755);
}

// A cache file: this header, then the driver's binary. The key is that of
// the file's name (device, driver, source, options), so that a file copied
// or renamed from another key is known; the checksum covers the binary
// under that key, so that a file cut short or damaged is known before the
// driver, which may crash on it, ever sees it.
constexpr char kCacheMagic[16] = {'V', 'a', 'r', 'n', 'e', 's', 'k', ' ', 'C', 'L', ' ', 'b', 'i', 'n', ' ', '1'};
constexpr size_t kCacheHeader = sizeof kCacheMagic + 3 * 8;
// Far above any real program's binary: a bound on what is read.
constexpr uint64_t kCacheLimit = uint64_t{1} << 30;

void PutWord(unsigned char* at, uint64_t value) {
    for (int i = 0; i < 8; ++i) at[i] = static_cast<unsigned char>(value >> (8 * i));
}

uint64_t GetWord(const unsigned char* at) {
    uint64_t value = 0;
    for (int i = 0; i < 8; ++i) value |= static_cast<uint64_t>(at[i]) << (8 * i);
    return value;
}

bool ReadFully(int fd, unsigned char* out, size_t size) {
    size_t done = 0;
    while (done < size) {
        const ssize_t n = read(fd, out + done, size - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

// The binary a cache file holds, or why it holds none that may be used
// (empty why and no binary: there is no file). Never blocks (a FIFO in its
// place) and never reads more than the header says, nor a header's worth
// from anything but a regular file.
}  // namespace

std::vector<unsigned char> ReadCachedBinary(const std::string& path, uint64_t key, std::string* why) {
    const int fd = open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT) *why = std::string("it cannot be opened: ") + std::strerror(errno);
        return {};
    }
    std::vector<unsigned char> binary;
    struct stat st {};
    unsigned char header[kCacheHeader];
    if (fstat(fd, &st) != 0) {
        *why = std::string("it cannot be read: ") + std::strerror(errno);
    } else if (!S_ISREG(st.st_mode)) {
        *why = S_ISDIR(st.st_mode) ? "a folder is in its place" : "it is not a regular file";
    } else if (static_cast<uint64_t>(st.st_size) < kCacheHeader || !ReadFully(fd, header, kCacheHeader)) {
        *why = "it is too short to be one";
    } else if (std::memcmp(header, kCacheMagic, sizeof kCacheMagic) != 0) {
        *why = "it is not one this program wrote";
    } else if (GetWord(header + 16) != key) {
        *why = "it was built from another source or for another device or driver";
    } else if (const uint64_t size = GetWord(header + 24); size == 0 || size > kCacheLimit ||
                                                           static_cast<uint64_t>(st.st_size) != kCacheHeader + size) {
        *why = "its length is not the one its header gives: it was cut short or added to";
    } else {
        binary.resize(size);
        if (!ReadFully(fd, binary.data(), binary.size())) {
            *why = "it cannot be read whole";
            binary.clear();
        } else if (Fnv1a(key, binary.data(), binary.size()) != GetWord(header + 32)) {
            *why = "its checksum does not match: it is damaged";
            binary.clear();
        }
    }
    close(fd);
    return binary;
}

// Beside and renamed, so that a program reading the cache never sees half a
// binary; a cache that cannot be written only costs the next start a build.
void WriteCachedBinary(const std::string& path, uint64_t key, const std::vector<unsigned char>& binary) {
    std::string temp;
    const int fd = CreateTempBeside(path, temp);
    if (fd < 0) return;
    unsigned char header[kCacheHeader];
    std::memcpy(header, kCacheMagic, sizeof kCacheMagic);
    PutWord(header + 16, key);
    PutWord(header + 24, binary.size());
    PutWord(header + 32, Fnv1a(key, binary.data(), binary.size()));
    bool ok = true;
    const std::pair<const unsigned char*, size_t> parts[] = {{header, kCacheHeader}, {binary.data(), binary.size()}};
    for (const auto& [data, size] : parts) {
        size_t done = 0;
        while (ok && done < size) {
            const ssize_t n = write(fd, data + done, size - done);
            if (n < 0 && errno == EINTR) continue;
            ok = n > 0;
            if (ok) done += static_cast<size_t>(n);
        }
    }
    CommitTempBeside(fd, temp, path, ok && fsync(fd) == 0);
}

namespace {

std::string BuildLog(cl_program program, cl_device_id id) {
    size_t size = 0;
    clGetProgramBuildInfo(program, id, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
    std::string log(size, '\0');
    if (size > 0) clGetProgramBuildInfo(program, id, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
    log.resize(std::strlen(log.c_str()));
    return log;
}

constexpr const char* kBuildOptions = "-cl-std=CL1.2";

std::string BuildOptions(bool testHooks) {
    return testHooks ? std::string(kBuildOptions) + " -DVARNESK_TEST_HOOKS" : std::string(kBuildOptions);
}
// The tests' build adds the walks' fault injection; the shipped one has none.
constexpr const char* kTestHookOptions = " -DVARNESK_TEST_HOOKS";

}  // namespace

std::string ClErrorName(int code) {
    switch (code) {
    case CL_DEVICE_NOT_FOUND: return "CL_DEVICE_NOT_FOUND";
    case CL_DEVICE_NOT_AVAILABLE: return "CL_DEVICE_NOT_AVAILABLE";
    case CL_COMPILER_NOT_AVAILABLE: return "CL_COMPILER_NOT_AVAILABLE";
    case CL_MEM_OBJECT_ALLOCATION_FAILURE: return "CL_MEM_OBJECT_ALLOCATION_FAILURE";
    case CL_OUT_OF_RESOURCES: return "CL_OUT_OF_RESOURCES";
    case CL_OUT_OF_HOST_MEMORY: return "CL_OUT_OF_HOST_MEMORY";
    case CL_BUILD_PROGRAM_FAILURE: return "CL_BUILD_PROGRAM_FAILURE";
    case CL_INVALID_VALUE: return "CL_INVALID_VALUE";
    case CL_INVALID_BINARY: return "CL_INVALID_BINARY";
    case CL_INVALID_KERNEL_NAME: return "CL_INVALID_KERNEL_NAME";
    case CL_INVALID_KERNEL_ARGS: return "CL_INVALID_KERNEL_ARGS";
    case CL_INVALID_WORK_GROUP_SIZE: return "CL_INVALID_WORK_GROUP_SIZE";
    case CL_INVALID_BUFFER_SIZE: return "CL_INVALID_BUFFER_SIZE";
    case CL_INVALID_GLOBAL_WORK_SIZE: return "CL_INVALID_GLOBAL_WORK_SIZE";
    case -1001: return "CL_PLATFORM_NOT_FOUND_KHR";
    default: return "OpenCL error " + std::to_string(code);
    }
}

std::string DeviceInfo::Describe() const {
    return StringPrintf("%d:%d %s (%s, %s, driver %s, %s, %d compute units, %llu MB)", platform, device, name.c_str(),
                        platformName.c_str(), version.c_str(), driver.c_str(), gpuType ? "GPU" : "CPU type",
                        computeUnits, static_cast<unsigned long long>(memory >> 20));
}

std::string DeviceInfo::ShortName() const { return StringPrintf("%s (%d:%d)", name.c_str(), platform, device); }

std::vector<DeviceInfo> ListDevices(std::string* why) {
    std::vector<DeviceInfo> out;
    const std::vector<cl_platform_id> platforms = Platforms();
    if (platforms.empty() && why) *why = "no OpenCL platform is installed";
    for (size_t p = 0; p < platforms.size(); ++p) {
        const std::vector<cl_device_id> devices = DevicesOf(platforms[p]);
        for (size_t d = 0; d < devices.size(); ++d) {
            DeviceInfo info;
            info.platform = static_cast<int>(p);
            info.device = static_cast<int>(d);
            info.platformName = PlatformText(platforms[p], CL_PLATFORM_NAME);
            info.name = DeviceText(devices[d], CL_DEVICE_NAME);
            info.version = DeviceText(devices[d], CL_DEVICE_VERSION);
            info.driver = DeviceText(devices[d], CL_DRIVER_VERSION);
            cl_device_type type = 0;
            clGetDeviceInfo(devices[d], CL_DEVICE_TYPE, sizeof type, &type, nullptr);
            info.gpuType = (type & (CL_DEVICE_TYPE_GPU | CL_DEVICE_TYPE_ACCELERATOR)) != 0;
            cl_uint units = 0;
            clGetDeviceInfo(devices[d], CL_DEVICE_MAX_COMPUTE_UNITS, sizeof units, &units, nullptr);
            info.computeUnits = static_cast<int>(units);
            cl_ulong memory = 0;
            clGetDeviceInfo(devices[d], CL_DEVICE_GLOBAL_MEM_SIZE, sizeof memory, &memory, nullptr);
            info.memory = memory;
            size_t maxGroup = 0;
            clGetDeviceInfo(devices[d], CL_DEVICE_MAX_WORK_GROUP_SIZE, sizeof maxGroup, &maxGroup, nullptr);
            info.maxGroup = maxGroup;
            out.push_back(info);
        }
    }
    if (!platforms.empty() && out.empty() && why) *why = "no OpenCL platform offers a device";
    return out;
}

bool ParseDeviceChoice(const std::string& text, DeviceChoice* choice, std::string* error) {
    DeviceChoice s;
    if (text == "auto") {
        s.kind = DeviceChoice::kAuto;
    } else if (text == "cpu") {
        s.kind = DeviceChoice::kCpu;
    } else if (text == "gpu") {
        s.kind = DeviceChoice::kGpu;
    } else if (text.rfind("gpu:", 0) == 0) {
        s.kind = DeviceChoice::kGpu;
        s.indexed = true;
        // Plain digits each, read whole: a number that does not fit is
        // refused, never wrapped onto another device.
        const std::string numbers = text.substr(4);
        const size_t colon = numbers.find(':');
        const std::string parts[2] = {numbers.substr(0, colon),
                                      colon == std::string::npos ? std::string() : numbers.substr(colon + 1)};
        int* values[2] = {&s.platform, &s.device};
        const char* names[2] = {"platform", "device"};
        for (int i = 0; i < 2; ++i) {
            if (parts[i].empty() || parts[i].find_first_not_of("0123456789") != std::string::npos) {
                *error = "device " + text + ": expected gpu:PLATFORM:DEVICE with two numbers (see varnesk-cli devices)";
                return false;
            }
            const ParsedNumber n = ParseInt32(parts[i]);
            if (n.overflow) {
                *error = "device " + text + ": the " + names[i] + " number " + parts[i] +
                         " is out of range (from 0 to 2147483647)";
                return false;
            }
            *values[i] = static_cast<int>(n.value);
        }
    } else {
        *error = "device " + text + ": expected auto, cpu, gpu or gpu:PLATFORM:DEVICE";
        return false;
    }
    *choice = s;
    return true;
}

bool CpuTypeDevicesAllowed() {
    const char* env = std::getenv("VARNESK_OPENCL_CPU");
    return env && std::strcmp(env, "1") == 0;
}

bool ResolveDevice(const DeviceChoice& choice, const std::vector<DeviceInfo>& devices, bool allowCpuType,
                   DeviceInfo* chosen, std::string* error) {
    error->clear();
    if (choice.kind == DeviceChoice::kCpu) return false;
    if (choice.indexed) {
        for (const DeviceInfo& d : devices)
            if (d.platform == choice.platform && d.device == choice.device) {
                *chosen = d;
                return true;
            }
        *error = devices.empty()
                     ? StringPrintf("Unable to use device gpu:%d:%d: no OpenCL device is present.", choice.platform,
                                    choice.device)
                     : StringPrintf("Unable to use device gpu:%d:%d: OpenCL has no such device (see varnesk-cli devices).",
                                    choice.platform, choice.device);
        return false;
    }
    for (const DeviceInfo& d : devices)
        if (d.gpuType || allowCpuType) {
            *chosen = d;
            return true;
        }
    if (choice.kind == DeviceChoice::kGpu)
        *error = devices.empty() ? "Unable to use a GPU: no OpenCL device is present."
                                 : "Unable to use a GPU: OpenCL offers no GPU here; name a device with "
                                   "gpu:PLATFORM:DEVICE (see varnesk-cli devices).";
    return false;
}

uint64_t ProgramKey(const DeviceInfo& device, const std::string& source, bool testHooks) {
    uint64_t key = 0xcbf29ce484222325ULL;
    for (const std::string* part : {&device.platformName, &device.name, &device.version, &device.driver, &source})
        key = Fnv1a(key, *part);
    return Fnv1a(key, BuildOptions(testHooks));
}

std::string CachePathOf(const std::string& folder, uint64_t key) {
    return folder + StringPrintf("/sieve-%016llx.bin", static_cast<unsigned long long>(key));
}

std::vector<std::string> KernelNames(const std::string& source) {
    std::vector<std::string> names;
    auto word = [](char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_'; };
    for (size_t at = source.find("__kernel"); at != std::string::npos; at = source.find("__kernel", at + 1)) {
        if ((at > 0 && word(source[at - 1])) || (at + 8 < source.size() && word(source[at + 8]))) continue;
        // "__kernel void NAME(": the name is the word before the parenthesis.
        const size_t open = source.find('(', at);
        if (open == std::string::npos) break;
        size_t end = open;
        while (end > at && std::isspace(static_cast<unsigned char>(source[end - 1]))) --end;
        size_t begin = end;
        while (begin > at && word(source[begin - 1])) --begin;
        if (begin < end) names.push_back(source.substr(begin, end - begin));
    }
    return names;
}

std::unique_ptr<Program> Program::Open(const DeviceInfo& device, const ProgramOptions& options,
                                       std::vector<std::string>* log, std::string* error) {
    std::unique_ptr<Program> program(new Program());
    program->info_ = device;
    cl_device_id id = DeviceId(device);
    if (!id) {
        *error = "the device is gone";
        return nullptr;
    }
    ocl::Check check;
    cl_int status = CL_SUCCESS;
    program->context_.Reset(clCreateContext(nullptr, 1, &id, nullptr, nullptr, &status));
    check(status, "clCreateContext");
    if (check.Ok()) program->queue_.Reset(clCreateCommandQueue(program->Context(), id, 0, &status));
    check(status, "clCreateCommandQueue");
    if (!check.Ok()) {
        *error = check.What();
        return nullptr;
    }

    const std::string source = options.source.empty() ? std::string(SieveSource()) : options.source;
    const std::vector<std::string> names = KernelNames(source);
    const uint64_t key = ProgramKey(device, source, options.testHooks);
    const std::string buildOptions = BuildOptions(options.testHooks);
    program->testHooks_ = options.testHooks;
    const std::string folder = CacheFolder(options.cacheDir);
    if (!folder.empty()) program->cachePath_ = CachePathOf(folder, key);
    const std::string& cachePath = program->cachePath_;

    // The program and its kernels from a binary, or why not.
    auto load = [&](const std::vector<unsigned char>& binary, std::string* why) {
        ocl::Check loading;
        const unsigned char* bytes = binary.data();
        const size_t size = binary.size();
        cl_int binaryStatus = CL_SUCCESS;
        program->program_.Reset(clCreateProgramWithBinary(program->Context(), 1, &id, &size, &bytes, &binaryStatus,
                                                          &status));
        if (loading(status, "clCreateProgramWithBinary") && loading(binaryStatus, "clCreateProgramWithBinary"))
            loading(clBuildProgram(program->program_.Get(), 1, &id, buildOptions.c_str(), nullptr, nullptr), "clBuildProgram");
        program->kernels_.clear();
        for (size_t i = 0; i < names.size() && loading.Ok(); ++i)
            program->kernels_.emplace_back(program->program_.Get(), names[i], loading);
        if (loading.Ok()) return true;
        *why = loading.Status() == CL_INVALID_KERNEL_NAME ? "the driver finds no kernel " + program->kernels_.back().Name() +
                                                               " in it"
                                                         : "the driver refused it: " + loading.What();
        program->kernels_.clear();
        program->program_.Reset();
        return false;
    };

    if (!cachePath.empty() && options.useCache) {
        std::string why;
        const std::vector<unsigned char> binary = ReadCachedBinary(cachePath, key, &why);
        if (!binary.empty() && load(binary, &why)) {
            program->fromCache_ = true;
            return program;
        }
        if (!why.empty() && log) {
            if (remove(cachePath.c_str()) == 0 || errno == ENOENT)
                log->push_back("The cached OpenCL kernels " + cachePath + " cannot be used (" + why +
                               "); removed, they are built again from source.");
            else
                log->push_back("The cached OpenCL kernels " + cachePath + " cannot be used (" + why +
                               ") nor removed (" + std::strerror(errno) + "); they are built from source.");
        } else if (!why.empty()) {
            remove(cachePath.c_str());
        }
    }

    const char* text = source.c_str();
    program->program_.Reset(clCreateProgramWithSource(program->Context(), 1, &text, nullptr, &status));
    if (check(status, "clCreateProgramWithSource") &&
        !check(clBuildProgram(program->program_.Get(), 1, &id, buildOptions.c_str(), nullptr, nullptr), "clBuildProgram")) {
        *error = "the kernels did not build (" + ClErrorName(check.Status()) + "): " +
                 BuildLog(program->program_.Get(), id);
        return nullptr;
    }
    for (const std::string& name : names) program->kernels_.emplace_back(program->program_.Get(), name, check);
    size_t binarySize = 0;
    if (check.Ok() && !cachePath.empty() &&
        clGetProgramInfo(program->program_.Get(), CL_PROGRAM_BINARY_SIZES, sizeof binarySize, &binarySize, nullptr) ==
            CL_SUCCESS &&
        binarySize > 0 && binarySize <= kCacheLimit) {
        std::vector<unsigned char> binary(binarySize);
        unsigned char* at = binary.data();
        if (clGetProgramInfo(program->program_.Get(), CL_PROGRAM_BINARIES, sizeof at, &at, nullptr) == CL_SUCCESS) {
            MakeFolders(folder);
            WriteCachedBinary(cachePath, key, binary);
        }
    }
    if (!check.Ok()) {
        *error = "the kernels did not build: " + check.What();
        return nullptr;
    }
    return program;
}

ocl::Kernel* Program::Find(const std::string& name) {
    for (ocl::Kernel& kernel : kernels_)
        if (kernel.Name() == name) return &kernel;
    return nullptr;
}

bool Program::RemoveCache() const {
    return cachePath_.empty() || remove(cachePath_.c_str()) == 0 || errno == ENOENT;
}

}  // namespace varnesk::gpu
