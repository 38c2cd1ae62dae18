// The worker: one job on one thread. A front end constructs it from the
// job's request, starts it and from then on only writes m_stopRequest and
// m_tickCount; everything else comes back through the sink, the last of it
// the end marker with the job's outcome.
#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "engine/jobrequest.h"
#include "files/rangerecord.h"
#include "kernels/kernels.h"
#include "kernels/sieve_job.h"
#include "platform/post.h"

namespace varnesk {

class FactorFile;
class CPackedKDB;
struct PrimeSlot;
struct Segment;
class BlockProducer;
class WorkerPool;
class BackgroundSave;

// The k of the largest p = 2Nk + 1 below a resume's start P (after the start
// P is made odd, one or two below it): every prime up to it counts as done.
UInt128 KBelowStartP(UInt128 startP, int64_t exponent);

// Builds a new sieve's candidate set from the b range.
void SetUpNewCandidates(SieveJob& job);

class CGfnThread : public WorkerFlags, public std::enable_shared_from_this<CGfnThread> {
public:
    // The request's values go to the job record and to m_useStartStop,
    // m_startP and m_stopP; everything the worker posts goes to form.
    CGfnThread(const JobRequest& request, TextSink* form);
    ~CGfnThread();
    CGfnThread(const CGfnThread&) = delete;
    CGfnThread& operator=(const CGfnThread&) = delete;

    // Starts the job on its own thread. The thread holds a reference to this
    // object until it ends. False when the thread could not be created.
    bool Start();
    // Lowers the worker thread one step below the process when it starts.
    void SetBelowNormal(bool below) { belowNormal_ = below; }
    // How many threads a sieve may use (1 = the classic single worker).
    int Threads() const { return threads_; }
    // Another producer of the wide sieve's blocks beside this process's
    // threads (another process's ranks, a device); several may be added. Not
    // owned; each must outlive the job.
    void AddProducer(BlockProducer* producer) { producers_.push_back(producer); }

    // The thread's whole life: set-up, dispatch, exit routine. Public so that
    // tests can run a job synchronously on their own thread.
    void Run();

    SieveJob& Job() { return job_; }
    // A save of the candidate file is being written beside the sieve.
    bool SaveRunning() const;
    // How the job ended; what the end marker carries.
    JobOutcome Outcome() const { return outcome_; }
    KernelContext& Kernels() { return kernels_; }

    // The sieves, called by the dispatch.
    void WideSieve();
    void StandardSieve();

private:
    // A failure that lets the job go on (a save that could not be made), and
    // one that ends it after the current prime.
    void NoteFailure() { failed_ = true; }
    void StopOnFailure();
    void InitInstance();
    bool SetUpNewCandidatesChecked();
    bool OutputCanBeMade();
    void ExitInstance();
    void StrikeRoots(FactorFile& factors, const uint32_t* roots, int32_t count);
    bool ApplySlotRoots(const PrimeSlot& slot, FactorFile& factors);
    void SetCurrentPrime(const PrimeSlot& slot);
    bool PassQuietSlots(const Segment& seg, int from, int to, FactorFile& factors);
    bool NextStandardK(CPackedKDB& db, std::string& error);
    void ApplyStartStop(bool startSetsCurrentP);
    void ReportProgress(FactorFile& factors);
    void PostFigures(const FactorFile& factors, UInt128 p);
    bool EndPReached();
    void StopPath(FactorFile& factors);
    bool CloseFactors(FactorFile& factors);
    bool SaveCandidates();
    bool WriteSave(SieveJob& copy);
    void CollectSaves(bool wait);
    void RecordSievedRange(const SieveJob& saved);
    int32_t StrikeList(int64_t p, int32_t n);

    SieveJob job_;
    KernelContext kernels_;
    bool belowNormal_ = true;
    int threads_ = 1;
    KernelPath kernelPath_ = KernelPath::Scalar;
    bool forcedPath_ = false;
    std::vector<BlockProducer*> producers_;
    bool proofsLost_ = false;  // a factor line may not have reached the disk
    bool failed_ = false;
    // Failed until the job ends the way a job should.
    JobOutcome outcome_ = JobOutcome::kFailed;
    // The range record beside the factor file, begun at the first save.
    uint64_t inputFingerprint_ = 0;
    bool rangeBegun_ = false;
    bool rangeFailing_ = false;  // reported once until a write succeeds again
    SievedRange range_;
    // Saves on their own thread; one came due while the last was running.
    std::unique_ptr<BackgroundSave> saves_;
    bool savePending_ = false;
    // The standard sieve's split of its base list across threads.
    WorkerPool* strikePool_ = nullptr;
    std::vector<int32_t> chunkCounts_, chunkHits_;
    std::vector<KernelContext> chunkContexts_;
};

}  // namespace varnesk
