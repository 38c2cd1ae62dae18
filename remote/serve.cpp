#include "remote/serve.h"

#include <chrono>
#include <cstring>
#include <thread>

#include "engine/segmentbytes.h"

namespace varnesk::remote {

std::array<uint64_t, 5> BlockWords(const RemoteBlock& block) {
    return {static_cast<uint64_t>(block.index), static_cast<uint64_t>(block.kFrom),
            static_cast<uint64_t>(block.kFrom >> 64), static_cast<uint64_t>(block.kTo),
            static_cast<uint64_t>(block.kTo >> 64)};
}

RemoteBlock BlockOfWords(const std::array<uint64_t, 5>& words) {
    return {static_cast<int64_t>(words[0]), static_cast<UInt128>(words[2]) << 64 | words[1],
            static_cast<UInt128>(words[4]) << 64 | words[3]};
}

namespace {
constexpr size_t kIndexBytes = 8;
}  // namespace

void EncodeResult(int64_t index, const Segment& seg, std::vector<uint8_t>& out) {
    std::vector<uint8_t> bytes;
    EncodeSegment(seg, bytes);
    out.resize(kIndexBytes + bytes.size());
    std::memcpy(out.data(), &index, kIndexBytes);
    std::memcpy(out.data() + kIndexBytes, bytes.data(), bytes.size());
}

std::optional<int64_t> ResultIndex(const uint8_t* data, size_t size) {
    if (size < kIndexBytes) return std::nullopt;
    int64_t index = 0;
    std::memcpy(&index, data, kIndexBytes);
    return index;
}

bool DecodeResult(const uint8_t* data, size_t size, UInt128 twoN, Segment& seg) {
    return size >= kIndexBytes && DecodeSegment(data + kIndexBytes, size - kIndexBytes, twoN, seg);
}

SegmentWorker::SegmentWorker(const SegmentJobInfo& info, int threads, KernelPath path,
                             const std::vector<BlockProducer*>& extra) {
    if (!StartBlockKernels(info, path, job_, kernels_)) return;
    const int64_t twoN = 2 * static_cast<int64_t>(info.exponent);
    cpu_ = std::make_unique<CpuProducer>(kernels_, twoN, info.exponentLog2, SlotRoots(info.exponent), threads);
    std::vector<BlockProducer*> producers{cpu_.get()};
    producers.insert(producers.end(), extra.begin(), extra.end());
    // The other side sends as many blocks as its producers hold.
    ring_ = std::make_unique<SegmentRing>(producers, info, nullptr, true);
}

SegmentWorker::~SegmentWorker() = default;

namespace {

void Pause(std::chrono::microseconds d) { std::this_thread::sleep_for(d); }

// After a failure: blocks are dropped until the host says that the job is over.
void AwaitEnd(ServeChannel& channel) {
    RemoteBlock dropped;
    while (channel.Poll(&dropped) != ServeChannel::Event::kQuit) Pause(std::chrono::microseconds(100));
}

std::string Joined(const std::vector<std::string>& notes) {
    std::string text;
    for (const std::string& note : notes) text += (text.empty() ? "" : " ") + note;
    return text;
}

}  // namespace

void RefuseJob(ServeChannel& channel, const std::string& reason) {
    channel.SendFailure(reason, false);
    AwaitEnd(channel);
}

bool ServeBlocks(ServeChannel& channel, const SegmentJobInfo& info, int threads, KernelPath path,
                 const std::vector<BlockProducer*>& extra) {
    SegmentWorker worker(info, threads, path, extra);
    if (!worker.Ready()) {
        RefuseJob(channel, "its kernels would not start");
        return false;
    }
    // The host's index of each block in this side's window; the host never
    // sends more than the window holds.
    std::vector<int64_t> remote(static_cast<size_t>(worker.Window()));
    std::vector<uint8_t> message;
    int64_t next = 0, oldest = 0;
    for (;;) {
        RemoteBlock block;
        const ServeChannel::Event event = channel.Poll(&block);
        if (event == ServeChannel::Event::kQuit) return true;
        if (event == ServeChannel::Event::kBlock) {
            remote[static_cast<size_t>(next % worker.Window())] = block.index;
            worker.Assign(next++, block.kFrom, block.kTo);
            continue;
        }
        if (oldest == next) {
            Pause(std::chrono::microseconds(20));
            continue;
        }
        const Segment* seg = worker.Wait(oldest);
        if (!seg) {
            // A producer here halted, or none is left: what it noted says why.
            channel.SendFailure(Joined(worker.TakeNotes()), true);
            AwaitEnd(channel);
            return false;
        }
        EncodeResult(remote[static_cast<size_t>(oldest % worker.Window())], *seg, message);
        worker.Release(oldest++);
        channel.SendResult(message);
    }
}

}  // namespace varnesk::remote
