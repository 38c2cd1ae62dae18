// The device's blocks against the CPU's, slot by slot: the same primes
// (pseudoprimes included), the same solution a, the same bases in the same
// order, for N from 2 to 2^24 and p from small to just below 2^96; and the
// device's faults: a small hit buffer changes nothing, a broken walk is
// refused, primes it gives up on come back as kPrime.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "engine/blockfill.h"
#include "gpu/devicesieve.h"
#include "kernels/startup.h"
#include "tests/gpu/gpu_fixture.h"

namespace varnesk::gpu {
namespace {

struct Cpu {
    SieveJob job;
    KernelContext kernels;
    std::unique_ptr<BlockSieve> sieve;
    explicit Cpu(const SegmentJobInfo& info) {
        EXPECT_TRUE(StartBlockKernels(info, KernelPath::Scalar, job, kernels));
        sieve = std::make_unique<BlockSieve>(kernels, 2 * static_cast<int64_t>(info.exponent), info.exponentLog2,
                                             SlotRoots(info.exponent));
    }
};

SegmentJobInfo Info(int32_t n, int32_t bMin, int32_t bMax) {
    return SegmentJobInfo{int32_t{1} << n, n, bMin, bMax};
}

// `blocks` runs of k from kFrom, each about `primes` primes long.
std::vector<Segment> Runs(UInt128 kFrom, int32_t exponent, int blocks, int primes) {
    std::vector<Segment> segs(static_cast<size_t>(blocks));
    for (Segment& seg : segs) {
        seg.kFrom = kFrom;
        kFrom += static_cast<UInt128>(BatchSpan(kFrom, 2 * static_cast<int64_t>(exponent), primes));
        seg.kTo = kFrom;
    }
    return segs;
}

// A full list from the device leaves the roots to the host: as good as the
// CPU's list for the same a.
void ExpectSameSlots(const Segment& device, const Segment& cpu) {
    ASSERT_EQ(device.count, cpu.count) << "k from " << FormatUInt128(cpu.kFrom);
    for (int i = 0; i < cpu.count; ++i) {
        const PrimeSlot& d = device.slots[static_cast<size_t>(i)];
        const PrimeSlot& c = cpu.slots[static_cast<size_t>(i)];
        SCOPED_TRACE("p = " + FormatUInt128(c.p));
        ASSERT_EQ(d.k, c.k);
        ASSERT_EQ(d.p, c.p);
        if (d.outcome == PrimeSlot::kListFull && (c.outcome == PrimeSlot::kRoots || c.outcome == PrimeSlot::kListFull)) {
            EXPECT_EQ(d.a, c.a);
            continue;
        }
        ASSERT_EQ(d.outcome, c.outcome);
        if (c.outcome == PrimeSlot::kRoots) {
            EXPECT_EQ(d.a, c.a);
            ASSERT_EQ(d.rootCount, c.rootCount);
            for (int32_t r = 0; r < c.rootCount; ++r) EXPECT_EQ(d.roots[static_cast<size_t>(r)], c.roots[static_cast<size_t>(r)]);
        }
    }
}

struct Case {
    const char* name;
    int32_t n, bMin, bMax;
    UInt128 kFrom;
    int blocks, primes;
};

constexpr UInt128 kTwo(int e) { return UInt128{1} << e; }

TEST(GpuBlocks, AgreeWithTheCpuSlotBySlot) {
    VARNESK_NEED_DEVICE();
    const Case cases[] = {
        // p below bMax: every root a hit, translates for the host.
        {"N=2 small p", 1, 2, 100000, 0, 3, 16},
        {"N=4 small p", 2, 3, 5000, 0, 2, 16},
        {"N=32 the first primes", 5, 2, 100, 0, 2, 8},
        // p up to bMax with more roots than a slot holds (N = 2^13 >= 4096).
        {"N=2^13 p below bMax", 13, 2, 2000000000, 0, 2, 4},
        {"N=8 at 2^52", 3, 2, 1 << 30, kTwo(52) / 16, 3, 16},
        {"N=64 across 2^63", 6, 2, 1 << 24, kTwo(63) / 128 - 200, 4, 16},
        {"N=1024 just below 2^64", 10, 2, 2000000000, (kTwo(64) - 1) / 2048 - 3000, 3, 16},
        {"N=16 across 2^64", 4, 2, 1 << 30, kTwo(64) / 32 - 150, 3, 16},
        {"N=256 at 2^79", 8, 2, 2000000000, kTwo(79) / 512, 2, 16},
        {"N=4096 at 2^95", 12, 2, 2000000000, kTwo(95) / 8192, 2, 8},
        {"N=32 to the end at 2^96", 5, 2, 1 << 20, (kTwo(96) - 2) / 64 - 60, 2, 16},
        {"N=2^20 at 10^15", 20, 2, 2000000000, UInt128{1000000000000000ULL} >> 21, 2, 6},
        {"N=2^24 at 2^60", 24, 2, 2000000000, kTwo(60) >> 25, 1, 1},
    };
    // Each with chunks of 512 steps and with chunks grown to 4096 (or N/2).
    for (const Case& c : cases) {
        for (const size_t chunkItems : {SIZE_MAX, size_t{1}}) {
            SCOPED_TRACE(std::string(c.name) + (chunkItems == 1 ? ", longest chunks" : ""));
            const SegmentJobInfo info = Info(c.n, c.bMin, c.bMax);
            std::string error;
            auto device = DeviceSieve::Open(*testing::TestProgram(), info, &error);
            ASSERT_NE(device, nullptr) << error;
            DeviceFaults faults;
            faults.chunkItems = chunkItems;
            device->SetFaults(faults);
            Cpu cpu(info);
            std::vector<Segment> mine = Runs(c.kFrom, info.exponent, c.blocks, c.primes);
            std::vector<Segment> theirs = mine;
            std::vector<Segment*> batch;
            for (Segment& seg : mine) batch.push_back(&seg);
            ASSERT_TRUE(device->Fill(batch, &error)) << error;
            int primes = 0;
            for (size_t i = 0; i < mine.size(); ++i) {
                cpu.sieve->Fill(theirs[i]);
                ExpectSameSlots(mine[i], theirs[i]);
                primes += theirs[i].count;
            }
            EXPECT_GT(primes, 0);
            EXPECT_EQ(device->Counters().toHost, 0);
            const uint32_t longest = device->Counters().longestChunk;
            if (longest != 0) {
                EXPECT_EQ(longest, std::min<uint32_t>(info.exponent / 2, chunkItems == 1 ? 4096 : 512));
            }
        }
    }
}

TEST(GpuBlocks, FaultsAreAnsweredOrRefused) {
    VARNESK_NEED_DEVICE();
    struct FaultCase {
        const char* name;
        DeviceFaults faults;
        bool fills;
        const char* error;  // part of the refusal
        bool shipped = false;  // on the shipped kernels, not the tests' build
    };
    const FaultCase cases[] = {
        {"a hit buffer of four splits its slices", {false, false, 4}, true, ""},
        {"no non-residue found: the CPU completes every prime", {false, true, 0}, true, ""},
        {"a broken walk fails its end check", {true, false, 0}, false, "end check failed"},
        {"the shipped walk has no fault to inject", {true, false, 0}, false, "needs the tests' program", true},
    };
    // p below bMax at N = 64: every root a hit, many to a chunk.
    const SegmentJobInfo info = Info(6, 2, 1 << 20);
    for (const FaultCase& c : cases) {
        SCOPED_TRACE(c.name);
        std::string error;
        Program* program = c.shipped ? testing::TestProgram() : testing::FaultProgram();
        ASSERT_NE(program, nullptr);
        auto device = DeviceSieve::Open(*program, info, &error);
        ASSERT_NE(device, nullptr) << error;
        device->SetFaults(c.faults);
        Cpu cpu(info);
        std::vector<Segment> mine = Runs(2000, info.exponent, 3, 16);
        std::vector<Segment> theirs = mine;
        std::vector<Segment*> batch;
        for (Segment& seg : mine) batch.push_back(&seg);
        const bool filled = device->Fill(batch, &error);
        ASSERT_EQ(filled, c.fills) << error;
        if (!filled) {
            EXPECT_NE(error.find(c.error), std::string::npos) << error;
            continue;
        }
        for (size_t i = 0; i < mine.size(); ++i) {
            cpu.sieve->Finish(mine[i]);  // what the ring has a backstop do
            cpu.sieve->Fill(theirs[i]);
            ExpectSameSlots(mine[i], theirs[i]);
        }
        if (c.faults.hitCapacity) {
            EXPECT_GT(device->Counters().splits, 0);
        }
        if (c.faults.noResidue) {
            EXPECT_GT(device->Counters().toHost, 0);
        }
    }
}

// Two batches in flight on their own tickets, each with the faults set
// when it was submitted, collected in either order: each block is the
// CPU's, the device tells the host when a step has ended, and its busy
// time comes from its own clock.
TEST(GpuBlocks, TwoBatchesInFlightAreEachTheCpus) {
    VARNESK_NEED_DEVICE();
    // p below bMax at N = 64: every root a hit, many to a chunk; then a
    // batch across 2^63, from one walk kernel to the next.
    const SegmentJobInfo info = Info(6, 2, 1 << 20);
    const UInt128 starts[2] = {2000, kTwo(63) / 128 - 200};
    for (const bool newestFirst : {false, true}) {
        SCOPED_TRACE(newestFirst ? "the second collected first" : "in order");
        std::string error;
        auto device = DeviceSieve::Open(*testing::TestProgram(), info, &error);
        ASSERT_NE(device, nullptr) << error;
        Cpu cpu(info);
        device->EnableWaits();
        const uint64_t seen = device->Notices();
        std::vector<Segment> mine[2], theirs[2];
        DeviceTicket tickets[2];
        for (int b = 0; b < 2; ++b) {
            mine[b] = Runs(starts[b], info.exponent, 3, 16);
            theirs[b] = mine[b];
            std::vector<Segment*> batch;
            for (Segment& seg : mine[b]) batch.push_back(&seg);
            DeviceFaults faults;
            faults.hitCapacity = b == 0 ? 4 : 0;  // the first's hits walked again slice by slice
            device->SetFaults(faults);
            ASSERT_TRUE(device->Submit(batch, &tickets[b], &error)) << error;
            EXPECT_TRUE(tickets[b].Busy());
        }
        EXPECT_FALSE(device->Submit({}, &tickets[0], &error));
        // The device says when a search has ended: the wait is not its limit.
        device->WaitAfter(seen, std::chrono::seconds(60));
        EXPECT_NE(device->Notices(), seen);
        for (DeviceTicket& ticket : tickets) ASSERT_TRUE(device->Advance(ticket, &error)) << error;
        for (int i = 0; i < 2; ++i) {
            DeviceTicket& ticket = tickets[newestFirst ? 1 - i : i];
            ASSERT_TRUE(device->Collect(ticket, &error)) << error;
            EXPECT_FALSE(ticket.Busy());
            EXPECT_TRUE(device->Ready(ticket));
        }
        for (int b = 0; b < 2; ++b)
            for (size_t i = 0; i < mine[b].size(); ++i) {
                cpu.sieve->Fill(theirs[b][i]);
                ExpectSameSlots(mine[b][i], theirs[b][i]);
            }
        EXPECT_GT(device->Counters().splits, 0);
        EXPECT_EQ(device->Counters().batches, 2);
        EXPECT_GT(device->Counters().busySeconds, 0);
        EXPECT_GT(tickets[0].DeviceSeconds() + tickets[1].DeviceSeconds(), 0);
    }
}

}  // namespace
}  // namespace varnesk::gpu

namespace varnesk::gpu {
namespace {

// Small enough for oclgrind's interpreter (tests/scripts/oclgrind_test.sh
// runs it there with its memory, race and API checks): both widths of every
// kernel, with hits, an overflowing hit buffer and the end of the sieve.
TEST(GpuOclgrind, ASmallJobsKernelsAgreeWithTheCpu) {
    VARNESK_NEED_DEVICE();
    struct Small {
        const char* name;
        int32_t n;
        UInt128 kFrom;
        uint32_t hitCapacity;
    };
    const Small cases[] = {
        {"one word, p below bMax", 4, 1000, 0},
        {"one word, the hit buffer overflows", 4, 1000, 3},
        {"three limbs", 4, kTwo(64) / 32, 0},
        {"the end of the sieve", 4, (kTwo(96) - 2) / 32 - 40, 0},
    };
    for (const Small& c : cases) {
        SCOPED_TRACE(c.name);
        const SegmentJobInfo info = Info(c.n, 2, 100000);
        std::string error;
        auto device = DeviceSieve::Open(*testing::TestProgram(), info, &error);
        ASSERT_NE(device, nullptr) << error;
        DeviceFaults faults;
        faults.hitCapacity = c.hitCapacity;
        device->SetFaults(faults);
        Cpu cpu(info);
        std::vector<Segment> mine = Runs(c.kFrom, info.exponent, 2, 4);
        std::vector<Segment> theirs = mine;
        std::vector<Segment*> batch;
        for (Segment& seg : mine) batch.push_back(&seg);
        ASSERT_TRUE(device->Fill(batch, &error)) << error;
        for (size_t i = 0; i < mine.size(); ++i) {
            cpu.sieve->Fill(theirs[i]);
            ExpectSameSlots(mine[i], theirs[i]);
        }
    }
}

}  // namespace
}  // namespace varnesk::gpu

namespace varnesk::gpu {
namespace {

// 128 where the device takes it, else the largest power of two it takes:
// a launch's global size is a multiple of it.
TEST(GpuLaunch, WorkGroupsOf128OrTheLargestPowerOfTwoBelow) {
    const size_t cases[][2] = {{4096, 128}, {1024, 128}, {128, 128}, {100, 64}, {64, 64}, {1, 1}};
    for (const auto& c : cases) {
        DeviceInfo device;
        device.maxGroup = c[0];
        EXPECT_EQ(WorkGroupSize(device), c[1]) << c[0];
    }
}

}  // namespace
}  // namespace varnesk::gpu
