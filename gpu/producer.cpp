#include "gpu/producer.h"

#include <algorithm>

#include "engine/blockfill.h"
#include "gpu/selfcheck.h"
#include "kernels/startup.h"
#include "platform/post.h"

namespace varnesk::gpu {

namespace {

const char* FaultName(GpuProducer::Fault fault) {
    switch (fault) {
    case GpuProducer::Fault::kNone: return "";
    case GpuProducer::Fault::kWrongBase: return ", fault: wrong base";
    case GpuProducer::Fault::kDropHit: return ", fault: dropped hit";
    case GpuProducer::Fault::kDropSeventh: return ", fault: one hit in seven dropped";
    case GpuProducer::Fault::kDropPrime: return ", fault: one prime in thirteen left out";
    case GpuProducer::Fault::kBrokenWalk: return ", fault: broken walk";
    case GpuProducer::Fault::kOverflow: return ", fault: small hit buffer";
    case GpuProducer::Fault::kNoResidue: return ", fault: no non-residue";
    }
    return "";
}

uint64_t Mix(uint64_t x) {
    x += 0x9e3779b97f4a7c15ULL;
    x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ULL;
    x = (x ^ (x >> 27)) * 0x94d049bb133111ebULL;
    return x ^ (x >> 31);
}

// Slots an audit may look at: those the device completed.
bool Audited(const PrimeSlot& slot) {
    return slot.outcome == PrimeSlot::kNothing || slot.outcome == PrimeSlot::kRoots ||
           slot.outcome == PrimeSlot::kListFull;
}

bool HitsReported(const PrimeSlot& slot) {
    return slot.outcome == PrimeSlot::kListFull || (slot.outcome == PrimeSlot::kRoots && slot.rootCount > 0);
}

// The audit's budget: a share of one core over the device's time in the
// job, never more than a second of it saved up.
constexpr double kAuditCore = 0.02;
constexpr double kCreditLimit = 1.0;
// The audit first completes every prime the device completes, until it
// has seen this many hits or walked this many roots: a device that drops
// hits is caught in its first blocks, at a fixed cost however long the job.
constexpr int64_t kWarmHits = 64;
constexpr double kWarmSteps = 1 << 26;

// An index with odds in proportion to its weight, by a draw u in [0, 1);
// its weight then 0, so that draws do not repeat.
size_t Draw(std::vector<double>& weights, double u) {
    double total = 0;
    for (double w : weights) total += w;
    double left = u * total;
    size_t chosen = weights.size() - 1;
    for (size_t i = 0; i < weights.size(); ++i) {
        if (weights[i] <= 0) continue;
        chosen = i;
        if (left < weights[i]) break;
        left -= weights[i];
    }
    weights[chosen] = 0;
    return chosen;
}

double Since(std::chrono::steady_clock::time_point from) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - from).count();
}

const char* OutcomeName(PrimeSlot::Outcome outcome) {
    switch (outcome) {
    case PrimeSlot::kNothing: return "no solution";
    case PrimeSlot::kRoots: return "a list of bases";
    case PrimeSlot::kInvalidA0: return "an invalid solution";
    case PrimeSlot::kListFull: return "a full list";
    case PrimeSlot::kBeyond: return "the end of the sieve";
    case PrimeSlot::kPrime: return "a prime to complete";
    }
    return "?";
}

}  // namespace

GpuProducer::GpuProducer(Options options) : options_(std::move(options)) {}

GpuProducer::~GpuProducer() = default;

std::string GpuProducer::Name() const { return "device " + options_.device.ShortName() + FaultName(options_.fault); }

int GpuProducer::Hold() const {
    if (options_.hold > 0) return options_.hold;
    // The ring's blocks hold about 2^23 / N primes, at most as many as the
    // threads' blocks take (2^18 roots' worth of slots, from 8 to 1024),
    // each slot a list of up to 4(N + 4) bytes: within about 32 MB of them.
    const int32_t exponent = std::max(info_.exponent, 1);
    const size_t roots = SlotRoots(exponent);
    const size_t most = std::clamp<size_t>((size_t{1} << 18) / roots, 8, 1024);
    const size_t primes = std::clamp<size_t>((size_t{1} << 23) / static_cast<size_t>(exponent), 1, most);
    return static_cast<int>(std::clamp<size_t>((size_t{32} << 20) / (primes * roots * 4), 16, 4096));
}

BlockPolicy GpuProducer::Policy() const {
    BlockPolicy policy;
    // The job's threads set the blocks' length (short, for quick stops); the
    // device takes many at once instead, the newest of its part, so that
    // the host finds them done; the backstop takes the rest of its part
    // while it is busy (no room) or lets them lie two rounds. Alone, it
    // takes its part in order and leaves none of it.
    policy.maxPrimes = 8;
    policy.hold = Hold();
    policy.threads = 1;
    policy.backstop = false;
    policy.latency = Latency::kDevice;
    policy.order = options_.alone ? BlockPolicy::Order::kOldestFirst : BlockPolicy::Order::kByClass;
    policy.yieldAfterRounds = options_.alone ? 1 << 30 : options_.yieldAfterRounds;
    return policy;
}

// Batches are sized by the device's own measured time a block: as long as
// kBatchSeconds allows and at most half its part, so that the other batch
// has blocks to take. Beside the threads a batch must also be back before
// the host comes to it, about a part's length of blocks away when it is
// taken: its blocks are as many as come back, by the time from submission
// to hand-over a block (the other batch's turn ahead of it included), in
// half of that lead. A single block that is still too slow pauses the
// device, its part left to the threads, for a few of its times. Recent
// batches weigh by their blocks, so that a short one (a block without a
// prime to walk) cannot make the next one long, and a batch is at most
// twice the last.
double BatchPace::Update(double deviceSeconds, double turnaround, size_t blocks, double lead) {
    const double count = static_cast<double>(std::max<size_t>(blocks, 1));
    blocks_ = 0.7 * blocks_ + count;
    device_ = 0.7 * device_ + deviceSeconds;
    turn_ = 0.7 * turn_ + turnaround;
    if (fixed_ > 0 || device_ <= 0) return 0;
    double fits = std::min(kBatchSeconds * blocks_ / device_, 2 * count);
    if (!alone_) {
        if (lead <= 0) return 0;
        if (blocks == 1 && turnaround > lead / 2) return 4 * turnaround;
        if (turn_ > 0) fits = std::min(fits, lead / 2 * blocks_ / turn_);
    }
    batch_ = static_cast<int>(std::clamp(fits, 1.0, static_cast<double>(std::max(1, most_))));
    return 0;
}

// The host's lead (unless the device is alone), from the rate at which
// it gives out blocks, and the next batch's length.
void GpuProducer::Pace(double deviceSeconds, double turnaround, size_t blocks, int64_t newestIndex) {
    const auto now = std::chrono::steady_clock::now();
    if (lastIndex_ >= 0 && newestIndex > lastIndex_) {
        const double seconds = std::chrono::duration<double>(now - lastTake_).count();
        const double rate = static_cast<double>(newestIndex - lastIndex_) / std::max(seconds, 1e-6);
        hostRate_ = hostRate_ > 0 ? 0.7 * hostRate_ + 0.3 * rate : rate;
    }
    lastIndex_ = newestIndex;
    lastTake_ = now;
    const double lead = options_.alone || hostRate_ <= 0 ? 0 : static_cast<double>(Hold()) / hostRate_;
    const double pause = pace_.Update(deviceSeconds, turnaround, blocks, lead);
    if (pause > 0)
        pausedUntil_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                 std::chrono::duration<double>(pause));
}

bool GpuProducer::Begin(const SegmentJobInfo& info, std::string* reason) {
    info_ = info;
    std::string error;
    program_ = options_.program;
    if (!program_) {
        ProgramOptions programOptions;
        programOptions.cacheDir = options_.cacheDir;
        std::vector<std::string> log;
        ownProgram_ = OpenCheckedProgram(options_.device, programOptions, &log, &error);
        for (const std::string& line : log) PostString(options_.log, line);
        if (!ownProgram_) {
            *reason = error.find("self-check") != std::string::npos ? error : "its kernels would not build: " + error;
            return false;
        }
        program_ = ownProgram_.get();
    }
    sieve_ = DeviceSieve::Open(*program_, info, &error);
    if (!sieve_) {
        *reason = error;
        return false;
    }
    sieve_->SetLaunchTarget(options_.launchTarget);
    sieve_->EnableWaits();
    pace_ = BatchPace(std::max(1, Hold() / 2), options_.alone, options_.batch);
    // The audit's own kernels, as the job's threads have them, and the
    // host's own stream of primes over them.
    if (!StartBlockKernels(info, options_.path, job_, kernels_)) {
        *reason = "the audit's kernels would not start";
        return false;
    }
    const uint64_t twoN = 2 * static_cast<uint64_t>(info.exponent);
    stream_ = std::make_unique<CandidateStream>(kernels_, twoN);
    kLast_ = LastSieveK(twoN);
    warm_ = options_.auditWarmUp;
    began_ = credited_ = std::chrono::steady_clock::now();
    return true;
}

// A round: every free batch takes blocks and goes to the device, a batch
// whose primes are back has its walks enqueued, and one whose walks are
// back is held against the CPU and handed over. None waits for the device:
// a round that finds nothing to do returns, and the ring calls again.
bool GpuProducer::Pump(BlockDesk& desk, int) {
    if (halted_) return false;
    runSeconds_.store(Since(began_), std::memory_order_relaxed);
    const uint64_t seen = sieve_->Notices();
    bool moved = false;
    auto submitFree = [&] {
        if (std::chrono::steady_clock::now() < pausedUntil_) return true;
        for (Batch& batch : batches_)
            if (batch.stage == Batch::kFree) {
                if (!Submit(desk, batch)) return !halted_;
                moved = true;
            }
        return true;
    };
    if (!submitFree()) return true;
    // Oldest first.
    Batch* order[2] = {&batches_[0], &batches_[1]};
    if (order[1]->number < order[0]->number) std::swap(order[0], order[1]);
    for (Batch* batch : order) {
        if (batch->stage != Batch::kSearching || !sieve_->Ready(*batch->ticket)) continue;
        std::string error;
        if (!sieve_->Advance(*batch->ticket, &error)) {
            Stop(desk, error, false);
            return true;
        }
        batch->stage = Batch::kWalking;
        moved = true;
    }
    for (Batch* batch : order) {
        if (batch->stage != Batch::kWalking || !sieve_->Ready(*batch->ticket)) continue;
        if (!HandOver(desk, *batch)) return true;
        moved = true;
        // Its blocks taken, the host may have given out new ones.
        if (!submitFree()) return true;
        break;
    }
    bool room = false;
    for (const Batch& batch : batches_) room = room || batch.stage == Batch::kFree;
    desk.SetRoom(options_.alone || (room && std::chrono::steady_clock::now() >= pausedUntil_));
    // Both on the device and neither back: wait for the device to say so
    // rather than ask it again and again.
    if (!moved && !room) sieve_->WaitAfter(seen, std::chrono::milliseconds(2));
    return moved;
}

// Takes up to a batch of blocks, the device's part's newest (oldest when
// alone), and submits them. False when none was there or it failed.
bool GpuProducer::Submit(BlockDesk& desk, Batch& batch) {
    batch.tasks.clear();
    BlockTask task;
    while (static_cast<int>(batch.tasks.size()) < pace_.Batch() && desk.Take(&task)) batch.tasks.push_back(task);
    if (batch.tasks.empty()) return false;
    std::sort(batch.tasks.begin(), batch.tasks.end(),
              [](const BlockTask& a, const BlockTask& b) { return a.index < b.index; });
    if (batch.segs.size() < batch.tasks.size()) batch.segs.resize(batch.tasks.size());
    std::vector<Segment*> segs;
    for (size_t i = 0; i < batch.tasks.size(); ++i) {
        batch.segs[i].kFrom = batch.tasks[i].kFrom;
        batch.segs[i].kTo = batch.tasks[i].kTo;
        segs.push_back(&batch.segs[i]);
    }
    batch.submitted = std::chrono::steady_clock::now();
    batch.faulty = static_cast<int64_t>(submitted_) >= options_.faultAfter;
    batch.number = submitted_++;
    DeviceFaults faults;
    faults.brokenWalk = batch.faulty && options_.fault == Fault::kBrokenWalk;
    faults.noResidue = batch.faulty && options_.fault == Fault::kNoResidue;
    faults.hitCapacity = batch.faulty && options_.fault == Fault::kOverflow ? 4 : 0;
    sieve_->SetFaults(faults);
    std::string error;
    if (!sieve_->Submit(segs, batch.ticket.get(), &error)) {
        Stop(desk, error, false);
        return false;
    }
    batch.stage = Batch::kSearching;
    return true;
}

// The device failed (its blocks go back to the others) or is not to be
// trusted (the job stops): the other batch is dropped.
void GpuProducer::Stop(BlockDesk& desk, const std::string& text, bool halt) {
    for (Batch& batch : batches_) {
        sieve_->Abandon(*batch.ticket);
        batch.stage = Batch::kFree;
    }
    {
        std::lock_guard<std::mutex> lock(countersMutex_);
        counters_ = sieve_->Counters();
    }
    halted_ = true;
    if (halt)
        desk.Halt(text);
    else
        desk.Fail(text);
}

// A batch whose walks are back: collected, and handed over only once the
// whole of it holds: its primes are the host's, and the audit's picks
// agree with the CPU.
bool GpuProducer::HandOver(BlockDesk& desk, Batch& batch) {
    std::string error;
    const bool filled = sieve_->Collect(*batch.ticket, &error);
    batch.stage = Batch::kFree;
    {
        std::lock_guard<std::mutex> lock(countersMutex_);
        counters_ = sieve_->Counters();
    }
    if (!filled) {
        Stop(desk, error, false);
        return false;
    }
    if (batch.faulty) Inject(batch, false);
    std::string text;
    const auto checking = std::chrono::steady_clock::now();
    bool trusted = true;
    for (size_t i = 0; i < batch.tasks.size() && trusted; ++i) trusted = CheckPrimes(batch.segs[i], &text);
    checkSeconds_.store(checkSeconds_.load(std::memory_order_relaxed) + Since(checking), std::memory_order_relaxed);
    if (trusted) {
        PlanAudit(batch);
        if (batch.faulty) Inject(batch, true);
        for (const Pick& pick : picks_)
            if (!(trusted = Audit(batch.segs[pick.block], pick.slot, &text))) break;
    }
    if (!trusted) {
        Stop(desk, text, true);
        return false;
    }
    for (size_t i = 0; i < batch.tasks.size(); ++i) {
        int primes = 0, completed = 0;
        for (int s = 0; s < batch.segs[i].count; ++s) {
            const PrimeSlot& slot = batch.segs[i].slots[static_cast<size_t>(s)];
            primes += slot.outcome != PrimeSlot::kBeyond;
            completed += Audited(slot);
        }
        if (!desk.Complete(batch.tasks[i].index, batch.segs[i])) continue;  // given up on meanwhile
        blocks_.fetch_add(1, std::memory_order_relaxed);
        primes_.fetch_add(primes, std::memory_order_relaxed);
        walked_.fetch_add(completed, std::memory_order_relaxed);
        kSpan_.fetch_add(static_cast<uint64_t>(batch.tasks[i].kTo - batch.tasks[i].kFrom), std::memory_order_relaxed);
    }
    Pace(batch.ticket->DeviceSeconds(), Since(batch.submitted), batch.tasks.size(), batch.tasks.back().index);
    return true;
}

// The device's primes of a block must be the host's candidate stream's, in
// order, none left out and none added; the end of the sieve where it is.
bool GpuProducer::CheckPrimes(const Segment& seg, std::string* text) {
    hostPrimes_.clear();
    const UInt128 twoN = 2 * static_cast<UInt128>(info_.exponent);
    const UInt128 kEnd = seg.SieveEnd(twoN);
    if (kEnd > seg.kFrom) stream_->CandidatesInRange(seg.kFrom, kEnd, hostPrimes_);
    const int beyond = seg.kTo > kLast_ ? 1 : 0;
    size_t at = 0;
    for (int s = 0; s < seg.count - beyond; ++s, ++at) {
        const PrimeSlot& slot = seg.slots[static_cast<size_t>(s)];
        if (slot.outcome == PrimeSlot::kBeyond || slot.p != slot.k * twoN + 1 || at == hostPrimes_.size() ||
            slot.k != hostPrimes_[at].k) {
            const bool added = at == hostPrimes_.size() || slot.k < hostPrimes_[at].k;
            *text = StringPrintf(
                added ? "The device %s gave p = %s, which the CPU finds no probable prime (%d primes in k from %s to "
                        "%s where the CPU finds %zu): its results cannot be trusted; stopping. Sieve this range again "
                        "without it."
                      : "The device %s left out the probable prime p = %s (%d primes in k from %s to %s where the CPU "
                        "finds %zu): its results cannot be trusted; stopping. Sieve this range again without it.",
                options_.device.ShortName().c_str(),
                FormatUInt128(added ? slot.p : hostPrimes_[at].p).c_str(), seg.count - beyond,
                FormatUInt128(seg.kFrom + 1).c_str(), FormatUInt128(kEnd).c_str(), hostPrimes_.size());
            return false;
        }
    }
    if (at < hostPrimes_.size() || (beyond && (seg.count == 0 || seg.slots[static_cast<size_t>(seg.count - 1)].outcome !=
                                                                      PrimeSlot::kBeyond))) {
        *text = at < hostPrimes_.size()
                    ? StringPrintf("The device %s left out the probable prime p = %s (%d primes in k from %s to %s "
                                   "where the CPU finds %zu): its results cannot be trusted; stopping. Sieve this "
                                   "range again without it.",
                                   options_.device.ShortName().c_str(), FormatUInt128(hostPrimes_[at].p).c_str(),
                                   seg.count - beyond, FormatUInt128(seg.kFrom + 1).c_str(),
                                   FormatUInt128(kEnd).c_str(), hostPrimes_.size())
                    : StringPrintf("The device %s did not end its block at 2^96: its results cannot be trusted; "
                                   "stopping. Sieve this range again without it.",
                                   options_.device.ShortName().c_str());
        return false;
    }
    return true;
}

// Which of the batch's completed primes the audit completes again. Primes
// weigh by the hits they are expected to have (N roots spread over p, those
// up to bMax hits), so that the audit sees hits where there are any to see,
// and each round takes one prime with hits reported and one without, so
// that neither a dropped hit nor a prime whose every hit was dropped
// escapes. The device cannot know the picks: they are made after it
// answered, from a draw of its own.
void GpuProducer::PlanAudit(const Batch& batch) {
    picks_.clear();
    credit_ = std::min(kCreditLimit, credit_ + kAuditCore * Since(credited_));
    credited_ = std::chrono::steady_clock::now();
    std::vector<Pick> pools[2];
    std::vector<double> weights[2];
    for (size_t b = 0; b < batch.tasks.size(); ++b) {
        const Segment& seg = batch.segs[b];
        for (size_t s = 0; s < static_cast<size_t>(seg.count); ++s) {
            const PrimeSlot& slot = seg.slots[s];
            if (!Audited(slot)) continue;
            const int pool = HitsReported(slot) ? 0 : 1;
            pools[pool].push_back({b, s});
            weights[pool].push_back(info_.exponent * std::min(1.0, info_.bMax / static_cast<double>(slot.p)));
        }
    }
    if (warm_) {
        for (const std::vector<Pick>& pool : pools) picks_.insert(picks_.end(), pool.begin(), pool.end());
        return;
    }
    if (credit_ <= 0) return;
    // As many rounds as the credit pays for at the audit's cost so far (one
    // while it is unknown).
    const double each = audits_.load() > 0 ? auditSeconds_.load() / static_cast<double>(audits_.load()) : 0;
    const uint64_t seed = Mix(static_cast<uint64_t>(batch.segs[0].kFrom) ^ Mix(++auditRound_));
    size_t left[2] = {pools[0].size(), pools[1].size()};
    for (uint64_t draw = 0; left[0] + left[1] > 0; ++draw) {
        for (int pool = 0; pool < 2; ++pool) {
            if (left[pool] == 0) continue;
            const double u = static_cast<double>(Mix(seed + 2 * draw + static_cast<uint64_t>(pool)) >> 11) * 0x1p-53;
            picks_.push_back(pools[pool][Draw(weights[pool], u)]);
            --left[pool];
        }
        if (each <= 0 || static_cast<double>(picks_.size()) * each >= credit_) break;
    }
}

// Test faults a host can give the device's answers.
void GpuProducer::Inject(Batch& batch, bool wrongBase) {
    for (size_t i = 0; i < batch.tasks.size(); ++i) {
        Segment& seg = batch.segs[i];
        if (options_.fault == Fault::kDropPrime && !wrongBase) {
            int kept = 0;
            for (int s = 0; s < seg.count; ++s) {
                PrimeSlot& slot = seg.slots[static_cast<size_t>(s)];
                if (slot.outcome == PrimeSlot::kBeyond || s % 13 != 5) std::swap(seg.slots[static_cast<size_t>(kept++)], slot);
            }
            seg.count = kept;
            continue;
        }
        for (size_t s = 0; s < static_cast<size_t>(seg.count); ++s) {
            PrimeSlot& slot = seg.slots[s];
            if (slot.outcome != PrimeSlot::kRoots || slot.rootCount == 0) continue;
            if (options_.fault == Fault::kDropHit && !wrongBase) {
                std::copy(slot.roots.begin() + 1, slot.roots.begin() + slot.rootCount, slot.roots.begin());
                --slot.rootCount;
            } else if (options_.fault == Fault::kDropSeventh && !wrongBase) {
                slot.rootCount = static_cast<int32_t>(
                    std::remove_if(slot.roots.begin(), slot.roots.begin() + slot.rootCount,
                                   [this](uint32_t) { return ++faultHits_ % 7 == 0; }) -
                    slot.roots.begin());
            } else if (options_.fault == Fault::kWrongBase && wrongBase &&
                       std::none_of(picks_.begin(), picks_.end(), [&](const Pick& p) { return p.block == i && p.slot == s; })) {
                // An even base two above a root: it does not divide, the proof says so.
                for (int32_t r = 0; r < slot.rootCount; ++r) {
                    uint32_t& root = slot.roots[static_cast<size_t>(r)];
                    if (root + 2 <= static_cast<uint32_t>(info_.bMax)) {
                        root += 2;
                        return;
                    }
                }
            }
        }
    }
}

bool GpuProducer::Audit(const Segment& seg, size_t slot, std::string* text) {
    const PrimeSlot& device = seg.slots[slot];
    const auto began = std::chrono::steady_clock::now();
    audit_.p = device.p;
    audit_.k = device.k;
    audit_.rootCount = 0;
    audit_.a = 0;
    audit_.roots.assign(std::max(device.roots.size(), SlotRoots(info_.exponent)), 0);
    CompletePrime(audit_, kernels_, info_.exponentLog2);
    const double took = Since(began);
    audits_.fetch_add(1, std::memory_order_relaxed);
    auditSeconds_.store(auditSeconds_.load(std::memory_order_relaxed) + took, std::memory_order_relaxed);
    if (warm_) {
        warmHits_ += audit_.outcome == PrimeSlot::kRoots ? audit_.rootCount : 0;
        warmHits_ += audit_.outcome == PrimeSlot::kListFull ? info_.exponent : 0;
        ++warmPrimes_;
        warm_ = warmHits_ < kWarmHits && static_cast<double>(warmPrimes_) * (info_.exponent / 2) < kWarmSteps;
    } else {
        credit_ -= took;
    }
    // A full list from the device has the host list the roots itself: no
    // hit can be lost there. A short list where the CPU's is full can only
    // have lost some.
    bool same = audit_.outcome == device.outcome ||
                (audit_.outcome == PrimeSlot::kRoots && device.outcome == PrimeSlot::kListFull);
    if (same && device.outcome == PrimeSlot::kRoots && audit_.outcome == PrimeSlot::kRoots)
        same = device.rootCount == audit_.rootCount &&
               std::equal(device.roots.begin(), device.roots.begin() + device.rootCount, audit_.roots.begin());
    if (same && device.outcome != PrimeSlot::kNothing) same = device.a == audit_.a;
    if (same) return true;
    if (device.outcome == PrimeSlot::kRoots && audit_.outcome == PrimeSlot::kRoots)
        *text = StringPrintf("The device %s gave %d bases for p = %s where the CPU finds %d: its results cannot be "
                             "trusted; stopping. Sieve this range again without it.",
                             options_.device.ShortName().c_str(), device.rootCount, FormatUInt128(device.p).c_str(),
                             audit_.rootCount);
    else
        *text = StringPrintf("The device %s gave %s for p = %s where the CPU finds %s: its results cannot be trusted; "
                             "stopping. Sieve this range again without it.",
                             options_.device.ShortName().c_str(), OutcomeName(device.outcome),
                             FormatUInt128(device.p).c_str(), OutcomeName(audit_.outcome));
    return false;
}

void GpuProducer::End() {
    runSeconds_.store(Since(began_), std::memory_order_relaxed);
    // Batches still on the device are beyond the job's end, or its stop.
    for (Batch& batch : batches_) {
        if (sieve_) sieve_->Abandon(*batch.ticket);
        batch.stage = Batch::kFree;
        batch.ticket = std::make_unique<DeviceTicket>();
    }
    sieve_.reset();
    ownProgram_.reset();
    program_ = nullptr;
}

GpuProducer::Costs GpuProducer::CostShares() const {
    Costs costs;
    const double run = runSeconds_.load(std::memory_order_relaxed);
    if (run > 0) {
        costs.auditCore = auditSeconds_.load(std::memory_order_relaxed) / run;
        costs.checkCore = checkSeconds_.load(std::memory_order_relaxed) / run;
        costs.deviceBusy = std::min(1.0, Counters().busySeconds / run);
    }
    const int64_t walked = walked_.load(std::memory_order_relaxed);
    if (walked > 0) costs.auditShare = static_cast<double>(Audits()) / static_cast<double>(walked);
    return costs;
}

DeviceCounters GpuProducer::Counters() const {
    std::lock_guard<std::mutex> lock(countersMutex_);
    return counters_;
}

}  // namespace varnesk::gpu
