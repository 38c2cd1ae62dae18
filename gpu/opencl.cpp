#include "gpu/opencl.h"

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <sstream>

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

uint64_t Fnv1a(uint64_t h, const std::string& text) {
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    return h ^ 0xff;  // a separator, so that fields cannot run into each other
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

std::string ReadWhole(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return {};
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// Beside and renamed, so that a program reading the cache never sees half a
// binary; a cache that cannot be written only costs the next start a build.
void WriteWhole(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::string temp;
    const int fd = CreateTempBeside(path, temp);
    if (fd < 0) return;
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    const bool ok = done == bytes.size() && fsync(fd) == 0;
    close(fd);
    if (!ok || rename(temp.c_str(), path.c_str()) != 0) unlink(temp.c_str());
}

constexpr const char* kBuildOptions = "-cl-std=CL1.2";
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

std::unique_ptr<Program> Program::Open(const DeviceInfo& device, std::string* error, const std::string& cacheDir,
                                       bool testHooks) {
    std::unique_ptr<Program> program(new Program());
    program->info_ = device;
    program->testHooks_ = testHooks;
    const std::string options = std::string(kBuildOptions) + (testHooks ? kTestHookOptions : "");
    cl_device_id id = DeviceId(device);
    if (!id) {
        *error = "the device is gone";
        return nullptr;
    }
    cl_int status = CL_SUCCESS;
    cl_context context = clCreateContext(nullptr, 1, &id, nullptr, nullptr, &status);
    if (!context) {
        *error = "no context: " + ClErrorName(status);
        return nullptr;
    }
    program->context_ = context;
    cl_command_queue queue = clCreateCommandQueue(context, id, 0, &status);
    if (!queue) {
        *error = "no command queue: " + ClErrorName(status);
        return nullptr;
    }
    program->queue_ = queue;

    const std::string source = SieveSource();
    uint64_t key = 0xcbf29ce484222325ULL;
    for (const std::string* part :
         {&device.platformName, &device.name, &device.version, &device.driver, &source})
        key = Fnv1a(key, *part);
    key = Fnv1a(key, options);
    const std::string folder = CacheFolder(cacheDir);
    const std::string cachePath = folder.empty() ? std::string() : folder + StringPrintf("/sieve-%016llx.bin",
                                                                                         static_cast<unsigned long long>(key));
    cl_program built = nullptr;
    if (!cachePath.empty()) {
        const std::string binary = ReadWhole(cachePath);
        if (!binary.empty()) {
            const unsigned char* bytes = reinterpret_cast<const unsigned char*>(binary.data());
            const size_t size = binary.size();
            cl_int binaryStatus = CL_SUCCESS;
            built = clCreateProgramWithBinary(context, 1, &id, &size, &bytes, &binaryStatus, &status);
            if (built && (binaryStatus != CL_SUCCESS || clBuildProgram(built, 1, &id, options.c_str(), nullptr, nullptr) !=
                                                            CL_SUCCESS)) {
                clReleaseProgram(built);
                built = nullptr;  // a stale or foreign binary: build from source
            }
            program->fromCache_ = built != nullptr;
        }
    }
    if (!built) {
        const char* text = source.c_str();
        built = clCreateProgramWithSource(context, 1, &text, nullptr, &status);
        if (!built) {
            *error = "no program: " + ClErrorName(status);
            return nullptr;
        }
        status = clBuildProgram(built, 1, &id, options.c_str(), nullptr, nullptr);
        if (status != CL_SUCCESS) {
            size_t size = 0;
            clGetProgramBuildInfo(built, id, CL_PROGRAM_BUILD_LOG, 0, nullptr, &size);
            std::string log(size, '\0');
            clGetProgramBuildInfo(built, id, CL_PROGRAM_BUILD_LOG, size, log.data(), nullptr);
            clReleaseProgram(built);
            *error = "the kernels did not build (" + ClErrorName(status) + "): " + log;
            return nullptr;
        }
        size_t binarySize = 0;
        if (!cachePath.empty() &&
            clGetProgramInfo(built, CL_PROGRAM_BINARY_SIZES, sizeof binarySize, &binarySize, nullptr) == CL_SUCCESS &&
            binarySize > 0) {
            std::vector<unsigned char> binary(binarySize);
            unsigned char* at = binary.data();
            if (clGetProgramInfo(built, CL_PROGRAM_BINARIES, sizeof at, &at, nullptr) == CL_SUCCESS) {
                MakeFolders(folder);
                WriteWhole(cachePath, binary);
            }
        }
    }
    program->program_ = built;
    return program;
}

Program::~Program() {
    for (auto& [name, kernel] : kernels_) clReleaseKernel(static_cast<cl_kernel>(kernel));
    if (program_) clReleaseProgram(static_cast<cl_program>(program_));
    if (queue_) clReleaseCommandQueue(static_cast<cl_command_queue>(queue_));
    if (context_) clReleaseContext(static_cast<cl_context>(context_));
}

void* Program::Kernel(const std::string& name) {
    for (auto& [have, kernel] : kernels_)
        if (have == name) return kernel;
    cl_int status = CL_SUCCESS;
    cl_kernel kernel = clCreateKernel(static_cast<cl_program>(program_), name.c_str(), &status);
    if (!kernel) return nullptr;
    kernels_.emplace_back(name, kernel);
    return kernel;
}

}  // namespace varnesk::gpu
