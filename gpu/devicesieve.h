// The wide sieve's blocks on one OpenCL device: the primes of a run of
// blocks, a solution of order 2N for each, the walk over half its roots in
// slices, and the results sorted back into the blocks' slots as the CPU
// fills them. A walk whose end is not what it must be makes the batch fail;
// primes the device could not complete go to the CPU as kPrime slots. A
// batch goes through in three steps (Submit, Advance, Collect), each batch
// on its own queue with its own buffers, so that the host can work on one
// while the device runs the other.
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
    int64_t batches = 0;      // batches collected
    // Seconds the device ran this sieve's kernels, by their own timestamps,
    // two batches' overlapping runs counted once.
    double busySeconds = 0;
};

// One batch's place on the device: its queue, buffers and results, from
// Submit to Collect.
class DeviceTicket {
public:
    DeviceTicket();
    ~DeviceTicket();
    DeviceTicket(const DeviceTicket&) = delete;
    DeviceTicket& operator=(const DeviceTicket&) = delete;
    // Submitted and not yet collected (nor abandoned).
    bool Busy() const;
    // The device's time for the batch, its kernels' runs (after Collect).
    double DeviceSeconds() const;

private:
    friend class DeviceSieve;
    struct State;
    std::unique_ptr<State> state_;
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
    // then no segment is to be used. Submit, Advance and Collect at once.
    bool Fill(const std::vector<Segment*>& segs, std::string* error);

    // A batch in three steps, none of which waits for another batch:
    // Submit enqueues the prime search of the segments (which must stay
    // where they are until Collect) and returns at once; Advance waits for
    // the primes and enqueues their walks; Collect waits for the walks and
    // fills the segments as Fill does. Ready says whether the next step of
    // a busy ticket would find its results there. A false return fails the
    // batch (the ticket is free again); Abandon drops one unfinished.
    bool Submit(const std::vector<Segment*>& segs, DeviceTicket* ticket, std::string* error);
    bool Advance(DeviceTicket& ticket, std::string* error);
    bool Collect(DeviceTicket& ticket, std::string* error);
    bool Ready(const DeviceTicket& ticket) const;
    void Abandon(DeviceTicket& ticket);
    // Waits, without polling, until a ticket's step may have become ready
    // since Notices() said `seen`, or at most `most`. Only once
    // EnableWaits() has had the device tell the host when each step ends.
    void EnableWaits();
    uint64_t Notices() const;
    void WaitAfter(uint64_t seen, std::chrono::microseconds most) const;

    // For the batches submitted from now on.
    void SetFaults(const DeviceFaults& faults) { faults_ = faults; }
    DeviceCounters Counters() const;
    // The longest a walk launch may take, by which its slices are sized.
    void SetLaunchTarget(std::chrono::milliseconds target) { target_ = target; }

private:
    DeviceSieve(Program& program, const SegmentJobInfo& info);
    bool Fail(DeviceTicket& ticket, const std::string& what, std::string* error);
    bool FindPrimes(DeviceTicket::State& t, std::string* error);
    bool SetUpWalks(DeviceTicket::State& t, std::string* error);
    bool WalkSlice(DeviceTicket::State& t, size_t slice, size_t from, size_t to, std::string* error);
    bool Sort(DeviceTicket::State& t, std::string* error);
    void Time(DeviceTicket::State& t);

    Program& program_;
    SegmentJobInfo info_;
    cl_device_id device_ = nullptr;
    DeviceFaults faults_;
    DeviceCounters counters_;
    std::chrono::milliseconds target_{100};
    uint64_t stepsPerLaunch_ = uint64_t{1} << 20;
    // The kernels, each with its work-group size on this device.
    struct Launcher {
        ocl::Kernel* kernel = nullptr;
        size_t group = 1;
    };
    Launcher findPrimes_[2], walks_[4];
    // The device's busy time: its runs of kernels so far, merged, in
    // device nanoseconds, but for the oldest, folded into `folded_` seconds.
    std::vector<std::pair<cl_ulong, cl_ulong>> runs_;
    double folded_ = 0;
    std::unique_ptr<DeviceTicket> own_;  // Fill's
    // What the device's callbacks count and signal: shared with each
    // callback, which may come after the sieve is gone.
    struct Notice;
    std::shared_ptr<Notice> notice_;
    void NoticeWhenDone(const ocl::Event& event);
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
