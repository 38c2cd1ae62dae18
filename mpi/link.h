// The MPI side of the wide sieve's segments. Rank 0 runs the job as
// varnesk-cli does and hands segments to the other ranks through an
// MpiLink; every other rank runs ServeSegments, which computes what it is
// given on all of its threads and sends back the compact bytes of each
// segment. Blocks go out on demand: a rank holds at most its window, and
// each result it returns makes room for one more.
#pragma once
#include <mpi.h>

#include <cstdint>
#include <vector>

#include "engine/segments.h"

namespace varnesk::mpi {

// Every rank, once, before anything else: the window of each rank (segments
// it holds at once), gathered on rank 0 (empty elsewhere).
std::vector<int> GatherWindows(MPI_Comm comm, int window);

class MpiLink : public SegmentLink {
public:
    MpiLink(MPI_Comm comm, std::vector<int> windows);
    int Capacity() const override;
    void Begin(const SegmentJobInfo& info) override;
    bool Pump(SegmentRing& ring) override;
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
    bool Round(SegmentRing& ring);

    MPI_Comm comm_;
    std::vector<int> windows_, credit_;
    UInt128 twoN_ = 0;
    bool ended_ = false;
    int next_ = 1;  // the rank that is offered a block first
    std::vector<uint8_t> buffer_;
    int64_t blocks_ = 0, bytesSent_ = 0, bytesReceived_ = 0;
    double busySeconds_ = 0;
};

// A rank other than 0: waits for a job and computes its segments until rank
// 0 says that it is over. Returns the exit status.
int ServeSegments(MPI_Comm comm, int threads, KernelPath path);

}  // namespace varnesk::mpi
