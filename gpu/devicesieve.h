// The wide sieve's blocks on one OpenCL device: the primes of a run of
// blocks, a solution of order 2N for each, the walk over half its roots in
// slices, and the results sorted back into the blocks' slots as the CPU
// fills them. A walk whose end is not what it must be makes the batch fail;
// primes the device could not complete go to the CPU as kPrime slots.
#pragma once
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/producer.h"
#include "gpu/opencl.h"

namespace varnesk::gpu {

// Faults a test asks the device for, the ways a card goes wrong.
struct DeviceFaults {
    bool brokenWalk = false;  // one chunk's walk goes astray
    bool noResidue = false;   // the order search gives up on every prime
    uint32_t hitCapacity = 0; // > 0: a hit buffer this small, so that it overflows
    size_t chunkItems = 0;    // > 0: walks' chunks grow while a batch has this many, not the device's share
};

struct DeviceCounters {
    int64_t primes = 0;       // probable primes found
    int64_t walked = 0;       // of them walked on the device
    int64_t toHost = 0;       // left to the CPU (kPrime)
    int64_t launches = 0;     // walk launches
    int64_t splits = 0;       // slices split for a full hit buffer
    uint32_t longestChunk = 0; // steps, of the longest chunk walked
    double longestLaunch = 0; // seconds
    int64_t batches = 0;      // calls of Fill
    double busySeconds = 0;   // in Fill, all told
};

class DeviceSieve {
public:
    // The program's kernels for the job; null with the reason when they are
    // missing or the job is beyond them (N above 2^24 or bMax of 2^31).
    static std::unique_ptr<DeviceSieve> Open(Program& program, const SegmentJobInfo& info, std::string* error);
    ~DeviceSieve();
    DeviceSieve(const DeviceSieve&) = delete;
    DeviceSieve& operator=(const DeviceSieve&) = delete;

    // Fills each segment (kFrom and kTo set) as BlockSieve::Fill would, but
    // that primes the device could not complete are left kPrime. False with
    // the reason when the device failed or a walk's end check did not hold:
    // then no segment is to be used.
    bool Fill(const std::vector<Segment*>& segs, std::string* error);

    void SetFaults(const DeviceFaults& faults) { faults_ = faults; }
    const DeviceCounters& Counters() const { return counters_; }
    // The longest a walk launch may take, by which its slices are sized.
    void SetLaunchTarget(std::chrono::milliseconds target) { target_ = target; }

private:
    DeviceSieve(Program& program, const SegmentJobInfo& info);
    struct Buffers;
    struct Walking {
        size_t found;  // its place in found_
        UInt128 p;
        size_t firstItem;  // its chunks' items, in order
        uint32_t chunks;
        bool listFull = false;  // more roots than a slot holds: the host lists them
    };
    bool FillBatch(const std::vector<Segment*>& segs, std::string* error);
    bool FindPrimes(const std::vector<Segment*>& segs, bool wide, std::string* error);
    bool Walk(std::string* error);
    bool WalkSlice(const char* kernelName, size_t from, size_t to, std::string* error);

    Program& program_;
    SegmentJobInfo info_;
    DeviceFaults faults_;
    DeviceCounters counters_;
    std::chrono::milliseconds target_{100};
    uint64_t stepsPerLaunch_ = uint64_t{1} << 20;
    uint32_t chunkLength_ = 1;
    std::unique_ptr<Buffers> buffers_;
    // One batch's state.
    struct Found {
        uint32_t g, status;
        UInt128 a, p;
    };
    std::vector<Found> found_;
    std::vector<Walking> walking_;
    std::vector<uint64_t> primeWords_;
    std::vector<uint32_t> items_;  // (walking prime, chunk) pairs
    std::vector<uint64_t> ends_;   // per item: first power (2 words) and the one after its last (2 words)
    std::vector<uint32_t> hits_;   // (walking prime, key, b, 0)
};

// The work-group size of every launch on a device: 128, or the largest
// power of two below it that the device takes (a kernel that takes fewer
// is launched with its own largest).
size_t WorkGroupSize(const DeviceInfo& device);

// The kernels' arithmetic alone, for the tests: per row (p, a, b, e), the
// product, the power a^e, the sum mod p and the Fermat verdict. Rows and
// results one word each (p < 2^64) or two (wide: low, high).
bool DeviceArithmetic(Program& program, bool wide, const std::vector<UInt128>& rows, std::vector<UInt128>* out,
                      std::string* error);

// One step of the walk kernel that takes p, for the tests: per row (p, a,
// x), x a^2 mod p in `out` and in `examined` whether the kernel's
// pre-filter looks at x for bases up to limit.
bool DeviceWalkSteps(Program& program, const std::vector<UInt128>& rows, uint32_t limit, std::vector<UInt128>* out,
                     std::vector<bool>* examined, std::string* error);

}  // namespace varnesk::gpu
