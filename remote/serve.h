// Blocks of another process's job, served here. The job's host hands out
// blocks by its own index, each a run of k; this side fills them on its
// threads (and any producer beside them, such as a device) and sends each
// result back as the host's index and the segment's bytes, in the order the
// blocks came. What carries the messages is a ServeChannel: MPI's today, a
// TCP connection's as well one day.
#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/cpuproducer.h"
#include "engine/ring.h"

namespace varnesk::remote {

// A block as the host hands it out.
struct RemoteBlock {
    int64_t index = -1;  // the host's
    UInt128 kFrom = 0, kTo = 0;
};
// As five words (index, then kFrom and kTo, low word first), and back.
std::array<uint64_t, 5> BlockWords(const RemoteBlock& block);
RemoteBlock BlockOfWords(const std::array<uint64_t, 5>& words);

// A result as it crosses: the host's index, then the segment's bytes.
void EncodeResult(int64_t index, const Segment& seg, std::vector<uint8_t>& out);
// The index a result names; none when it is too short to name one.
std::optional<int64_t> ResultIndex(const uint8_t* data, size_t size);
// The segment of a result whose block is (seg.kFrom, seg.kTo]: false on
// bytes that are no segment of that run.
bool DecodeResult(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg);

// The serving side's link to the host.
class ServeChannel {
public:
    enum class Event { kNone, kBlock, kQuit };
    // The host's next message, without waiting: a block to fill, the end of
    // the job, or nothing yet.
    virtual Event Poll(RemoteBlock* block) = 0;
    virtual void SendResult(const std::vector<uint8_t>& message) = 0;
    // This side can go on no longer (text for the host's log). halt: what
    // it found makes going on unsafe (a device here whose results disagree
    // with the CPU's), not only its own end.
    virtual void SendFailure(const std::string& text, bool halt) = 0;

protected:
    ~ServeChannel() = default;
};

// A process's share of another's job: its own kernels and ring, fed with
// blocks by position.
class SegmentWorker {
public:
    // path: the kernels this process uses (the files do not depend on it).
    // extra: producers beside its threads (a device), not owned.
    SegmentWorker(const SegmentJobInfo& info, int threads, KernelPath path,
                  const std::vector<BlockProducer*>& extra = {});
    ~SegmentWorker();
    SegmentWorker(const SegmentWorker&) = delete;
    SegmentWorker& operator=(const SegmentWorker&) = delete;

    // False when the kernels would not start.
    bool Ready() const { return ring_ != nullptr; }
    int Window() const { return ring_->Window(); }
    void Assign(int64_t index, UInt128 kFrom, UInt128 kTo) { ring_->Assign(index, kFrom, kTo); }
    // Null when no producer here is left to finish it, or one halted: the
    // notes say why.
    const Segment* Wait(int64_t index) { return ring_->Wait(index); }
    void Release(int64_t index) { ring_->Release(index); }
    std::vector<std::string> TakeNotes() { return ring_->TakeNotes(); }

private:
    SieveJob job_;
    KernelContext kernels_;
    std::unique_ptr<CpuProducer> cpu_;
    std::unique_ptr<SegmentRing> ring_;
};

// Tells the host that this side cannot serve the job, then waits for the
// job's end.
void RefuseJob(ServeChannel& channel, const std::string& reason);

// Serves the job's blocks until the host says that it is over. A side that
// cannot go on says so through the channel and waits for the end all the
// same, so that the host is never left sending to it. False when it failed.
bool ServeBlocks(ServeChannel& channel, const SegmentJobInfo& info, int threads, KernelPath path,
                 const std::vector<BlockProducer*>& extra = {});

}  // namespace varnesk::remote
