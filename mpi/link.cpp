#include "mpi/link.h"

#include <sys/prctl.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "platform/post.h"

namespace varnesk::mpi {
namespace {

enum Tag : int { kTagJob = 1, kTagBlock, kTagResult, kTagQuit, kTagBye, kTagFail };

void Pause(std::chrono::microseconds d) { std::this_thread::sleep_for(d); }

// A message of any size, received whole.
int ReceiveBytes(MPI_Comm comm, const MPI_Status& probed, std::vector<uint8_t>& into) {
    int count = 0;
    MPI_Get_count(&probed, MPI_BYTE, &count);
    into.resize(static_cast<size_t>(count) + 1);  // never a null buffer
    MPI_Recv(into.data(), count, MPI_BYTE, probed.MPI_SOURCE, probed.MPI_TAG, comm, MPI_STATUS_IGNORE);
    into.resize(static_cast<size_t>(count));
    return count;
}

}  // namespace

std::vector<int> GatherWindows(MPI_Comm comm, int window) {
    int rank = 0, size = 1;
    MPI_Comm_rank(comm, &rank);
    MPI_Comm_size(comm, &size);
    std::vector<int> windows(rank == 0 ? static_cast<size_t>(size) : 0);
    MPI_Gather(&window, 1, MPI_INT, windows.data(), 1, MPI_INT, 0, comm);
    return windows;
}

MpiLink::MpiLink(MPI_Comm comm, std::vector<int> windows)
    : comm_(comm), windows_(std::move(windows)), credit_(windows_.size(), 0) {}

int MpiLink::Capacity() const {
    int total = 0;
    for (size_t r = 1; r < windows_.size(); ++r) total += windows_[r];
    return total;
}

std::string MpiLink::Name() const {
    return windows_.size() == 2 ? "MPI rank 1" : "MPI ranks 1 to " + std::to_string(windows_.size() - 1);
}

BlockPolicy MpiLink::Policy() const {
    BlockPolicy policy;
    // Blocks that cross to another process are eight times as long as this
    // process's own: their round trip then costs little beside the work.
    policy.blockWork = int64_t{1} << 26;
    policy.maxPrimes = 64;
    policy.hold = Capacity();
    policy.threads = 1;
    // Rank 0's own threads, which would otherwise take every block before
    // the pump comes round, take one here only after a round has left it.
    policy.yieldAfterRounds = 2;
    policy.latency = Latency::kRemote;
    return policy;
}

bool MpiLink::Begin(const SegmentJobInfo& info, std::string* reason) {
    if (Capacity() == 0) {
        *reason = "no rank besides rank 0";
        return false;
    }
    twoN_ = 2 * static_cast<UInt128>(info.exponent);
    const int32_t job[4] = {info.exponent, info.exponentLog2, info.bMin, info.bMax};
    for (size_t r = 1; r < windows_.size(); ++r) {
        MPI_Send(job, 4, MPI_INT32_T, static_cast<int>(r), kTagJob, comm_);
        credit_[r] = windows_[r];
    }
    return true;
}

bool MpiLink::Pump(BlockDesk& desk, int) {
    const auto start = std::chrono::steady_clock::now();
    const bool moved = Round(desk);
    bool room = false;
    for (size_t r = 1; r < credit_.size(); ++r) room = room || credit_[r] > 0;
    desk.SetRoom(room);
    if (moved) busySeconds_ += std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    return moved;
}

bool MpiLink::Round(BlockDesk& desk) {
    bool moved = false;
    for (;;) {
        int flag = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, comm_, &flag, &status);
        if (!flag) break;
        const int count = ReceiveBytes(comm_, status, buffer_);
        bytesReceived_ += count;
        moved = true;
        const int rank = status.MPI_SOURCE;
        if (status.MPI_TAG == kTagFail) {
            // A rank that cannot go on: the others' results are dropped with
            // its own, and rank 0's threads take every block back.
            const bool halt = !buffer_.empty() && buffer_[0] != 0;
            const std::string text(buffer_.begin() + (buffer_.empty() ? 0 : 1), buffer_.end());
            if (halt)
                desk.Halt(StringPrintf("MPI rank %d: %s", rank, text.c_str()));
            else
                desk.Fail(StringPrintf("rank %d: %s", rank, text.c_str()));
            return true;
        }
        if (status.MPI_TAG != kTagResult) continue;
        const int64_t index = remote::ResultIndex(buffer_.data(), buffer_.size()).value_or(-1);
        const auto out = away_.find(index);
        if (out == away_.end()) {
            desk.Halt(StringPrintf("MPI rank %d sent the result of a block it was not given: its results cannot be "
                                   "trusted; stopping.",
                                   rank));
            return true;
        }
        received_.kFrom = out->second.first;
        received_.kTo = out->second.second;
        away_.erase(out);
        if (!remote::DecodeResult(buffer_.data(), buffer_.size(), twoN_, received_)) {
            desk.Halt(StringPrintf("MPI rank %d sent a block for k from %s to %s that does not read: its results "
                                   "cannot be trusted; stopping.",
                                   rank, FormatUInt128(received_.kFrom + 1).c_str(),
                                   FormatUInt128(received_.kTo).c_str()));
            return true;
        }
        desk.Complete(index, received_);
        ++credit_[static_cast<size_t>(rank)];
    }
    // One block to each rank with room in turn, while blocks are waiting.
    const int ranks = static_cast<int>(windows_.size());
    for (bool handed = true; handed && ranks > 1;) {
        handed = false;
        for (int i = 0; i < ranks - 1; ++i) {
            const int r = 1 + (next_ - 1 + i) % (ranks - 1);
            if (credit_[static_cast<size_t>(r)] == 0) continue;
            BlockTask task;
            if (!desk.Take(&task)) return moved;
            const int64_t index = task.index;
            const UInt128 kFrom = task.kFrom, kTo = task.kTo;
            away_[index] = {kFrom, kTo};
            const std::array<uint64_t, 5> block = remote::BlockWords({index, kFrom, kTo});
            MPI_Send(block.data(), 5, MPI_UINT64_T, r, kTagBlock, comm_);
            bytesSent_ += sizeof block;
            ++blocks_;
            --credit_[static_cast<size_t>(r)];
            next_ = r % (ranks - 1) + 1;
            handed = moved = true;
        }
    }
    return moved;
}

void MpiLink::End() {
    if (ended_) return;
    ended_ = true;
    away_.clear();
    const int ranks = static_cast<int>(windows_.size());
    for (int r = 1; r < ranks; ++r) MPI_Send(nullptr, 0, MPI_BYTE, r, kTagQuit, comm_);
    // Results already under way are taken and dropped, so that no rank is
    // left in a send; a rank that is gone is given up on after a while.
    int waiting = ranks - 1;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (waiting > 0 && std::chrono::steady_clock::now() < deadline) {
        int flag = 0;
        MPI_Status status;
        MPI_Iprobe(MPI_ANY_SOURCE, MPI_ANY_TAG, comm_, &flag, &status);
        if (!flag) {
            Pause(std::chrono::microseconds(100));
            continue;
        }
        ReceiveBytes(comm_, status, buffer_);
        if (status.MPI_TAG == kTagBye) --waiting;
    }
}

void MpiLink::Shutdown() { End(); }

namespace {

// The serving side's messages over MPI: rank 0 is the host.
class MpiServeChannel final : public remote::ServeChannel {
public:
    MpiServeChannel(MPI_Comm comm, ServeFault fault) : comm_(comm), fault_(fault) {}

    Event Poll(remote::RemoteBlock* block) override {
        int flag = 0;
        MPI_Status status;
        MPI_Iprobe(0, MPI_ANY_TAG, comm_, &flag, &status);
        if (!flag) return Event::kNone;
        if (status.MPI_TAG == kTagQuit) {
            MPI_Recv(nullptr, 0, MPI_BYTE, 0, kTagQuit, comm_, MPI_STATUS_IGNORE);
            return Event::kQuit;
        }
        if (status.MPI_TAG != kTagBlock) {
            ReceiveBytes(comm_, status, dropped_);
            return Event::kNone;
        }
        std::array<uint64_t, 5> words;
        MPI_Recv(words.data(), 5, MPI_UINT64_T, 0, kTagBlock, comm_, MPI_STATUS_IGNORE);
        *block = remote::BlockOfWords(words);
        return Event::kBlock;
    }
    void SendResult(const std::vector<uint8_t>& message) override {
        if (fault_ == ServeFault::kGarbled && !faulted_) {
            // Cut by a byte: no cut of a segment's bytes reads.
            faulted_ = true;
            MPI_Send(message.data(), static_cast<int>(message.size()) - 1, MPI_BYTE, 0, kTagResult, comm_);
            return;
        }
        MPI_Send(message.data(), static_cast<int>(message.size()), MPI_BYTE, 0, kTagResult, comm_);
    }
    void SendFailure(const std::string& text, bool halt) override {
        std::vector<uint8_t> message{static_cast<uint8_t>(halt ? 1 : 0)};
        message.insert(message.end(), text.begin(), text.end());
        MPI_Send(message.data(), static_cast<int>(message.size()), MPI_BYTE, 0, kTagFail, comm_);
    }

private:
    MPI_Comm comm_;
    ServeFault fault_;
    bool faulted_ = false;
    std::vector<uint8_t> dropped_;
};

}  // namespace

void ServeSegments(MPI_Comm comm, int threads, KernelPath path, const std::vector<BlockProducer*>& extra,
                   const std::function<void()>& onJob, ServeFault fault) {
    // Its pauses are short: the default timer slack would double them.
    prctl(PR_SET_TIMERSLACK, 1000UL, 0, 0, 0);
    for (;;) {
        int flag = 0;
        MPI_Status probed;
        MPI_Iprobe(0, MPI_ANY_TAG, comm, &flag, &probed);
        if (!flag) {
            Pause(std::chrono::milliseconds(1));
            continue;
        }
        if (probed.MPI_TAG == kTagJob) {
            int32_t job[4];
            MPI_Recv(job, 4, MPI_INT32_T, 0, kTagJob, comm, MPI_STATUS_IGNORE);
            if (onJob) onJob();
            MpiServeChannel channel(comm, fault);
            const SegmentJobInfo info{job[0], job[1], job[2], job[3]};
            // A failure here is rank 0's to tell: it ends the job, or goes
            // on without this rank.
            if (fault == ServeFault::kRefuses)
                remote::RefuseJob(channel, "told to refuse the job by VARNESK_MPI_TEST_FAULT");
            else
                remote::ServeBlocks(channel, info, threads, path, extra);
            break;
        }
        std::vector<uint8_t> dropped;
        ReceiveBytes(comm, probed, dropped);
        if (probed.MPI_TAG == kTagQuit) break;
    }
    MPI_Send(nullptr, 0, MPI_BYTE, 0, kTagBye, comm);
}

}  // namespace varnesk::mpi
