// OpenCL's handles owned: each released once by its owner, never cast back
// from void*; a Check that keeps the first failed call with where it was
// made and lets every later call through the wrapper be skipped, so that a
// sequence of calls needs one test at its end; typed buffers; a kernel that
// is called to launch.
#pragma once
#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <algorithm>
#include <cstddef>
#include <string>
#include <utility>
#include <vector>

namespace varnesk::gpu {

// The name of an OpenCL error code ("CL_OUT_OF_RESOURCES"), or its number.
std::string ClErrorName(int code);

namespace ocl {

// Where a call was made. std::source_location would do, but the fuzz build's
// clang 14 cannot take it with this standard library; both compilers have
// the built-ins.
struct CallSite {
    static CallSite Here(const char* file = __builtin_FILE(), int line = __builtin_LINE()) { return {file, line}; }
    const char* file = "";
    int line = 0;
};

class Check {
public:
    // True when status is CL_SUCCESS and no call failed before; the first
    // failure is kept with the call's name and where it was made.
    // detail: what the call was for (a kernel's name), or "".
    bool operator()(cl_int status, const char* call, const char* detail = "",
                    CallSite at = CallSite::Here()) {
        if (status == CL_SUCCESS || !ok_) return ok_ && status == CL_SUCCESS;
        ok_ = false;
        status_ = status;
        call_ = *detail ? std::string(call) + " " + detail : std::string(call);
        at_ = at;
        return false;
    }
    // A failure that is not an OpenCL status (a result out of bounds).
    void Fail(std::string what) {
        if (!ok_) return;
        ok_ = false;
        call_ = std::move(what);
        status_ = CL_SUCCESS;
    }
    bool Ok() const { return ok_; }
    cl_int Status() const { return status_; }
    // "clEnqueueNDRangeKernel walk64: CL_OUT_OF_RESOURCES (gpu/devicesieve.cpp:123)", or "".
    std::string What() const {
        if (ok_) return {};
        if (status_ == CL_SUCCESS) return call_;
        // The folder and the file: "gpu/devicesieve.cpp".
        std::string file = at_.file;
        const size_t last = file.rfind('/');
        const size_t folder = last == std::string::npos || last == 0 ? std::string::npos : file.rfind('/', last - 1);
        if (folder != std::string::npos) file = file.substr(folder + 1);
        return call_ + ": " + ClErrorName(status_) + " (" + file + ":" + std::to_string(at_.line) + ")";
    }

private:
    bool ok_ = true;
    cl_int status_ = CL_SUCCESS;
    std::string call_;
    CallSite at_;
};

// A check and where the wrapper was called from: wrapper calls take a Check
// and make one of these, so that a failure is placed at its caller.
struct Site {
    Site(Check& c, CallSite where = CallSite::Here()) : check(c), at(where) {}
    bool operator()(cl_int status, const char* call, const char* detail = "") const {
        return check(status, call, detail, at);
    }
    bool Ok() const { return check.Ok(); }
    Check& check;
    CallSite at;
};

// One handle, released by its owner alone.
template <class T, cl_int (*Release)(T)>
class Owned {
public:
    Owned() = default;
    explicit Owned(T handle) : handle_(handle) {}
    ~Owned() { Reset(); }
    Owned(Owned&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}
    Owned& operator=(Owned&& other) noexcept {
        if (this != &other) {
            Reset();
            handle_ = std::exchange(other.handle_, nullptr);
        }
        return *this;
    }
    Owned(const Owned&) = delete;
    Owned& operator=(const Owned&) = delete;

    T Get() const { return handle_; }
    explicit operator bool() const { return handle_ != nullptr; }
    void Reset(T handle = nullptr) {
        if (handle_) Release(handle_);
        handle_ = handle;
    }

private:
    T handle_ = nullptr;
};

using Context = Owned<cl_context, clReleaseContext>;
using Queue = Owned<cl_command_queue, clReleaseCommandQueue>;
using ProgramHandle = Owned<cl_program, clReleaseProgram>;
using KernelHandle = Owned<cl_kernel, clReleaseKernel>;
using Memory = Owned<cl_mem, clReleaseMemObject>;
using Event = Owned<cl_event, clReleaseEvent>;

// A device buffer of T: grown on demand (its contents then lost), never
// shrunk. Every call does nothing once `check` holds a failure.
template <class T>
class Buffer {
public:
    // Room for at least `count` elements.
    void Reserve(cl_context context, size_t count, Site check) {
        if (!check.Ok() || (mem_ && count <= capacity_)) return;
        mem_.Reset();
        capacity_ = std::max<size_t>(count, 64 / sizeof(T) + 1);
        cl_int status = CL_SUCCESS;
        mem_.Reset(clCreateBuffer(context, CL_MEM_READ_WRITE, capacity_ * sizeof(T), nullptr, &status));
        if (!mem_) {
            capacity_ = 0;
            check(status == CL_SUCCESS ? CL_OUT_OF_RESOURCES : status, "clCreateBuffer");
        }
    }
    // Reserve and copy in; not blocking: `data` must live until the queue
    // has taken it (a later blocking call or Finish).
    void Write(cl_context context, cl_command_queue queue, const T* data, size_t count, Site check) {
        Reserve(context, count, check);
        if (check.Ok() && count > 0)
            check(clEnqueueWriteBuffer(queue, mem_.Get(), CL_FALSE, 0, count * sizeof(T), data, 0, nullptr, nullptr),
                  "clEnqueueWriteBuffer");
    }
    void Write(cl_context context, cl_command_queue queue, const std::vector<T>& data, Site check) {
        Write(context, queue, data.data(), data.size(), check);
    }
    // Blocking: `count` elements from element `from` into out.
    void Read(cl_command_queue queue, T* out, size_t count, Site check, size_t from = 0) const {
        if (!check.Ok() || count == 0) return;
        if (from + count > capacity_) {
            check.check.Fail("a read beyond a device buffer");
            return;
        }
        check(clEnqueueReadBuffer(queue, mem_.Get(), CL_TRUE, from * sizeof(T), count * sizeof(T), out, 0, nullptr,
                                  nullptr),
              "clEnqueueReadBuffer");
    }
    // Not blocking: `out` must live until the queue has written it (Finish,
    // or `done` complete when given).
    void ReadLater(cl_command_queue queue, T* out, size_t count, Site check, size_t from = 0,
                   Event* done = nullptr) const {
        if (!check.Ok() || count == 0) return;
        if (from + count > capacity_) {
            check.check.Fail("a read beyond a device buffer");
            return;
        }
        cl_event event = nullptr;
        check(clEnqueueReadBuffer(queue, mem_.Get(), CL_FALSE, from * sizeof(T), count * sizeof(T), out, 0, nullptr,
                                  done ? &event : nullptr),
              "clEnqueueReadBuffer");
        if (done && event) done->Reset(event);
    }
    cl_mem Get() const { return mem_.Get(); }
    size_t Capacity() const { return capacity_; }

private:
    Memory mem_;
    size_t capacity_ = 0;
};

// A kernel of a program, called to launch: its arguments set in order (a
// Buffer passes its memory) and the range enqueued, `items` rounded up to
// whole groups of `group`.
class Kernel {
public:
    Kernel() = default;
    Kernel(cl_program program, std::string name, Site check) : name_(std::move(name)) {
        if (!check.Ok()) return;
        cl_int status = CL_SUCCESS;
        handle_.Reset(clCreateKernel(program, name_.c_str(), &status));
        if (!handle_) check(status == CL_SUCCESS ? CL_INVALID_KERNEL_NAME : status, "clCreateKernel", name_.c_str());
    }

    template <class... Args>
    void operator()(cl_command_queue queue, size_t items, size_t group, Site check, const Args&... args) {
        Launch(queue, 0, items, group, nullptr, check, args...);
    }
    // The same over items [first, first + items): get_global_id counts from
    // first. `done`, when given, gets the launch's event (for its timing).
    template <class... Args>
    void Launch(cl_command_queue queue, size_t first, size_t items, size_t group, Event* done, Site check,
                const Args&... args) {
        if (!check.Ok()) return;
        cl_uint at = 0;
        (Set(at++, args, check), ...);
        const size_t global = (std::max<size_t>(items, 1) + group - 1) / group * group;
        cl_event event = nullptr;
        if (check.Ok())
            check(clEnqueueNDRangeKernel(queue, handle_.Get(), 1, first ? &first : nullptr, &global, &group, 0, nullptr,
                                         done ? &event : nullptr),
                  "clEnqueueNDRangeKernel", name_.c_str());
        if (done && event) done->Reset(event);
    }

    cl_kernel Get() const { return handle_.Get(); }
    const std::string& Name() const { return name_; }
    explicit operator bool() const { return static_cast<bool>(handle_); }

private:
    template <class T>
    void Set(cl_uint at, const Buffer<T>& buffer, const Site& check) {
        const cl_mem mem = buffer.Get();
        Set(at, mem, check);
    }
    template <class T>
    void Set(cl_uint at, const T& value, const Site& check) {
        if (check.Ok()) check(clSetKernelArg(handle_.Get(), at, sizeof(T), &value), "clSetKernelArg", name_.c_str());
    }

    std::string name_;
    KernelHandle handle_;
};

// Waits for everything enqueued.
inline void Finish(cl_command_queue queue, Site check) {
    if (check.Ok()) check(clFinish(queue), "clFinish");
}

}  // namespace ocl
}  // namespace varnesk::gpu
