// The wide sieve's blocks and those who fill them. A block is a run of k,
// (kFrom, kTo], with the probable primes found in it; the job's ring hands
// blocks out in order and applies their strikes in order, whoever filled
// them. Every filler is a BlockProducer: this process's threads, the other
// ranks of an MPI job, a test's loopback, a GPU. Each states what it wants
// (BlockPolicy) and works the ring through its BlockDesk.
#pragma once
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "engine/block.h"

namespace varnesk {

// What a producer needs to compute a job's blocks.
struct SegmentJobInfo {
    int32_t exponent = 0;  // N
    int32_t exponentLog2 = 0;
    int32_t bMin = 0;
    int32_t bMax = 0;
};

// How far a producer's results are from the host, from which the ring
// derives how it waits for them:
// - kInProcess: threads of this process that cannot be lost. Between
//   rounds they spin briefly, then wait for new blocks; the host sleeps
//   until a block of theirs is done; oldest blocks first. A backstop alone
//   with one thread, the host's, holds one block: more would be filled no
//   sooner.
// - kDevice: a device filled in batches. Pauses 200 us between idle rounds;
//   the host looks every 500 us (and at the stop flag); the newest blocks
//   of its part first, so that a batch is done before the host reaches it
//   while the backstop takes the older ones.
// - kRemote: another process. Pauses 200 us between idle rounds (a block
//   takes a millisecond or so and the other side holds several), the host
//   looks every 100 us, oldest first; its threads and the host's waits get
//   a 1 us timer slack, or short pauses would double. No deadline: a rank
//   that is lost ends the MPI job by itself.
enum class Latency : uint8_t { kInProcess, kDevice, kRemote };

// What a producer asks of the ring. The job's blocks are as long as the
// longest any producer asks for; the window is the sum of their holds.
struct BlockPolicy {
    // A block's length: about blockWork / N primes, at least one and at most
    // maxPrimes (BatchSpan turns primes into k).
    int64_t blockWork = int64_t{1} << 23;
    int maxPrimes = 8;
    // Blocks it may hold at once.
    int hold = 1;
    // Threads the ring runs its Pump on. A backstop's thread 0 is the host's:
    // its waits for a block run Pump(desk, 0).
    int threads = 1;
    // Takes what the others leave: the blocks of one that failed or yields
    // them, and primes whose roots are still to be found. The job's own
    // threads are one, and one is needed for a producer to fail without
    // stopping the job.
    bool backstop = false;
    // Its blocks are left to a backstop while it has no room, or once its
    // Pump has run this many rounds without taking them.
    int yieldAfterRounds = 2;
    Latency latency = Latency::kInProcess;
    // The order it takes its part in: its class's, or oldest first for a
    // device that leaves its part to no backstop (beside the job's one
    // thread, the host's), whose blocks the host then meets in turn.
    enum class Order : uint8_t { kByClass, kOldestFirst } order = Order::kByClass;
    // A block it holds longer than this counts as lost and the producer as
    // failed (0: the class's, none). For tests that lose a producer.
    std::chrono::milliseconds deadline{0};
};

// A block a producer took: sieve (kFrom, kTo], or, with `finish`, complete
// the primes `primes` (by k, in order) of a block already filled, whose
// slots say kPrime (backstops only).
struct BlockTask {
    int64_t index = -1;
    UInt128 kFrom = 0, kTo = 0;
    bool finish = false;
    std::vector<UInt128> primes;
};

// The ring as one producer sees it. Safe from any of the producer's threads.
class BlockDesk {
public:
    // The oldest block it may take now.
    virtual bool Take(BlockTask* task) = 0;
    // Hands a taken block's results over by exchange: the block's slots,
    // or for a finish task the slots of its primes completed, in order
    // (`result` gets old slots back to reuse). False when the block is no
    // longer this producer's (it failed, or was given up on): the results
    // are dropped. A finish task's slots that are not its primes fail the
    // producer.
    virtual bool Complete(int64_t index, Segment& result) = 0;
    // A taken block it will not finish goes back to the others.
    virtual void HandBack(int64_t index) = 0;
    // It can go on no longer: its blocks go back to the others, the job is
    // told why, and the ring calls it no more but for End.
    virtual void Fail(const std::string& reason) = 0;
    // Whether it could take more blocks now.
    virtual void SetRoom(bool room) = 0;
    // What it found makes going on unsafe (results that disagree with the
    // CPU's): the job stops through its failure path, `text` in its log.
    // The blocks it holds stay unfinished; the ring calls it no more but
    // for End.
    virtual void Halt(const std::string& text) = 0;

protected:
    ~BlockDesk() = default;
};

class BlockProducer {
public:
    virtual ~BlockProducer() = default;
    // For the job's log lines.
    virtual std::string Name() const = 0;
    virtual BlockPolicy Policy() const = 0;
    // Before the first block, on the host's thread. False with a reason to
    // decline: the job goes on without it.
    virtual bool Begin(const SegmentJobInfo& info, std::string* reason) = 0;
    // One round on one of its threads (0 .. threads - 1): take, fill, hand
    // over. True when something moved. Must return; a round is short.
    virtual bool Pump(BlockDesk& desk, int thread) = 0;
    // The job is over (or it failed): once, after its threads have ended.
    virtual void End() = 0;
};

}  // namespace varnesk
