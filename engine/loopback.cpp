#include "engine/loopback.h"

#include "engine/segmentbytes.h"
#include "kernels/startup.h"

namespace varnesk {

namespace {

const char* FaultName(LoopbackProducer::Fault fault) {
    switch (fault) {
    case LoopbackProducer::Fault::kNone: return "faithful";
    case LoopbackProducer::Fault::kPrimesOnly: return "primes only";
    case LoopbackProducer::Fault::kDies: return "dies mid-block";
    case LoopbackProducer::Fault::kWrongRoot: return "wrong root";
    case LoopbackProducer::Fault::kSilent: return "silent";
    case LoopbackProducer::Fault::kHandsBack: return "hands back";
    case LoopbackProducer::Fault::kDeclines: return "declines";
    }
    return "?";
}

}  // namespace

LoopbackProducer::LoopbackProducer(Options options) : options_(options) {}

LoopbackProducer::~LoopbackProducer() = default;

std::string LoopbackProducer::Name() const { return std::string("loopback (") + FaultName(options_.fault) + ")"; }

BlockPolicy LoopbackProducer::Policy() const {
    BlockPolicy policy;
    policy.blockWork = int64_t{1} << 24;
    policy.maxPrimes = 16;
    policy.hold = options_.hold;
    policy.threads = 1;
    policy.yieldAfterRounds = options_.yieldAfterRounds;
    policy.latency = Latency::kRemote;
    policy.deadline = options_.deadline;
    return policy;
}

bool LoopbackProducer::Begin(const SegmentJobInfo& info, std::string* reason) {
    if (options_.fault == Fault::kDeclines) {
        *reason = "told to decline";
        return false;
    }
    // Its own kernels, as another process would have.
    if (!StartBlockKernels(info, options_.path, job_, kernels_)) {
        *reason = "its kernels would not start";
        return false;
    }
    sieve_ = std::make_unique<BlockSieve>(kernels_, 2 * static_cast<int64_t>(info.exponent), info.exponentLog2,
                                          SlotRoots(info.exponent));
    return true;
}

bool LoopbackProducer::Pump(BlockDesk& desk, int) {
    bool moved = false;
    while (static_cast<int>(held_.size()) < options_.hold) {
        BlockTask task;
        if (!desk.Take(&task)) break;
        moved = true;
        if (options_.fault == Fault::kHandsBack && ++taken_ % 2 == 0) {
            desk.HandBack(task.index);
            faulted_ = true;
            continue;
        }
        held_.push_back(task);
    }
    desk.SetRoom(static_cast<int>(held_.size()) < options_.hold);
    if (held_.empty()) return moved;
    if (completed_.load() >= options_.faultAfter) {
        if (options_.fault == Fault::kSilent) {
            faulted_ = true;
            return moved;  // keeps them
        }
        if (options_.fault == Fault::kDies) {
            faulted_ = true;
            desk.Fail("told to die with " + std::to_string(held_.size()) + " blocks taken");
            held_.clear();
            return true;
        }
    }
    const BlockTask task = held_.front();
    held_.pop_front();
    Fill(desk, task);
    return true;
}

bool LoopbackProducer::Fill(BlockDesk& desk, const BlockTask& task) {
    filled_.kFrom = task.kFrom;
    filled_.kTo = task.kTo;
    sieve_->Fill(filled_);
    if (options_.fault == Fault::kPrimesOnly) {
        for (int i = 0; i < filled_.count; ++i) {
            PrimeSlot& slot = filled_.slots[static_cast<size_t>(i)];
            if (slot.outcome == PrimeSlot::kBeyond) continue;
            slot.outcome = PrimeSlot::kPrime;
            slot.rootCount = 0;
            slot.a = 0;
        }
        faulted_ = true;
    }
    if (options_.fault == Fault::kWrongRoot && !faulted_ && completed_.load() >= options_.faultAfter) {
        for (int i = 0; i < filled_.count && !faulted_; ++i) {
            PrimeSlot& slot = filled_.slots[static_cast<size_t>(i)];
            if (slot.outcome != PrimeSlot::kRoots) continue;
            for (int32_t r = 0; r < slot.rootCount; ++r) {
                uint32_t& root = slot.roots[static_cast<size_t>(r)];
                if (root + 2 > static_cast<uint32_t>(job_.bMax)) continue;
                root += 2;
                faulted_ = true;
            }
        }
    }
    // Through the bytes that cross between processes, as a rank's would.
    EncodeSegment(filled_, bytes_);
    received_.kFrom = task.kFrom;
    received_.kTo = task.kTo;
    if (!DecodeSegment(bytes_.data(), bytes_.size(), 2 * static_cast<UInt128>(job_.exponent), received_)) {
        desk.Fail("its block did not read back");
        return false;
    }
    if (!desk.Complete(task.index, received_)) return false;
    ++completed_;
    return true;
}

void LoopbackProducer::End() { held_.clear(); }

}  // namespace varnesk
