#include "gpu/producer.h"

#include <algorithm>

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

// The slot a block's audit looks at (SIZE_MAX: none the device completed);
// counted twice rather than listed, since it runs once a block.
size_t AuditedSlot(const Segment& seg) {
    size_t count = 0;
    for (int s = 0; s < seg.count; ++s) count += Audited(seg.slots[static_cast<size_t>(s)]);
    if (count == 0) return SIZE_MAX;
    size_t left = AuditChoice(seg.kFrom, count);
    for (int s = 0;; ++s)
        if (Audited(seg.slots[static_cast<size_t>(s)]) && left-- == 0) return static_cast<size_t>(s);
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

size_t AuditChoice(UInt128 kFrom, size_t count) {
    return count == 0 ? 0 : static_cast<size_t>(Mix(static_cast<uint64_t>(kFrom) ^ Mix(static_cast<uint64_t>(kFrom >> 64))) % count);
}

GpuProducer::GpuProducer(Options options) : options_(std::move(options)) {}

GpuProducer::~GpuProducer() = default;

std::string GpuProducer::Name() const { return "device " + options_.device.ShortName() + FaultName(options_.fault); }

int GpuProducer::Hold() const {
    if (options_.hold > 0) return options_.hold;
    // Blocks of up to 64 primes whose root lists are about 4(N + 4) bytes
    // each: within about 32 MB of them.
    const size_t block = 64 * SlotRoots(info_.exponent > 0 ? info_.exponent : 1) * 4;
    return static_cast<int>(std::clamp<size_t>((size_t{32} << 20) / block, 16, 256));
}

BlockPolicy GpuProducer::Policy() const {
    BlockPolicy policy;
    // The job's threads set the blocks' length (short, for quick stops); the
    // device takes many at once instead, the newest of its part, so that
    // the host finds them done; the backstop takes the rest of its part
    // while it is busy (no room) or lets them lie two rounds.
    policy.maxPrimes = 8;
    policy.hold = Hold();
    policy.threads = 1;
    policy.backstop = false;
    policy.newestFirst = true;
    policy.yieldAfterRounds = options_.yieldAfterRounds;
    policy.idle = std::chrono::microseconds(200);
    policy.waitPoll = std::chrono::microseconds(500);
    return policy;
}

// A batch must be back before the host comes to it: the host is about a
// part's length of blocks away when the batch is taken. The batch doubles
// while it takes less than a quarter of that and halves above a half; a
// single block that is still too slow pauses the device, its part left to
// the threads, for a few of its times.
void GpuProducer::Pace(double batchSeconds, int64_t newestIndex) {
    const auto now = std::chrono::steady_clock::now();
    if (lastIndex_ >= 0 && newestIndex > lastIndex_) {
        const double seconds = std::chrono::duration<double>(now - lastTake_).count();
        const double rate = static_cast<double>(newestIndex - lastIndex_) / std::max(seconds, 1e-6);
        hostRate_ = hostRate_ > 0 ? 0.7 * hostRate_ + 0.3 * rate : rate;
    }
    lastIndex_ = newestIndex;
    lastTake_ = now;
    if (hostRate_ <= 0 || options_.batch > 0) return;
    const double ahead = static_cast<double>(Hold()) / hostRate_;
    if (batchSeconds > ahead / 2) {
        if (batch_ > 1) {
            batch_ /= 2;
        } else {
            pausedUntil_ = now + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(4 * batchSeconds));
        }
    } else if (batchSeconds < ahead / 4 && batch_ < Hold() / 2) {
        batch_ *= 2;
    }
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
    if (options_.batch > 0) batch_ = options_.batch;
    // The audit's own kernels, as the job's threads have them.
    if (!StartBlockKernels(info, options_.path, job_, kernels_)) {
        *reason = "the audit's kernels would not start";
        return false;
    }
    return true;
}

bool GpuProducer::Pump(BlockDesk& desk, int) {
    if (halted_) return false;
    if (std::chrono::steady_clock::now() < pausedUntil_) {
        desk.SetRoom(false);
        return false;
    }
    tasks_.clear();
    BlockTask task;
    while (static_cast<int>(tasks_.size()) < batch_ && desk.Take(&task)) tasks_.push_back(task);
    if (tasks_.empty()) {
        desk.SetRoom(true);
        return false;
    }
    desk.SetRoom(false);
    std::sort(tasks_.begin(), tasks_.end(), [](const BlockTask& a, const BlockTask& b) { return a.index < b.index; });
    if (segs_.size() < tasks_.size()) segs_.resize(tasks_.size());
    std::vector<Segment*> batch;
    for (size_t i = 0; i < tasks_.size(); ++i) {
        segs_[i].kFrom = tasks_[i].kFrom;
        segs_[i].kTo = tasks_[i].kTo;
        batch.push_back(&segs_[i]);
    }
    const bool faulty = batches_ >= options_.faultAfter;
    DeviceFaults faults;
    faults.brokenWalk = faulty && options_.fault == Fault::kBrokenWalk;
    faults.noResidue = faulty && options_.fault == Fault::kNoResidue;
    faults.hitCapacity = faulty && options_.fault == Fault::kOverflow ? 4 : 0;
    sieve_->SetFaults(faults);
    std::string error;
    const auto began = std::chrono::steady_clock::now();
    const bool filled = sieve_->Fill(batch, &error);
    {
        std::lock_guard<std::mutex> lock(countersMutex_);
        counters_ = sieve_->Counters();
    }
    if (!filled) {
        desk.Fail(error);
        return true;
    }
    if (faulty) Inject(segs_);
    ++batches_;
    for (size_t i = 0; i < tasks_.size(); ++i) {
        std::string text;
        if (!Audit(segs_[i], &text)) {
            halted_ = true;
            desk.Halt(text);
            return true;
        }
        int primes = 0;
        for (int s = 0; s < segs_[i].count; ++s) primes += segs_[i].slots[static_cast<size_t>(s)].outcome != PrimeSlot::kBeyond;
        if (!desk.Complete(tasks_[i].index, segs_[i])) continue;  // given up on meanwhile
        blocks_.fetch_add(1, std::memory_order_relaxed);
        primes_.fetch_add(primes, std::memory_order_relaxed);
        kSpan_.fetch_add(static_cast<uint64_t>(tasks_[i].kTo - tasks_[i].kFrom), std::memory_order_relaxed);
    }
    Pace(std::chrono::duration<double>(std::chrono::steady_clock::now() - began).count(), tasks_.back().index);
    desk.SetRoom(true);
    return true;
}

void GpuProducer::Inject(std::vector<Segment>& segs) {
    for (size_t i = 0; i < tasks_.size(); ++i) {
        Segment& seg = segs[i];
        const size_t chosen = AuditedSlot(seg);
        for (size_t s = 0; s < static_cast<size_t>(seg.count); ++s) {
            PrimeSlot& slot = seg.slots[s];
            if (slot.outcome != PrimeSlot::kRoots || slot.rootCount == 0) continue;
            if (options_.fault == Fault::kDropHit) {
                std::copy(slot.roots.begin() + 1, slot.roots.begin() + slot.rootCount, slot.roots.begin());
                --slot.rootCount;
            } else if (options_.fault == Fault::kWrongBase && s != chosen) {
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

bool GpuProducer::Audit(const Segment& seg, std::string* text) {
    const size_t chosen = AuditedSlot(seg);
    if (chosen == SIZE_MAX) return true;
    const PrimeSlot& device = seg.slots[chosen];
    audit_.p = device.p;
    audit_.k = device.k;
    audit_.rootCount = 0;
    audit_.a = 0;
    audit_.roots.assign(std::max(device.roots.size(), SlotRoots(info_.exponent)), 0);
    CompletePrime(audit_, kernels_, info_.exponentLog2);
    audits_.fetch_add(1, std::memory_order_relaxed);
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
    sieve_.reset();
    ownProgram_.reset();
    program_ = nullptr;
}

DeviceCounters GpuProducer::Counters() const {
    std::lock_guard<std::mutex> lock(countersMutex_);
    return counters_;
}

}  // namespace varnesk::gpu
