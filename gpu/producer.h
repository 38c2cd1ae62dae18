// An OpenCL device as a producer of the wide sieve's blocks, beside the
// job's own threads. It takes a run of blocks at a time, keeps two such
// batches on the device and, before it hands one over, holds it against
// the CPU while the device runs the other: each
// block's probable primes must be those of the host's own candidate
// stream, and an audit completes some of its primes on the CPU, whole hit
// lists, so that a prime or a hit the device failed to report (which no
// proof of a strike would notice) stops the job.
#pragma once
#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "engine/block.h"
#include "engine/producer.h"
#include "kernels/candidates.h"
#include "gpu/devicesieve.h"
#include "gpu/opencl.h"

namespace varnesk::gpu {

// How many blocks the device's next batch takes, from what the last ones
// took (producer.cpp says how).
class BatchPace {
public:
    // The device's batches: at most this long on it, so that a stop waits
    // for little, unless a single block takes longer.
    static constexpr double kBatchSeconds = 0.5;
    BatchPace() = default;
    // most: half its part; alone: no lead to keep; fixed > 0: every batch
    // that long (tests).
    BatchPace(int most, bool alone, int fixed)
        : most_(most), alone_(alone), fixed_(fixed), batch_(fixed > 0 ? fixed : 1) {}
    // A batch of `blocks` came back: its device time and its time from
    // submission to hand-over; lead: how long the host takes to reach a
    // batch's blocks once taken (0: unknown, or alone). Seconds the device
    // is to pause, its part left to the threads (0: none).
    double Update(double deviceSeconds, double turnaround, size_t blocks, double lead);
    int Batch() const { return batch_; }

private:
    int most_ = 1;
    bool alone_ = false;
    int fixed_ = 0;
    int batch_ = 1;
    // Recent batches' blocks, device time and turnaround, the older
    // weighing less.
    double blocks_ = 0, device_ = 0, turn_ = 0;
};

class GpuProducer : public BlockProducer {
public:
    // Faults a test asks for: what a faulty card does.
    enum class Fault {
        kNone,
        kWrongBase,    // a root moved by two, in a prime the audit does not look at: the proof refuses it
        kDropHit,      // every prime's first hit left out: the audit sees it
        kDropSeventh,  // every seventh hit it reports left out: the audit sees it
        kDropPrime,    // one prime in thirteen left out (the fifth, the eighteenth, ...): the check of the primes sees it
        kBrokenWalk,   // a chunk's walk goes astray: the end check sees it
        kOverflow,     // a hit buffer of four: slices split, results unchanged
        kNoResidue,    // the order search gives up: every prime goes to the CPU
    };
    struct Options {
        DeviceInfo device;
        std::string cacheDir;  // empty: the default cache
        // Its part of the window, in blocks (0: by the blocks' size); it
        // keeps two batches of them on the device, each as many as it can
        // fill before the host comes to them.
        int hold = 0;
        // > 0: every batch this many blocks, unpaced (tests, so that a slow
        // device surely takes part).
        int batch = 0;
        // It sieves alone: the job's one thread, the host's, strikes and
        // completes what the device leaves, and never takes the device's
        // part of the window; the device's batches are as long as its
        // measured time allows, never paced to the host's.
        bool alone = false;
        Fault fault = Fault::kNone;
        int faultAfter = 1;    // batches filled faithfully before the fault
        std::chrono::milliseconds launchTarget{100};
        KernelPath path = KernelPath::Scalar;  // the audit's CPU kernels
        // Rounds its blocks wait for it before the job's threads may take
        // them (tests: many, so that it surely gets its part).
        int yieldAfterRounds = 2;
        // The device's program when already open and checked (not owned;
        // tests share one), else it opens its own in Begin.
        Program* program = nullptr;
        // Where Begin says what it did with a cached program that could not
        // be used (the job's log; null: nowhere).
        TextSink* log = nullptr;
        // The audit begins with every prime the device completes, until it
        // has seen enough hits; false: the budget alone from the start
        // (tests of faults the audit must not see first).
        bool auditWarmUp = true;
    };

    explicit GpuProducer(Options options);
    ~GpuProducer() override;

    std::string Name() const override;
    BlockPolicy Policy() const override;
    bool Begin(const SegmentJobInfo& info, std::string* reason) override;
    bool Pump(BlockDesk& desk, int thread) override;
    void End() override;

    // Blocks and primes it handed over, for the status line's share.
    int64_t Blocks() const { return blocks_.load(std::memory_order_relaxed); }
    int64_t Primes() const { return primes_.load(std::memory_order_relaxed); }
    int64_t Audits() const { return audits_.load(std::memory_order_relaxed); }
    // What holding its blocks against the CPU cost: the audit, and the
    // check of their primes, as shares of one core over its time in the
    // job, and the audit's share of its walked primes; and the share of
    // that time the device was busy filling blocks.
    struct Costs {
        double auditCore = 0, checkCore = 0, auditShare = 0, deviceBusy = 0;
    };
    Costs CostShares() const;
    // The k of the blocks it handed over, all told.
    uint64_t KSpan() const { return kSpan_.load(std::memory_order_relaxed); }
    DeviceCounters Counters() const;
    // The job's log, for Begin's lines (AttachDevice sets it).
    void SetLog(TextSink* log) { options_.log = log; }
    // The job's threads: with one, which is the host's own, the device
    // sieves alone (Options::alone). Before the job begins.
    void SetJobThreads(int threads) { options_.alone = threads == 1; }
    // Whether the kernels came from the cache (after Begin).
    bool FromCache() const { return program_ && program_->FromCache(); }

private:
    // A slot an audit looks at: the block's place in the batch and the
    // slot's in the block.
    struct Pick {
        size_t block, slot;
    };
    // A batch of blocks on the device, from its submission until it is
    // handed over; two of them, so that the host works on one while the
    // device runs the other.
    struct Batch {
        enum Stage { kFree, kSearching, kWalking } stage = kFree;
        std::unique_ptr<DeviceTicket> ticket = std::make_unique<DeviceTicket>();
        std::vector<BlockTask> tasks;
        std::vector<Segment> segs;
        bool faulty = false;
        uint64_t number = 0;  // in the order submitted
        std::chrono::steady_clock::time_point submitted{};
    };
    bool Submit(BlockDesk& desk, Batch& batch);
    bool HandOver(BlockDesk& desk, Batch& batch);
    void Stop(BlockDesk& desk, const std::string& text, bool halt);
    bool CheckPrimes(const Segment& seg, std::string* text);
    void PlanAudit(const Batch& batch);
    bool Audit(const Segment& seg, size_t slot, std::string* text);
    void Inject(Batch& batch, bool wrongBase);

    Options options_;
    SegmentJobInfo info_;
    std::unique_ptr<Program> ownProgram_;
    Program* program_ = nullptr;
    std::unique_ptr<DeviceSieve> sieve_;
    SieveJob job_;
    KernelContext kernels_;
    // How many blocks a batch takes, and what paces it: the device's own
    // time a block against, unless it sieves alone, the rate at which the
    // host takes blocks, and a pause while even one block is too slow.
    int Hold() const;
    void Pace(double deviceSeconds, double turnaround, size_t blocks, int64_t newestIndex);
    BatchPace pace_;
    double hostRate_ = 0;  // blocks a second, smoothed
    int64_t lastIndex_ = -1;
    std::chrono::steady_clock::time_point lastTake_{}, pausedUntil_{};
    Batch batches_[2];
    uint64_t submitted_ = 0;
    // The host's own primes, for the check of the device's.
    std::unique_ptr<CandidateStream> stream_;
    std::vector<Candidate> hostPrimes_;
    UInt128 kLast_ = 0;  // the last k with p below 2^96
    // The audit: its picks for the batch, and what it has cost and seen.
    std::vector<Pick> picks_;
    PrimeSlot audit_;
    bool warm_ = true;
    int64_t warmHits_ = 0, warmPrimes_ = 0;
    double credit_ = 0;  // seconds of one core the audit may still spend
    std::chrono::steady_clock::time_point began_{}, credited_{};
    uint64_t auditRound_ = 0;
    int64_t faultHits_ = 0;  // hits a test's fault has passed
    bool halted_ = false;
    std::atomic<int64_t> blocks_{0}, primes_{0}, audits_{0}, walked_{0};
    std::atomic<double> auditSeconds_{0}, checkSeconds_{0}, runSeconds_{0};
    std::atomic<uint64_t> kSpan_{0};
    mutable std::mutex countersMutex_;
    DeviceCounters counters_;
};

}  // namespace varnesk::gpu
