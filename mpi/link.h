// The MPI side of the wide sieve's blocks. Rank 0 runs the job as
// varnesk-cli does, with an MpiLink as a producer beside its own threads
// that hands blocks to the other ranks; every other rank runs
// ServeSegments, which computes what it is given on all of its threads and
// sends back the compact bytes of each block. Blocks go out on demand: a
// rank holds at most its window, and each result it returns makes room for
// one more.
#pragma once
#include <mpi.h>

#include <cstdint>
#include <functional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "engine/producer.h"
#include "kernels/kernels.h"
#include "remote/serve.h"

namespace varnesk::mpi {

// Every rank, once, before anything else: the window of each rank (segments
// it holds at once), gathered on rank 0 (empty elsewhere).
std::vector<int> GatherWindows(MPI_Comm comm, int window);

// The other ranks as one producer: long blocks (their round trip then costs
// little beside the work), as many held as the ranks' windows together, and
// one pump thread on rank 0 that talks to them.
class MpiLink : public BlockProducer {
public:
    MpiLink(MPI_Comm comm, std::vector<int> windows);
    // Blocks the other ranks hold at once.
    int Capacity() const;
    std::string Name() const override;
    BlockPolicy Policy() const override;
    bool Begin(const SegmentJobInfo& info, std::string* reason) override;
    bool Pump(BlockDesk& desk, int thread) override;
    void End() override;
    // Tells ranks that never got a job, too, that there is none; waits for
    // every rank's farewell. Safe to call more than once.
    void Shutdown();

    int64_t Blocks() const { return blocks_; }
    int64_t BytesSent() const { return bytesSent_; }
    int64_t BytesReceived() const { return bytesReceived_; }
    // Time the pump spent on rounds that moved something: rank 0's cost of
    // the other ranks, beside applying their strikes.
    double BusySeconds() const { return busySeconds_; }

private:
    bool Round(BlockDesk& desk);

    MPI_Comm comm_;
    std::vector<int> windows_, credit_;
    UInt128 twoN_ = 0;
    bool ended_ = false;
    int next_ = 1;  // the rank that is offered a block first
    std::vector<uint8_t> buffer_;
    std::unordered_map<int64_t, std::pair<UInt128, UInt128>> away_;  // the runs of k out, by block
    Segment received_;
    int64_t blocks_ = 0, bytesSent_ = 0, bytesReceived_ = 0;
    double busySeconds_ = 0;
};

// What the tests' hook (VARNESK_MPI_TEST_FAULT) has a rank do wrong.
enum class ServeFault {
    kNone,
    kGarbled,  // its first result cut short: bytes that do not read
    kRefuses,  // says that it cannot serve the job
};

// A rank other than 0: waits for a job and computes its segments until rank
// 0 says that it is over. A rank that cannot go on tells rank 0, which
// stops the job (BlockDesk::Halt) or goes on without the ranks (Fail).
// extra: producers beside the rank's threads (its own device), not owned;
// onJob is called when a job comes, before its first block (a rank whose
// job is none, standard math or a refused one, never gets one).
void ServeSegments(MPI_Comm comm, int threads, KernelPath path, const std::vector<BlockProducer*>& extra = {},
                   const std::function<void()>& onJob = {}, ServeFault fault = ServeFault::kNone);

}  // namespace varnesk::mpi
