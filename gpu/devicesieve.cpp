#include "gpu/devicesieve.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "kernels/modmath.h"
#include "kernels/modmath2.h"
#include "kernels/sieve_job.h"
#include "platform/post.h"

namespace varnesk::gpu {

namespace {

constexpr uint32_t kStatusComposite = 0, kStatusWalk = 1, kStatusHost = 2;
constexpr int kPrimeWords = 16;
// Values of q the device tries before it leaves a prime to the CPU: a prime
// ends at the first, only a composite goes on.
constexpr uint32_t kOrderTries = 8;
// The hits a batch's walks may report before they are walked again in
// slices (each slice's own count read back): at least this many, or twice
// the hits its primes are expected to have, up to kMostHits (16 bytes each).
constexpr uint32_t kHitCapacity = 1u << 16, kMostHits = 1u << 22;
// Chunks of a walk: 512 steps, longer (to 4096) while a batch still gives
// each compute unit kItemsPerUnit of them. Each chunk begins with its own
// power a^(2j + 1), some 6% of a 512-step chunk's work; a GPU's unit runs
// about 1536 work items at once.
constexpr uint32_t kMaxChunk = 512, kLongestChunk = 4096;
constexpr size_t kItemsPerUnit = 4096;
constexpr UInt128 kTwoTo64 = UInt128{1} << 64;
// Runs of the device kept apart before the oldest are folded into the
// busy time: far more than two batches ever leave open.
constexpr size_t kRunsKept = 256;

// One work-group size for every launch of a kernel, the global size a
// multiple of it: a runtime may build the kernel again for each new group
// size it picks (PoCL does), which would cost more than the launch. 128
// fills every NVIDIA SM from Turing on (64 leaves Ampere, 16 blocks an SM,
// at 32 of its 48 warps) and is whole wavefronts on AMD's.
constexpr size_t kGroup = 128;

size_t PowerOfTwoBelow(size_t limit, size_t most) {
    size_t size = 1;
    while (size * 2 <= std::min(limit, most)) size *= 2;
    return size;
}

cl_device_id DeviceOf(cl_command_queue queue) {
    cl_device_id device = nullptr;
    if (clGetCommandQueueInfo(queue, CL_QUEUE_DEVICE, sizeof device, &device, nullptr) != CL_SUCCESS) return nullptr;
    return device;
}

// The group a kernel is launched with on a device: kGroup, or the largest
// power of two below what the kernel takes there.
size_t GroupOf(const ocl::Kernel& kernel, cl_device_id device) {
    size_t most = 0;
    if (clGetKernelWorkGroupInfo(kernel.Get(), device, CL_KERNEL_WORK_GROUP_SIZE, sizeof most, &most, nullptr) !=
        CL_SUCCESS)
        most = 1;
    return PowerOfTwoBelow(most, kGroup);
}

// A command's run on the device, in its nanoseconds; false while it has
// not run or the queue keeps no times.
bool RunOf(const ocl::Event& event, cl_ulong* start, cl_ulong* end) {
    return event && clGetEventProfilingInfo(event.Get(), CL_PROFILING_COMMAND_START, sizeof *start, start, nullptr) ==
                        CL_SUCCESS &&
           clGetEventProfilingInfo(event.Get(), CL_PROFILING_COMMAND_END, sizeof *end, end, nullptr) == CL_SUCCESS &&
           *end >= *start;
}

// A found prime: its place among the batch's k, what the device made of
// it, its solution and p.
struct Found {
    uint32_t g, status;
    UInt128 a, p;
};

struct Walking {
    size_t found;  // its place in the found list
    UInt128 p;
    size_t firstItem;  // its chunks' items, in order
    uint32_t chunks;
    bool listFull = false;  // more roots than a slot holds: the host lists them
};

// The walk kernels, each for its range of p.
enum WalkKind { kShoup64, kMont64, kShoup80, kMont96, kWalkKinds };
constexpr const char* kWalkKernels[kWalkKinds] = {"walk64", "walk64m", "walk80", "walk96"};

}  // namespace

struct DeviceTicket::State {
    enum Stage { kFree, kSearching, kWalking } stage = kFree;
    ocl::Queue queue;
    ocl::Buffer<uint64_t> kFrom, records, primes, ends;
    ocl::Buffer<uint32_t> start, count, items, hitCount, hits;
    // The batch as submitted.
    std::vector<Segment*> segs;
    DeviceFaults faults;
    bool wide = false;
    uint32_t total = 0;  // its k
    // What the queue reads from or writes to while it runs.
    std::vector<uint64_t> kFromHost;
    std::vector<uint32_t> startHost;
    uint32_t zero = 0, primeCount = 0, hitTotal = 0, capacity = 0;
    std::vector<uint64_t> recordsHost, primeWords, endsHost;
    std::vector<uint32_t> itemsHost;  // (walking prime, chunk) pairs
    std::vector<uint32_t> hitsHost;   // (walking prime, key, b, 0)
    // The batch's primes and walks.
    std::vector<Found> found;
    std::vector<Walking> walking;
    uint32_t chunkLength = 1;
    struct Slice {
        WalkKind kind;
        size_t from, to;  // items
    };
    std::vector<Slice> slices;
    // The timed commands (the prime search, the walks) and the last one
    // enqueued, whose end means the step's results are there.
    ocl::Event search;
    std::vector<ocl::Event> timed;
    ocl::Event last;
    double deviceSeconds = 0;
};

DeviceTicket::DeviceTicket() : state_(std::make_unique<State>()) {}
DeviceTicket::~DeviceTicket() {
    // Nothing of the queue may still write into what goes now.
    if (state_->queue) clFinish(state_->queue.Get());
}
bool DeviceTicket::Busy() const { return state_->stage != State::kFree; }
double DeviceTicket::DeviceSeconds() const { return state_->deviceSeconds; }

std::unique_ptr<DeviceSieve> DeviceSieve::Open(Program& program, const SegmentJobInfo& info, std::string* error) {
    if (info.exponentLog2 < 1 || info.exponentLog2 > 24) {
        *error = StringPrintf("N = %d is beyond the device kernels (2 to 2^24)", info.exponent);
        return nullptr;
    }
    std::unique_ptr<DeviceSieve> sieve(new DeviceSieve(program, info));
    sieve->device_ = DeviceOf(program.Queue());
    if (!sieve->device_) {
        *error = "the device's queue names no device";
        return nullptr;
    }
    auto find = [&](const char* name, Launcher* launcher) {
        launcher->kernel = program.Find(name);
        if (!launcher->kernel) {
            *error = std::string("the program has no kernel ") + name;
            return false;
        }
        launcher->group = GroupOf(*launcher->kernel, sieve->device_);
        return true;
    };
    if (!find("find_primes64", &sieve->findPrimes_[0]) || !find("find_primes96", &sieve->findPrimes_[1]))
        return nullptr;
    for (int kind = 0; kind < kWalkKinds; ++kind)
        if (!find(kWalkKernels[kind], &sieve->walks_[kind])) return nullptr;
    return sieve;
}

DeviceSieve::DeviceSieve(Program& program, const SegmentJobInfo& info) : program_(program), info_(info) {}

DeviceSieve::~DeviceSieve() = default;

bool DeviceSieve::Fill(const std::vector<Segment*>& segs, std::string* error) {
    if (!own_) own_ = std::make_unique<DeviceTicket>();
    return Submit(segs, own_.get(), error) && Advance(*own_, error) && Collect(*own_, error);
}

bool DeviceSieve::Fail(DeviceTicket& ticket, const std::string& what, std::string* error) {
    *error = what;
    Abandon(ticket);
    return false;
}

void DeviceSieve::Abandon(DeviceTicket& ticket) {
    DeviceTicket::State& t = *ticket.state_;
    if (t.queue) clFinish(t.queue.Get());
    t.stage = DeviceTicket::State::kFree;
    t.segs.clear();
    t.search.Reset();
    t.timed.clear();
    t.last.Reset();
}

struct DeviceSieve::Notice {
    mutable std::mutex mutex;
    mutable std::condition_variable changed;
    uint64_t count = 0;
};

void DeviceSieve::EnableWaits() {
    if (!notice_) notice_ = std::make_shared<Notice>();
}

uint64_t DeviceSieve::Notices() const {
    if (!notice_) return 0;
    std::lock_guard<std::mutex> lock(notice_->mutex);
    return notice_->count;
}

void DeviceSieve::WaitAfter(uint64_t seen, std::chrono::microseconds most) const {
    if (!notice_) return;
    std::unique_lock<std::mutex> lock(notice_->mutex);
    notice_->changed.wait_for(lock, most, [&] { return notice_->count != seen; });
}

// The callback holds its own share of the notice; a runtime that takes no
// callback leaves WaitAfter to its time limit.
void DeviceSieve::NoticeWhenDone(const ocl::Event& event) {
    if (!notice_ || !event) return;
    auto* share = new std::shared_ptr<Notice>(notice_);
    auto callback = [](cl_event, cl_int, void* data) {
        auto* held = static_cast<std::shared_ptr<Notice>*>(data);
        {
            std::lock_guard<std::mutex> lock((*held)->mutex);
            ++(*held)->count;
        }
        (*held)->changed.notify_all();
        delete held;
    };
    if (clSetEventCallback(event.Get(), CL_COMPLETE, callback, share) != CL_SUCCESS) delete share;
}

bool DeviceSieve::Ready(const DeviceTicket& ticket) const {
    const DeviceTicket::State& t = *ticket.state_;
    if (t.stage == DeviceTicket::State::kFree || !t.last) return true;
    cl_int status = CL_COMPLETE;
    if (clGetEventInfo(t.last.Get(), CL_EVENT_COMMAND_EXECUTION_STATUS, sizeof status, &status, nullptr) != CL_SUCCESS)
        return true;  // the next step finds out what went wrong
    return status <= CL_COMPLETE;  // done, or failed (negative)
}

// ---------------------------------------------------------------- the prime search

bool DeviceSieve::Submit(const std::vector<Segment*>& segs, DeviceTicket* ticket, std::string* error) {
    DeviceTicket::State& t = *ticket->state_;
    if (t.stage != DeviceTicket::State::kFree) {
        *error = "a batch was submitted on a ticket still in use";
        return false;
    }
    if (faults_.brokenWalk && !program_.TestHooks()) {
        *error = "a broken walk needs the tests' program";
        return false;
    }
    ocl::Check check;
    if (!t.queue) {
        cl_int status = CL_SUCCESS;
        t.queue.Reset(clCreateCommandQueue(program_.Context(), device_, CL_QUEUE_PROFILING_ENABLE, &status));
        if (!t.queue) check(status == CL_SUCCESS ? CL_OUT_OF_RESOURCES : status, "clCreateCommandQueue");
    }
    t.segs = segs;
    t.faults = faults_;
    t.found.clear();
    t.walking.clear();
    t.slices.clear();
    t.search.Reset();
    t.timed.clear();
    t.last.Reset();
    t.deviceSeconds = 0;
    t.primeCount = 0;
    const UInt128 twoN = 2 * static_cast<UInt128>(info_.exponent);
    UInt128 top = 0;
    t.kFromHost.clear();
    t.startHost.assign(1, 0);
    uint64_t total = 0;
    for (const Segment* seg : segs) {
        const UInt128 kEnd = seg->SieveEnd(twoN);
        top = std::max(top, kEnd);
        const UInt128 span = kEnd > seg->kFrom ? kEnd - seg->kFrom : 0;
        total += static_cast<uint64_t>(span);
        if (span > (UInt128{1} << 30) || total > (uint64_t{1} << 30)) {
            *error = "a batch of more than 2^30 k";
            return false;
        }
        t.kFromHost.push_back(static_cast<uint64_t>(seg->kFrom));
        t.kFromHost.push_back(static_cast<uint64_t>(seg->kFrom >> 64));
        t.startHost.push_back(static_cast<uint32_t>(total));
    }
    t.total = static_cast<uint32_t>(total);
    t.wide = top * twoN + 1 >= kTwoTo64;
    if (total > 0) {
        cl_context context = program_.Context();
        cl_command_queue queue = t.queue.Get();
        t.kFrom.Write(context, queue, t.kFromHost, check);
        t.start.Write(context, queue, t.startHost, check);
        t.count.Write(context, queue, &t.zero, 1, check);
        t.records.Reserve(context, size_t{t.total} * 3, check);
        const Launcher& find = findPrimes_[t.wide ? 1 : 0];
        const uint32_t blocks = static_cast<uint32_t>(segs.size());
        const uint64_t twoNWord = static_cast<uint64_t>(twoN);
        const int32_t n = info_.exponentLog2;
        const uint32_t tries = t.faults.noResidue ? 0 : kOrderTries;
        find.kernel->Launch(queue, 0, total, find.group, &t.search, check, t.kFrom, t.start, blocks, twoNWord, n,
                            tries, t.count, t.records, t.total);
        t.count.ReadLater(queue, &t.primeCount, 1, check, 0, &t.last);
        if (check.Ok()) NoticeWhenDone(t.last);
        if (check.Ok()) check(clFlush(queue), "clFlush");
    }
    t.stage = DeviceTicket::State::kSearching;
    if (!check.Ok()) return Fail(*ticket, "the prime search failed on the device: " + check.What(), error);
    return true;
}

bool DeviceSieve::FindPrimes(DeviceTicket::State& t, std::string* error) {
    if (t.total == 0) return true;
    ocl::Check check;
    ocl::Finish(t.queue.Get(), check);
    if (check.Ok() && t.primeCount > t.total) {
        *error = StringPrintf("the device found %u primes among %u k", t.primeCount, t.total);
        return false;
    }
    const uint32_t count = t.primeCount;
    t.recordsHost.resize(size_t{count} * 3);
    t.records.Read(t.queue.Get(), t.recordsHost.data(), t.recordsHost.size(), check);
    if (!check.Ok()) {
        *error = "the prime search failed on the device: " + check.What();
        return false;
    }
    std::vector<Found>& found = t.found;
    found.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        const uint64_t* r = &t.recordsHost[3 * size_t{i}];
        found[i].g = static_cast<uint32_t>(r[0]);
        found[i].status = static_cast<uint32_t>(r[0] >> 32);
        found[i].a = static_cast<UInt128>(r[1]) | static_cast<UInt128>(r[2]) << 64;
        if (found[i].g >= t.total || found[i].status > kStatusHost) {
            *error = "the device's prime list is garbled";
            return false;
        }
    }
    std::sort(found.begin(), found.end(), [](const Found& x, const Found& y) { return x.g < y.g; });
    for (uint32_t i = 1; i < count; ++i)
        if (found[i].g == found[i - 1].g) {
            *error = "the device's prime list is garbled";
            return false;
        }
    // Each prime's p, from its block's k.
    const UInt128 twoN = 2 * static_cast<UInt128>(info_.exponent);
    size_t block = 0;
    for (Found& f : found) {
        while (t.startHost[block + 1] <= f.g) ++block;
        const UInt128 k = t.segs[block]->kFrom + (f.g - t.startHost[block]) + 1;
        f.p = k * twoN + 1;
        if (f.status == kStatusWalk && (f.a == 0 || f.a >= f.p)) {
            *error = "the device's prime list is garbled";
            return false;
        }
    }
    counters_.primes += count;
    for (const Found& f : found) counters_.toHost += f.status == kStatusHost;
    return true;
}

bool DeviceSieve::Advance(DeviceTicket& ticket, std::string* error) {
    DeviceTicket::State& t = *ticket.state_;
    if (t.stage != DeviceTicket::State::kSearching) {
        *error = "a batch was advanced that is not searching";
        return false;
    }
    std::string what;
    if (!FindPrimes(t, &what) || !SetUpWalks(t, &what)) return Fail(ticket, what, error);
    t.stage = DeviceTicket::State::kWalking;
    return true;
}

// ---------------------------------------------------------------- the walks

namespace {

WalkKind KindOf(UInt128 p) {
    return p < (UInt128{1} << 63) ? kShoup64 : p < kTwoTo64 ? kMont64 : p < (UInt128{1} << 80) ? kShoup80 : kMont96;
}

// The walk's pre-filter bound (see NEAR64 in sieve.cl): one less than the
// high word of p - limit, or 0 when that is 0.
uint64_t Near64(uint64_t p, uint64_t limit) {
    const uint64_t high = p > limit ? (p - limit) >> 32 : 0;
    return high == 0 ? 0 : high - 1;
}

// A walking prime's constants for its kernel (sieve.cl says which).
void PrimeWords(WalkKind kind, UInt128 p, UInt128 a, uint32_t limit, uint64_t* words) {
    if (kind == kShoup80 || kind == kMont96) {
        const UInt128 s = MulModRef128(a, a, p);
        const Shift96 sShifted = ShiftDivRef96(s, p);
        // Walk96 takes no Shoup quotient.
        const UInt128 w = kind == kShoup80 ? sShifted.q : 0;
        const UInt128 v[7] = {p, ShiftDivRef96(a, p).r, sShifted.r, 0, s, w, (UInt128{1} << 96) - p};
        for (int j = 0; j < 7; ++j) {
            words[2 * j] = static_cast<uint64_t>(v[j]);
            words[2 * j + 1] = static_cast<uint64_t>(v[j] >> 64);
        }
        // The pre-filter's 32 bits of x (TOP32 in sieve.cl): those of its
        // largest value, p - 1 or, lazily reduced, 2p - 1.
        int bits = 0;
        while ((p >> bits) != 0) ++bits;
        const int shift = kind == kShoup80 ? bits - 63 : bits - 64;
        auto top = [&](UInt128 y) { return static_cast<uint64_t>(static_cast<uint32_t>(y >> (32 + shift))); };
        const uint32_t ninv = static_cast<uint32_t>(0 - InverseMod2_64(static_cast<uint64_t>(p)));  // -p^-1 mod 2^32
        words[6] = ninv | static_cast<uint64_t>(shift) << 32;
        if (kind == kShoup80) {
            words[7] = (top(2 * p - limit) - 1) | top(p - limit) << 32;
            words[14] = top(p + limit) - top(p - limit);
        } else {
            words[7] = top(p - limit) - 1;
        }
        return;
    }
    const Montgomery mont(static_cast<uint64_t>(p));
    const uint64_t am = mont.To(static_cast<uint64_t>(a));
    const uint64_t sm = mont.Sqr(am);
    words[0] = mont.p;
    words[1] = mont.pinv;
    words[2] = am;
    words[3] = sm;
    if (kind == kShoup64) {
        const ShoupConst shoup(mont.From(sm), mont.p);
        words[4] = shoup.w;
        words[5] = shoup.wq;
        words[7] = 0 - mont.p;
    } else {
        words[4] = sm;
        words[5] = sm * mont.pinv;
    }
    words[6] = Near64(mont.p, limit);
}

}  // namespace

bool DeviceSieve::SetUpWalks(DeviceTicket::State& t, std::string* error) {
    // N/2 and the chunk lengths are powers of two: every chunk is whole.
    const uint32_t odd = static_cast<uint32_t>(info_.exponent / 2);
    const uint32_t limit = static_cast<uint32_t>(info_.bMax);
    t.walking.clear();
    t.primeWords.clear();
    t.itemsHost.clear();
    t.hitsHost.clear();
    t.hitTotal = 0;
    const size_t slotRoots = SlotRoots(info_.exponent);
    // Below bMax every root is a hit: more than a slot holds, the CPU lists
    // them into the job's own list.
    auto listedByHost = [&](const Found& f) {
        return f.p <= static_cast<UInt128>(info_.bMax) && static_cast<size_t>(info_.exponent) >= slotRoots;
    };
    size_t walkers = 0;
    double expected = 0;  // hits
    for (const Found& f : t.found) {
        if (f.status != kStatusWalk || listedByHost(f)) continue;
        ++walkers;
        expected += info_.exponent * std::min(1.0, info_.bMax / static_cast<double>(f.p));
    }
    const size_t wanted = t.faults.chunkItems ? t.faults.chunkItems
                                              : static_cast<size_t>(std::max(1, program_.Device().computeUnits)) *
                                                    kItemsPerUnit;
    uint32_t chunk = std::min(odd, kMaxChunk);
    while (chunk * 2 <= std::min(odd, kLongestChunk) && walkers * (odd / (chunk * 2)) >= wanted) chunk *= 2;
    t.chunkLength = chunk;
    // Walking primes in kernel order, each kernel's items one run.
    std::vector<size_t> kindFrom(kWalkKinds + 1, 0);
    for (int kind = 0; kind < kWalkKinds; ++kind) {
        kindFrom[static_cast<size_t>(kind)] = t.itemsHost.size() / 2;
        for (size_t i = 0; i < t.found.size(); ++i) {
            const Found& f = t.found[i];
            if (f.status != kStatusWalk || KindOf(f.p) != kind) continue;
            Walking w{i, f.p, t.itemsHost.size() / 2, 0};
            const uint32_t index = static_cast<uint32_t>(t.walking.size());
            if (listedByHost(f)) {
                w.listFull = true;
            } else {
                w.chunks = odd / chunk;
                for (uint32_t c = 0; c < w.chunks; ++c) {
                    t.itemsHost.push_back(index);
                    t.itemsHost.push_back(c);
                }
            }
            t.walking.push_back(w);
            uint64_t words[kPrimeWords] = {};
            PrimeWords(static_cast<WalkKind>(kind), f.p, f.a, limit, words);
            t.primeWords.insert(t.primeWords.end(), words, words + kPrimeWords);
        }
    }
    kindFrom[kWalkKinds] = t.itemsHost.size() / 2;
    const size_t itemCount = t.itemsHost.size() / 2;
    if (itemCount > 0) counters_.longestChunk = std::max(counters_.longestChunk, chunk);
    counters_.walked += static_cast<int64_t>(t.walking.size());
    t.endsHost.assign(itemCount * 4, 0);
    if (itemCount == 0) return true;

    // Every slice of the batch at once, one hit list for all: a list that
    // overflows has the batch walked again slice by slice (Collect).
    t.capacity = t.faults.hitCapacity
                     ? t.faults.hitCapacity
                     : static_cast<uint32_t>(std::clamp(2 * expected, double{kHitCapacity}, double{kMostHits}));
    cl_context context = program_.Context();
    cl_command_queue queue = t.queue.Get();
    ocl::Check check;
    t.primes.Write(context, queue, t.primeWords, check);
    t.items.Write(context, queue, t.itemsHost, check);
    t.hitCount.Write(context, queue, &t.zero, 1, check);
    t.hits.Reserve(context, size_t{t.capacity} * 4, check);
    t.ends.Reserve(context, itemCount * 4, check);
    for (int kind = 0; kind < kWalkKinds; ++kind) {
        const size_t kindEnd = kindFrom[static_cast<size_t>(kind) + 1];
        for (size_t from = kindFrom[static_cast<size_t>(kind)]; from < kindEnd;) {
            const size_t perLaunch = std::max<size_t>(1, static_cast<size_t>(stepsPerLaunch_ / chunk));
            const size_t to = std::min(kindEnd, from + perLaunch);
            t.slices.push_back({static_cast<WalkKind>(kind), from, to});
            t.timed.emplace_back();
            const Launcher& walk = walks_[kind];
            const uint32_t items = static_cast<uint32_t>(to);
            if (program_.TestHooks())
                walk.kernel->Launch(queue, from, to - from, walk.group, &t.timed.back(), check, t.primes, t.items, items,
                                    chunk, limit, t.hitCount, t.hits, t.capacity, t.ends,
                                    uint32_t{t.faults.brokenWalk ? 1u : 0u});
            else
                walk.kernel->Launch(queue, from, to - from, walk.group, &t.timed.back(), check, t.primes, t.items, items,
                                    chunk, limit, t.hitCount, t.hits, t.capacity, t.ends);
            from = to;
        }
    }
    counters_.launches += static_cast<int64_t>(t.slices.size());
    t.hitCount.ReadLater(queue, &t.hitTotal, 1, check);
    t.ends.ReadLater(queue, t.endsHost.data(), t.endsHost.size(), check, 0, &t.last);
    if (check.Ok()) NoticeWhenDone(t.last);
    if (check.Ok()) check(clFlush(queue), "clFlush");
    if (!check.Ok()) {
        *error = "the walk failed on the device: " + check.What();
        return false;
    }
    return true;
}

// One slice again on its own, its hits read back after it: for a batch
// whose hit list overflowed. A slice that overflows it is halved; one
// chunk alone that does leaves its prime's roots to the CPU.
bool DeviceSieve::WalkSlice(DeviceTicket::State& t, size_t slice, size_t from, size_t to, std::string* error) {
    cl_command_queue queue = t.queue.Get();
    const Launcher& walk = walks_[t.slices[slice].kind];
    const uint32_t limit = static_cast<uint32_t>(info_.bMax);
    const uint32_t items = static_cast<uint32_t>(to);
    uint32_t hits = 0;
    ocl::Check check;
    t.hitCount.Write(program_.Context(), queue, &t.zero, 1, check);
    t.timed.emplace_back();
    if (program_.TestHooks())
        walk.kernel->Launch(queue, from, to - from, walk.group, &t.timed.back(), check, t.primes, t.items, items,
                            t.chunkLength, limit, t.hitCount, t.hits, t.capacity, t.ends,
                            uint32_t{t.faults.brokenWalk ? 1u : 0u});
    else
        walk.kernel->Launch(queue, from, to - from, walk.group, &t.timed.back(), check, t.primes, t.items, items,
                            t.chunkLength, limit, t.hitCount, t.hits, t.capacity, t.ends);
    t.hitCount.Read(queue, &hits, 1, check);
    ++counters_.launches;
    if (check.Ok() && hits > t.capacity) {
        ++counters_.splits;
        if (to - from > 1) {
            const size_t mid = from + (to - from) / 2;
            return WalkSlice(t, slice, from, mid, error) && WalkSlice(t, slice, mid, to, error);
        }
        t.walking[t.itemsHost[2 * from]].listFull = true;
        hits = 0;
    }
    const size_t had = t.hitsHost.size();
    t.hitsHost.resize(had + size_t{hits} * 4);
    t.hits.Read(queue, t.hitsHost.data() + had, size_t{hits} * 4, check);
    t.ends.Read(queue, t.endsHost.data() + 4 * from, (to - from) * 4, check, 4 * from);
    if (!check.Ok()) {
        *error = "the walk's results did not come back: " + check.What();
        return false;
    }
    return true;
}

// The runs of the batch's kernels into the device's busy time, and the
// slices' length by the longest launch: doubled while well below the
// target, halved above it.
DeviceCounters DeviceSieve::Counters() const {
    DeviceCounters counters = counters_;
    counters.busySeconds = folded_;
    for (const auto& run : runs_) counters.busySeconds += static_cast<double>(run.second - run.first) * 1e-9;
    return counters;
}

void DeviceSieve::Time(DeviceTicket::State& t) {
    auto covered = [&] { return Counters().busySeconds; };
    const double before = covered();
    // A run merged into the others, which stay sorted and apart; its length.
    auto add = [&](const ocl::Event& event) {
        cl_ulong start = 0, end = 0;
        if (!RunOf(event, &start, &end)) return 0.0;
        auto at = std::upper_bound(runs_.begin(), runs_.end(), std::make_pair(start, end));
        if (at != runs_.begin() && std::prev(at)->second >= start) {
            --at;
            at->second = std::max(at->second, end);
        } else {
            at = runs_.insert(at, {start, end});
        }
        while (std::next(at) != runs_.end() && std::next(at)->first <= at->second) {
            at->second = std::max(at->second, std::next(at)->second);
            runs_.erase(std::next(at));
        }
        return static_cast<double>(end - start) * 1e-9;
    };
    add(t.search);
    t.search.Reset();
    double longest = 0;
    for (const ocl::Event& event : t.timed) longest = std::max(longest, add(event));
    t.timed.clear();
    // The oldest folded: no later batch runs before them.
    if (runs_.size() > kRunsKept) {
        const size_t fold = runs_.size() - kRunsKept / 2;
        for (size_t i = 0; i < fold; ++i)
            folded_ += static_cast<double>(runs_[i].second - runs_[i].first) * 1e-9;
        runs_.erase(runs_.begin(), runs_.begin() + static_cast<std::ptrdiff_t>(fold));
    }
    t.deviceSeconds += covered() - before;
    if (longest == 0) return;
    counters_.longestLaunch = std::max(counters_.longestLaunch, longest);
    const double target = std::chrono::duration<double>(target_).count();
    if (longest < target / 4 && stepsPerLaunch_ < (uint64_t{1} << 32)) stepsPerLaunch_ *= 2;
    else if (longest > target && stepsPerLaunch_ > t.chunkLength) stepsPerLaunch_ /= 2;
}

bool DeviceSieve::Collect(DeviceTicket& ticket, std::string* error) {
    DeviceTicket::State& t = *ticket.state_;
    if (t.stage != DeviceTicket::State::kWalking) {
        *error = "a batch was collected that is not walking";
        return false;
    }
    if (!t.slices.empty()) {
        ocl::Check check;
        ocl::Finish(t.queue.Get(), check);
        if (!check.Ok()) return Fail(ticket, "the walk failed on the device: " + check.What(), error);
    }
    Time(t);
    if (t.hitTotal > t.capacity) {
        // The batch again, slice by slice.
        std::string what;
        for (size_t s = 0; s < t.slices.size(); ++s)
            if (!WalkSlice(t, s, t.slices[s].from, t.slices[s].to, &what)) return Fail(ticket, what, error);
        Time(t);
    } else if (t.hitTotal > 0) {
        ocl::Check check;
        t.hitsHost.resize(size_t{t.hitTotal} * 4);
        t.hits.Read(t.queue.Get(), t.hitsHost.data(), t.hitsHost.size(), check);
        if (!check.Ok()) return Fail(ticket, "the walk's results did not come back: " + check.What(), error);
    }
    std::string what;
    if (!Sort(t, &what)) return Fail(ticket, what, error);
    ++counters_.batches;
    t.stage = DeviceTicket::State::kFree;
    t.segs.clear();
    return true;
}

// The hits checked and sorted back into the blocks, in k order, as the
// CPU's slots, once every chunk is seen to end where the next begins.
bool DeviceSieve::Sort(DeviceTicket::State& t, std::string* error) {
    const std::vector<uint32_t>& hits = t.hitsHost;
    for (size_t h = 0; h < hits.size(); h += 4)
        if (hits[h] >= t.walking.size() || hits[h + 2] > static_cast<uint32_t>(info_.bMax)) {
            *error = "the device's hit list is garbled";
            return false;
        }
    // Each chunk must end where the next begins, the last at a^(N + 1) = -a:
    // a walk that went astray anywhere cannot meet both.
    auto word = [&](size_t at) {
        return static_cast<UInt128>(t.endsHost[at]) | static_cast<UInt128>(t.endsHost[at + 1]) << 64;
    };
    for (const Walking& w : t.walking) {
        const Found& f = t.found[w.found];
        for (uint32_t c = 0; c < w.chunks; ++c) {
            const size_t item = w.firstItem + c;
            const UInt128 want = c + 1 < w.chunks ? word(4 * item + 4) : f.p - f.a;
            if (word(4 * item + 2) != want) {
                *error = StringPrintf("the walk's end check failed for p = %s (chunk %u of %u)",
                                      FormatUInt128(f.p).c_str(), c + 1, w.chunks);
                return false;
            }
        }
    }

    // The hits in walk order: by prime, then x = a^(2j + 1) before p - x.
    const size_t hitCount = hits.size() / 4;
    std::vector<uint32_t> order(hitCount);
    for (size_t i = 0; i < hitCount; ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        const uint32_t* a = &hits[4 * size_t{x}];
        const uint32_t* b = &hits[4 * size_t{y}];
        return a[0] != b[0] ? a[0] < b[0] : a[1] < b[1];
    });

    const UInt128 twoN = 2 * static_cast<UInt128>(info_.exponent);
    const size_t slotRoots = SlotRoots(info_.exponent);
    size_t next = 0, walkAt = 0, hitAt = 0;
    uint32_t g0 = 0;
    for (Segment* seg : t.segs) {
        seg->count = 0;
        const UInt128 kEnd = seg->SieveEnd(twoN);
        const uint32_t span = kEnd > seg->kFrom ? static_cast<uint32_t>(kEnd - seg->kFrom) : 0;
        for (; next < t.found.size() && t.found[next].g < g0 + span; ++next) {
            const Found& f = t.found[next];
            PrimeSlot& slot = seg->AddSlot(slotRoots);
            slot.k = seg->kFrom + (f.g - g0) + 1;
            slot.p = slot.k * twoN + 1;
            if (f.status == kStatusHost) {
                slot.outcome = PrimeSlot::kPrime;
                continue;
            }
            if (f.status != kStatusWalk) continue;  // composite: nothing struck
            const Walking& w = t.walking[walkAt++];
            slot.a = f.a;
            // The prime's hits, those of the walking prime walkAt - 1.
            const uint32_t index = static_cast<uint32_t>(walkAt - 1);
            const size_t from = hitAt;
            while (hitAt < hitCount && hits[4 * size_t{order[hitAt]}] == index) ++hitAt;
            const size_t count = hitAt - from;
            if (w.listFull || count >= slot.roots.size()) {
                slot.outcome = PrimeSlot::kListFull;
                continue;
            }
            for (size_t h = 0; h < count; ++h) slot.roots[h] = hits[4 * size_t{order[from + h]} + 2];
            slot.rootCount = static_cast<int32_t>(count);
            slot.outcome = PrimeSlot::kRoots;
        }
        seg->AddLimitSlot(twoN, slotRoots);
        g0 += span;
    }
    return true;
}

size_t WorkGroupSize(const DeviceInfo& device) { return PowerOfTwoBelow(device.maxGroup, kGroup); }

// ---------------------------------------------------------------- the tests' kernels

bool DeviceArithmetic(Program& program, bool wide, const std::vector<UInt128>& rows, std::vector<UInt128>* out,
                      std::string* error) {
    const size_t count = rows.size() / 4;
    const size_t words = wide ? 8 : 4;
    std::vector<uint64_t> in(count * words), result(count * words);
    for (size_t i = 0; i < count; ++i)
        for (size_t j = 0; j < 4; ++j) {
            if (wide) {
                in[i * 8 + 2 * j] = static_cast<uint64_t>(rows[4 * i + j]);
                in[i * 8 + 2 * j + 1] = static_cast<uint64_t>(rows[4 * i + j] >> 64);
            } else {
                in[i * 4 + j] = static_cast<uint64_t>(rows[4 * i + j]);
            }
        }
    ocl::Kernel* kernel = program.Find(wide ? "arith96" : "arith64");
    if (!kernel) {
        *error = "no arithmetic kernel";
        return false;
    }
    ocl::Buffer<uint64_t> input, output;
    ocl::Check check;
    input.Write(program.Context(), program.Queue(), in, check);
    output.Reserve(program.Context(), result.size(), check);
    (*kernel)(program.Queue(), count, GroupOf(*kernel, DeviceOf(program.Queue())), check, input,
              static_cast<uint32_t>(count), output);
    output.Read(program.Queue(), result.data(), result.size(), check);
    if (!check.Ok()) {
        *error = check.What();
        return false;
    }
    out->assign(count * 4, 0);
    for (size_t i = 0; i < count; ++i)
        for (size_t j = 0; j < 4; ++j)
            (*out)[4 * i + j] = wide ? static_cast<UInt128>(result[i * 8 + 2 * j]) |
                                           static_cast<UInt128>(result[i * 8 + 2 * j + 1]) << 64
                                     : result[i * 4 + j];
    return true;
}

bool DeviceWalkSteps(Program& program, const std::vector<UInt128>& rows, uint32_t limit, std::vector<UInt128>* out,
                     std::vector<bool>* examined, std::string* error) {
    const size_t count = rows.size() / 3;
    out->assign(count, 0);
    examined->assign(count, false);
    ocl::Kernel* kernel = program.Find("walk_steps");
    if (!kernel) {
        *error = "no kernel walk_steps";
        return false;
    }
    const size_t group = GroupOf(*kernel, DeviceOf(program.Queue()));
    ocl::Check check;
    for (uint32_t kind = 0; kind < kWalkKinds && check.Ok(); ++kind) {
        std::vector<size_t> at;
        std::vector<uint64_t> words, xs;
        for (size_t i = 0; i < count; ++i) {
            const UInt128 p = rows[3 * i], a = rows[3 * i + 1], x = rows[3 * i + 2];
            if (KindOf(p) != static_cast<WalkKind>(kind)) continue;
            at.push_back(i);
            words.resize(words.size() + kPrimeWords);
            PrimeWords(static_cast<WalkKind>(kind), p, a, limit, &words[words.size() - kPrimeWords]);
            xs.push_back(static_cast<uint64_t>(x));
            xs.push_back(static_cast<uint64_t>(x >> 64));
        }
        if (at.empty()) continue;
        ocl::Buffer<uint64_t> primes, input, output;
        primes.Write(program.Context(), program.Queue(), words, check);
        input.Write(program.Context(), program.Queue(), xs, check);
        output.Reserve(program.Context(), at.size() * 3, check);
        (*kernel)(program.Queue(), at.size(), group, check, primes, input, static_cast<uint32_t>(at.size()), kind,
                  output);
        std::vector<uint64_t> result(at.size() * 3);
        output.Read(program.Queue(), result.data(), result.size(), check);
        if (!check.Ok()) break;
        for (size_t j = 0; j < at.size(); ++j) {
            (*out)[at[j]] = static_cast<UInt128>(result[3 * j]) | static_cast<UInt128>(result[3 * j + 1]) << 64;
            (*examined)[at[j]] = result[3 * j + 2] != 0;
        }
    }
    if (!check.Ok()) {
        *error = check.What();
        return false;
    }
    return true;
}

}  // namespace varnesk::gpu
