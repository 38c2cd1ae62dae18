#include "gpu/devicesieve.h"

#define CL_TARGET_OPENCL_VERSION 120
#include <CL/cl.h>

#include <algorithm>
#include <chrono>

#include "kernels/modmath.h"
#include "kernels/sieve_job.h"
#include "platform/post.h"

namespace varnesk::gpu {

namespace {

constexpr uint32_t kStatusComposite = 0, kStatusWalk = 1, kStatusHost = 2;
constexpr int kPrimeWords = 16;
// Values of q the device tries before it leaves a prime to the CPU: a prime
// ends at the first, only a composite goes on.
constexpr uint32_t kOrderTries = 8;
constexpr uint32_t kHitCapacity = 1u << 16;
// Chunks of a walk: 512 steps, longer (to 4096) while a batch still gives
// each compute unit kItemsPerUnit of them. Each chunk begins with its own
// power a^(2j + 1), some 6% of a 512-step chunk's work; a GPU's unit runs
// about 1536 work items at once.
constexpr uint32_t kMaxChunk = 512, kLongestChunk = 4096;
constexpr size_t kItemsPerUnit = 4096;
constexpr UInt128 kTwoTo64 = UInt128{1} << 64;

// x*y mod p for p < 2^96 by doubling: only for the per-prime set-up.
UInt128 MulModSlow(UInt128 x, UInt128 y, UInt128 p) {
    UInt128 r = 0;
    x %= p;
    for (int bit = 127; bit >= 0; --bit) {
        r <<= 1;
        if (r >= p) r -= p;
        if ((y >> bit) & 1) {
            r += x;
            if (r >= p) r -= p;
        }
    }
    return r;
}

// x * 2^96 mod p.
UInt128 ToMont96(UInt128 x, UInt128 p) {
    x %= p;
    for (int i = 0; i < 96; ++i) {
        x <<= 1;
        if (x >= p) x -= p;
    }
    return x;
}

struct Mem {
    cl_mem mem = nullptr;
    size_t size = 0;
    ~Mem() {
        if (mem) clReleaseMemObject(mem);
    }
    // At least bytes long (grown, never shrunk).
    bool Reserve(cl_context context, size_t bytes, cl_int* status) {
        if (bytes <= size && mem) return true;
        if (mem) clReleaseMemObject(mem);
        size = std::max<size_t>(bytes, 64);
        mem = clCreateBuffer(context, CL_MEM_READ_WRITE, size, nullptr, status);
        return mem != nullptr;
    }
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

struct DeviceSieve::Buffers {
    Mem kFrom, start, count, records, primes, items, hitCount, hits, ends;
};

std::unique_ptr<DeviceSieve> DeviceSieve::Open(Program& program, const SegmentJobInfo& info, std::string* error) {
    if (info.exponentLog2 < 1 || info.exponentLog2 > 24) {
        *error = StringPrintf("N = %d is beyond the device kernels (2 to 2^24)", info.exponent);
        return nullptr;
    }
    for (const char* name : {"find_primes64", "find_primes96", "walk64", "walk64m", "walk80", "walk96"})
        if (!program.Kernel(name)) {
            *error = std::string("the program has no kernel ") + name;
            return nullptr;
        }
    std::unique_ptr<DeviceSieve> sieve(new DeviceSieve(program, info));
    sieve->buffers_ = std::make_unique<Buffers>();
    return sieve;
}

DeviceSieve::DeviceSieve(Program& program, const SegmentJobInfo& info) : program_(program), info_(info) {}

DeviceSieve::~DeviceSieve() = default;

namespace {

struct Args {
    cl_kernel kernel;
    cl_uint at = 0;
    cl_int status = CL_SUCCESS;
    template <class T>
    Args& operator<<(const T& value) {
        if (status == CL_SUCCESS) status = clSetKernelArg(kernel, at, sizeof(T), &value);
        ++at;
        return *this;
    }
};

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

cl_int Launch(cl_command_queue queue, cl_kernel kernel, size_t items) {
    cl_device_id device = nullptr;
    size_t kernelMost = 0;
    cl_int status = clGetCommandQueueInfo(queue, CL_QUEUE_DEVICE, sizeof device, &device, nullptr);
    if (status == CL_SUCCESS)
        status = clGetKernelWorkGroupInfo(kernel, device, CL_KERNEL_WORK_GROUP_SIZE, sizeof kernelMost, &kernelMost,
                                          nullptr);
    if (status != CL_SUCCESS) return status;
    const size_t local = PowerOfTwoBelow(kernelMost, kGroup);
    const size_t global = (std::max<size_t>(items, 1) + local - 1) / local * local;
    status = clEnqueueNDRangeKernel(queue, kernel, 1, nullptr, &global, &local, 0, nullptr, nullptr);
    if (status == CL_SUCCESS) status = clFinish(queue);
    return status;
}

}  // namespace

bool DeviceSieve::Fill(const std::vector<Segment*>& segs, std::string* error) {
    const auto began = std::chrono::steady_clock::now();
    const bool filled = FillBatch(segs, error);
    ++counters_.batches;
    counters_.busySeconds += Seconds(began);
    return filled;
}

bool DeviceSieve::FillBatch(const std::vector<Segment*>& segs, std::string* error) {
    if (faults_.brokenWalk && !program_.TestHooks()) {
        *error = "a broken walk needs the tests' program";
        return false;
    }
    const UInt128 twoN = 2 * static_cast<UInt128>(info_.exponent);
    const UInt128 kLast = (kWideLimitP - 2) / twoN;  // the last k with p below 2^96
    UInt128 top = 0;
    for (const Segment* seg : segs) top = std::max(top, std::min(seg->kTo, kLast));
    const bool wide = top * twoN + 1 >= kTwoTo64;
    if (!FindPrimes(segs, wide, error) || !Walk(error)) return false;

    // The hits in walk order: by prime, then x = a^(2j + 1) before p - x.
    const size_t hitCount = hits_.size() / 4;
    std::vector<uint32_t> order(hitCount);
    for (size_t i = 0; i < hitCount; ++i) order[i] = static_cast<uint32_t>(i);
    std::sort(order.begin(), order.end(), [&](uint32_t x, uint32_t y) {
        const uint32_t* a = &hits_[4 * size_t{x}];
        const uint32_t* b = &hits_[4 * size_t{y}];
        return a[0] != b[0] ? a[0] < b[0] : a[1] < b[1];
    });

    // Back into the blocks, in k order, as the CPU's slots.
    const size_t slotRoots = SlotRoots(info_.exponent);
    size_t next = 0, walkAt = 0, hitAt = 0;
    uint32_t g0 = 0;
    for (Segment* seg : segs) {
        seg->count = 0;
        const UInt128 kEnd = std::min(seg->kTo, kLast);
        const uint32_t span = kEnd > seg->kFrom ? static_cast<uint32_t>(kEnd - seg->kFrom) : 0;
        auto nextSlot = [&]() -> PrimeSlot& {
            if (static_cast<size_t>(seg->count) == seg->slots.size()) seg->slots.emplace_back();
            PrimeSlot& slot = seg->slots[static_cast<size_t>(seg->count++)];
            if (slot.roots.size() < slotRoots) slot.roots.resize(slotRoots);
            slot.outcome = PrimeSlot::kNothing;
            slot.rootCount = 0;
            slot.a = 0;
            return slot;
        };
        for (; next < found_.size() && found_[next].g < g0 + span; ++next) {
            const Found& f = found_[next];
            PrimeSlot& slot = nextSlot();
            slot.k = seg->kFrom + (f.g - g0) + 1;
            slot.p = slot.k * twoN + 1;
            if (f.status == kStatusHost) {
                slot.outcome = PrimeSlot::kPrime;
                continue;
            }
            if (f.status != kStatusWalk) continue;  // composite: nothing struck
            const Walking& w = walking_[walkAt++];
            slot.a = f.a;
            // The prime's hits, those of the walking prime walkAt - 1.
            const uint32_t index = static_cast<uint32_t>(walkAt - 1);
            size_t from = hitAt;
            while (hitAt < hitCount && hits_[4 * size_t{order[hitAt]}] == index) ++hitAt;
            const size_t count = hitAt - from;
            if (w.listFull || count >= slot.roots.size()) {
                slot.outcome = PrimeSlot::kListFull;
                continue;
            }
            for (size_t h = 0; h < count; ++h) slot.roots[h] = hits_[4 * size_t{order[from + h]} + 2];
            slot.rootCount = static_cast<int32_t>(count);
            slot.outcome = PrimeSlot::kRoots;
        }
        if (seg->kTo > kLast) {
            PrimeSlot& slot = nextSlot();
            slot.k = std::max(seg->kFrom, kLast) + 1;
            slot.p = slot.k * twoN + 1;
            slot.outcome = PrimeSlot::kBeyond;
        }
        g0 += span;
    }
    return true;
}

bool DeviceSieve::FindPrimes(const std::vector<Segment*>& segs, bool wide, std::string* error) {
    const UInt128 twoN = 2 * static_cast<UInt128>(info_.exponent);
    const UInt128 kLast = (kWideLimitP - 2) / twoN;
    std::vector<uint64_t> kFrom;
    std::vector<uint32_t> start{0};
    uint64_t total = 0;
    for (const Segment* seg : segs) {
        const UInt128 kEnd = std::min(seg->kTo, kLast);
        const UInt128 span = kEnd > seg->kFrom ? kEnd - seg->kFrom : 0;
        total += static_cast<uint64_t>(span);
        if (span > (UInt128{1} << 30) || total > (uint64_t{1} << 30)) {
            *error = "a batch of more than 2^30 k";
            return false;
        }
        kFrom.push_back(static_cast<uint64_t>(seg->kFrom));
        kFrom.push_back(static_cast<uint64_t>(seg->kFrom >> 64));
        start.push_back(static_cast<uint32_t>(total));
    }
    found_.clear();
    if (total == 0) return true;
    cl_context context = static_cast<cl_context>(program_.Context());
    cl_command_queue queue = static_cast<cl_command_queue>(program_.Queue());
    Buffers& b = *buffers_;
    cl_int status = CL_SUCCESS;
    const uint32_t capacity = static_cast<uint32_t>(total);
    if (!b.kFrom.Reserve(context, kFrom.size() * 8, &status) || !b.start.Reserve(context, start.size() * 4, &status) ||
        !b.count.Reserve(context, 4, &status) || !b.records.Reserve(context, size_t{capacity} * 24, &status)) {
        *error = "no device memory: " + ClErrorName(status);
        return false;
    }
    const uint32_t zero = 0;
    status = clEnqueueWriteBuffer(queue, b.kFrom.mem, CL_FALSE, 0, kFrom.size() * 8, kFrom.data(), 0, nullptr, nullptr);
    if (status == CL_SUCCESS)
        status = clEnqueueWriteBuffer(queue, b.start.mem, CL_FALSE, 0, start.size() * 4, start.data(), 0, nullptr, nullptr);
    if (status == CL_SUCCESS)
        status = clEnqueueWriteBuffer(queue, b.count.mem, CL_FALSE, 0, 4, &zero, 0, nullptr, nullptr);
    cl_kernel kernel = static_cast<cl_kernel>(program_.Kernel(wide ? "find_primes96" : "find_primes64"));
    Args args{kernel};
    const uint32_t blocks = static_cast<uint32_t>(segs.size());
    const uint64_t twoNWord = static_cast<uint64_t>(twoN);
    const int32_t n = info_.exponentLog2;
    const uint32_t tries = faults_.noResidue ? 0 : kOrderTries;
    args << b.kFrom.mem << b.start.mem << blocks << twoNWord << n << tries << b.count.mem << b.records.mem << capacity;
    if (status == CL_SUCCESS) status = args.status;
    if (status == CL_SUCCESS) status = Launch(queue, kernel, total);
    uint32_t count = 0;
    if (status == CL_SUCCESS) status = clEnqueueReadBuffer(queue, b.count.mem, CL_TRUE, 0, 4, &count, 0, nullptr, nullptr);
    if (status == CL_SUCCESS && count > capacity) {
        *error = StringPrintf("the device found %u primes among %u k", count, capacity);
        return false;
    }
    std::vector<uint64_t> records(size_t{count} * 3);
    if (status == CL_SUCCESS && count > 0)
        status = clEnqueueReadBuffer(queue, b.records.mem, CL_TRUE, 0, records.size() * 8, records.data(), 0, nullptr,
                                     nullptr);
    if (status != CL_SUCCESS) {
        *error = "the prime search failed on the device: " + ClErrorName(status);
        return false;
    }
    found_.resize(count);
    for (uint32_t i = 0; i < count; ++i) {
        found_[i].g = static_cast<uint32_t>(records[3 * i]);
        found_[i].status = static_cast<uint32_t>(records[3 * i] >> 32);
        found_[i].a = static_cast<UInt128>(records[3 * i + 1]) | static_cast<UInt128>(records[3 * i + 2]) << 64;
        if (found_[i].g >= total || found_[i].status > kStatusHost) {
            *error = "the device's prime list is garbled";
            return false;
        }
    }
    std::sort(found_.begin(), found_.end(), [](const Found& x, const Found& y) { return x.g < y.g; });
    for (uint32_t i = 1; i < count; ++i)
        if (found_[i].g == found_[i - 1].g) {
            *error = "the device's prime list is garbled";
            return false;
        }
    // Each prime's p, from its block's k.
    size_t block = 0;
    for (Found& f : found_) {
        while (start[block + 1] <= f.g) ++block;
        const UInt128 k = segs[block]->kFrom + (f.g - start[block]) + 1;
        f.p = k * twoN + 1;
        if (f.status == kStatusWalk && (f.a == 0 || f.a >= f.p)) {
            *error = "the device's prime list is garbled";
            return false;
        }
    }
    counters_.primes += count;
    for (const Found& f : found_) counters_.toHost += f.status == kStatusHost;
    return true;
}

namespace {

// The walk kernels, each for its range of p.
enum WalkKind { kShoup64, kMont64, kShoup80, kMont96, kWalkKinds };
constexpr const char* kWalkKernels[kWalkKinds] = {"walk64", "walk64m", "walk80", "walk96"};

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
        const UInt128 s = MulModSlow(a, a, p);
        // w = floor(s 2^96 / p), a bit at a time: the remainder stays below 2p < 2^97.
        UInt128 w = 0, rest = s;
        for (int i = 0; i < (kind == kShoup80 ? 96 : 0); ++i) {
            rest <<= 1;
            w <<= 1;
            if (rest >= p) {
                rest -= p;
                w |= 1;
            }
        }
        uint32_t x = static_cast<uint32_t>(p);
        for (int r = 0; r < 4; ++r) x *= 2 - static_cast<uint32_t>(p) * x;
        const UInt128 v[7] = {p, ToMont96(a, p), ToMont96(s, p), 0, s, w, (UInt128{1} << 96) - p};
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
        words[6] = static_cast<uint32_t>(0u - x) | static_cast<uint64_t>(shift) << 32;
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

bool DeviceSieve::Walk(std::string* error) {
    // N/2 and the chunk lengths are powers of two: every chunk is whole.
    const uint32_t odd = static_cast<uint32_t>(info_.exponent / 2);
    const uint32_t limit = static_cast<uint32_t>(info_.bMax);
    walking_.clear();
    primeWords_.clear();
    items_.clear();
    hits_.clear();
    const size_t slotRoots = SlotRoots(info_.exponent);
    // Below bMax every root is a hit: more than a slot holds, the CPU lists
    // them into the job's own list.
    auto listedByHost = [&](const Found& f) {
        return f.p <= static_cast<UInt128>(info_.bMax) && static_cast<size_t>(info_.exponent) >= slotRoots;
    };
    size_t walkers = 0;
    for (const Found& f : found_) walkers += f.status == kStatusWalk && !listedByHost(f);
    const size_t wanted = faults_.chunkItems ? faults_.chunkItems
                                             : static_cast<size_t>(std::max(1, program_.Device().computeUnits)) *
                                                   kItemsPerUnit;
    chunkLength_ = std::min(odd, kMaxChunk);
    while (chunkLength_ * 2 <= std::min(odd, kLongestChunk) && walkers * (odd / (chunkLength_ * 2)) >= wanted)
        chunkLength_ *= 2;
    // Walking primes in kernel order, each kernel's items one run.
    std::vector<size_t> kindFrom(kWalkKinds + 1, 0);
    for (int kind = 0; kind < kWalkKinds; ++kind) {
        kindFrom[static_cast<size_t>(kind)] = items_.size() / 2;
        for (size_t i = 0; i < found_.size(); ++i) {
            const Found& f = found_[i];
            if (f.status != kStatusWalk || KindOf(f.p) != kind) continue;
            Walking w{i, f.p, items_.size() / 2, 0};
            const uint32_t index = static_cast<uint32_t>(walking_.size());
            if (listedByHost(f)) {
                w.listFull = true;
            } else {
                w.chunks = odd / chunkLength_;
                for (uint32_t c = 0; c < w.chunks; ++c) {
                    items_.push_back(index);
                    items_.push_back(c);
                }
            }
            walking_.push_back(w);
            uint64_t words[kPrimeWords] = {};
            PrimeWords(static_cast<WalkKind>(kind), f.p, f.a, limit, words);
            primeWords_.insert(primeWords_.end(), words, words + kPrimeWords);
        }
    }
    kindFrom[kWalkKinds] = items_.size() / 2;
    if (!items_.empty()) counters_.longestChunk = std::max(counters_.longestChunk, chunkLength_);
    counters_.walked += static_cast<int64_t>(walking_.size());
    const size_t itemCount = items_.size() / 2;
    ends_.assign(itemCount * 4, 0);
    if (itemCount == 0) return true;
    cl_context context = static_cast<cl_context>(program_.Context());
    cl_command_queue queue = static_cast<cl_command_queue>(program_.Queue());
    Buffers& b = *buffers_;
    cl_int status = CL_SUCCESS;
    if (!b.primes.Reserve(context, primeWords_.size() * 8, &status)) {
        *error = "no device memory: " + ClErrorName(status);
        return false;
    }
    status = clEnqueueWriteBuffer(queue, b.primes.mem, CL_TRUE, 0, primeWords_.size() * 8, primeWords_.data(), 0,
                                  nullptr, nullptr);
    if (status != CL_SUCCESS) {
        *error = "the walk's set-up failed on the device: " + ClErrorName(status);
        return false;
    }
    for (int kind = 0; kind < kWalkKinds; ++kind) {
        const size_t kindEnd = kindFrom[static_cast<size_t>(kind) + 1];
        for (size_t from = kindFrom[static_cast<size_t>(kind)]; from < kindEnd;) {
            const size_t perLaunch = std::max<size_t>(1, static_cast<size_t>(stepsPerLaunch_ / chunkLength_));
            const size_t to = std::min(kindEnd, from + perLaunch);
            if (!WalkSlice(kWalkKernels[kind], from, to, error)) return false;
            from = to;
        }
    }
    // Each chunk must end where the next begins, the last at a^(N + 1) = -a:
    // a walk that went astray anywhere cannot meet both.
    for (const Walking& w : walking_) {
        const Found& f = found_[w.found];
        for (uint32_t c = 0; c < w.chunks; ++c) {
            const size_t item = w.firstItem + c;
            const UInt128 end = static_cast<UInt128>(ends_[4 * item + 2]) | static_cast<UInt128>(ends_[4 * item + 3]) << 64;
            const UInt128 want = c + 1 < w.chunks ? static_cast<UInt128>(ends_[4 * item + 4]) |
                                                        static_cast<UInt128>(ends_[4 * item + 5]) << 64
                                                  : f.p - f.a;
            if (end != want) {
                *error = StringPrintf("the walk's end check failed for p = %s (chunk %u of %u)",
                                      FormatUInt128(f.p).c_str(), c + 1, w.chunks);
                return false;
            }
        }
    }
    return true;
}

bool DeviceSieve::WalkSlice(const char* kernelName, size_t from, size_t to, std::string* error) {
    cl_context context = static_cast<cl_context>(program_.Context());
    cl_command_queue queue = static_cast<cl_command_queue>(program_.Queue());
    Buffers& b = *buffers_;
    const uint32_t capacity = faults_.hitCapacity ? faults_.hitCapacity : kHitCapacity;
    const size_t count = to - from;
    cl_int status = CL_SUCCESS;
    if (!b.items.Reserve(context, count * 8, &status) || !b.hitCount.Reserve(context, 4, &status) ||
        !b.hits.Reserve(context, size_t{capacity} * 16, &status) || !b.ends.Reserve(context, count * 32, &status)) {
        *error = "no device memory: " + ClErrorName(status);
        return false;
    }
    const uint32_t zero = 0;
    status = clEnqueueWriteBuffer(queue, b.items.mem, CL_FALSE, 0, count * 8, &items_[2 * from], 0, nullptr, nullptr);
    if (status == CL_SUCCESS) status = clEnqueueWriteBuffer(queue, b.hitCount.mem, CL_FALSE, 0, 4, &zero, 0, nullptr, nullptr);
    cl_kernel kernel = static_cast<cl_kernel>(program_.Kernel(kernelName));
    Args args{kernel};
    const uint32_t items = static_cast<uint32_t>(count);
    const uint32_t limit = static_cast<uint32_t>(info_.bMax);
    args << b.primes.mem << b.items.mem << items << chunkLength_ << limit << b.hitCount.mem << b.hits.mem << capacity
         << b.ends.mem;
    if (program_.TestHooks()) args << static_cast<uint32_t>(faults_.brokenWalk && from == 0 ? 1 : 0);
    if (status == CL_SUCCESS) status = args.status;
    const auto began = std::chrono::steady_clock::now();
    if (status == CL_SUCCESS) status = Launch(queue, kernel, count);
    const double took = Seconds(began);
    uint32_t hits = 0;
    if (status == CL_SUCCESS) status = clEnqueueReadBuffer(queue, b.hitCount.mem, CL_TRUE, 0, 4, &hits, 0, nullptr, nullptr);
    if (status != CL_SUCCESS) {
        *error = "the walk failed on the device: " + ClErrorName(status);
        return false;
    }
    ++counters_.launches;
    counters_.longestLaunch = std::max(counters_.longestLaunch, took);
    // Slices sized to the launch target: doubled while well below it,
    // halved above it.
    const double target = std::chrono::duration<double>(target_).count();
    if (took < target / 4 && stepsPerLaunch_ < (uint64_t{1} << 32)) stepsPerLaunch_ *= 2;
    else if (took > target && stepsPerLaunch_ > chunkLength_) stepsPerLaunch_ /= 2;
    if (hits > capacity) {
        // The buffer overflowed: the slice again in halves. One chunk alone
        // that overflows it leaves its prime's roots to the CPU.
        ++counters_.splits;
        if (count == 1) {
            walking_[items_[2 * from]].listFull = true;
            hits = 0;
        } else {
            const size_t mid = from + count / 2;
            return WalkSlice(kernelName, from, mid, error) && WalkSlice(kernelName, mid, to, error);
        }
    }
    const size_t had = hits_.size();
    hits_.resize(had + size_t{hits} * 4);
    if (hits > 0)
        status = clEnqueueReadBuffer(queue, b.hits.mem, CL_TRUE, 0, size_t{hits} * 16, &hits_[had], 0, nullptr, nullptr);
    if (status == CL_SUCCESS)
        status = clEnqueueReadBuffer(queue, b.ends.mem, CL_TRUE, 0, count * 32, &ends_[4 * from], 0, nullptr, nullptr);
    if (status != CL_SUCCESS) {
        *error = "the walk's results did not come back: " + ClErrorName(status);
        return false;
    }
    for (size_t h = had; h < hits_.size(); h += 4)
        if (hits_[h] >= walking_.size() || hits_[h + 2] > static_cast<uint32_t>(info_.bMax)) {
            *error = "the device's hit list is garbled";
            return false;
        }
    return true;
}

size_t WorkGroupSize(const DeviceInfo& device) { return PowerOfTwoBelow(device.maxGroup, kGroup); }

// ---------------------------------------------------------------- arithmetic for the tests

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
    cl_context context = static_cast<cl_context>(program.Context());
    cl_command_queue queue = static_cast<cl_command_queue>(program.Queue());
    cl_kernel kernel = static_cast<cl_kernel>(program.Kernel(wide ? "arith96" : "arith64"));
    if (!kernel) {
        *error = "no arithmetic kernel";
        return false;
    }
    Mem input, output;
    cl_int status = CL_SUCCESS;
    if (!input.Reserve(context, in.size() * 8, &status) || !output.Reserve(context, in.size() * 8, &status)) {
        *error = ClErrorName(status);
        return false;
    }
    status = clEnqueueWriteBuffer(queue, input.mem, CL_TRUE, 0, in.size() * 8, in.data(), 0, nullptr, nullptr);
    Args args{kernel};
    const uint32_t n = static_cast<uint32_t>(count);
    args << input.mem << n << output.mem;
    if (status == CL_SUCCESS) status = args.status;
    if (status == CL_SUCCESS) status = Launch(queue, kernel, count);
    if (status == CL_SUCCESS)
        status = clEnqueueReadBuffer(queue, output.mem, CL_TRUE, 0, result.size() * 8, result.data(), 0, nullptr, nullptr);
    if (status != CL_SUCCESS) {
        *error = ClErrorName(status);
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
    cl_context context = static_cast<cl_context>(program.Context());
    cl_command_queue queue = static_cast<cl_command_queue>(program.Queue());
    cl_kernel kernel = static_cast<cl_kernel>(program.Kernel("walk_steps"));
    if (!kernel) {
        *error = "no kernel walk_steps";
        return false;
    }
    for (uint32_t kind = 0; kind < kWalkKinds; ++kind) {
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
        Mem primes, input, output;
        cl_int status = CL_SUCCESS;
        if (!primes.Reserve(context, words.size() * 8, &status) || !input.Reserve(context, xs.size() * 8, &status) ||
            !output.Reserve(context, at.size() * 24, &status)) {
            *error = ClErrorName(status);
            return false;
        }
        status = clEnqueueWriteBuffer(queue, primes.mem, CL_TRUE, 0, words.size() * 8, words.data(), 0, nullptr, nullptr);
        if (status == CL_SUCCESS)
            status = clEnqueueWriteBuffer(queue, input.mem, CL_TRUE, 0, xs.size() * 8, xs.data(), 0, nullptr, nullptr);
        Args args{kernel};
        const uint32_t n = static_cast<uint32_t>(at.size());
        args << primes.mem << input.mem << n << kind << output.mem;
        if (status == CL_SUCCESS) status = args.status;
        if (status == CL_SUCCESS) status = Launch(queue, kernel, at.size());
        std::vector<uint64_t> result(at.size() * 3);
        if (status == CL_SUCCESS)
            status = clEnqueueReadBuffer(queue, output.mem, CL_TRUE, 0, result.size() * 8, result.data(), 0, nullptr,
                                         nullptr);
        if (status != CL_SUCCESS) {
            *error = ClErrorName(status);
            return false;
        }
        for (size_t j = 0; j < at.size(); ++j) {
            (*out)[at[j]] = static_cast<UInt128>(result[3 * j]) | static_cast<UInt128>(result[3 * j + 1]) << 64;
            (*examined)[at[j]] = result[3 * j + 2] != 0;
        }
    }
    return true;
}

}  // namespace varnesk::gpu
