// The terminal stand-in for the form while a job runs: the queue that the
// worker posts into, the handling of its texts, and the run loop that drives
// the tick counter and turns the stop signals into a stop request.
#pragma once
#include <signal.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>

#include "cli/job.h"
#include "engine/sievestats.h"
#include "engine/worker.h"
#include "kernels/kernels.h"
#include "platform/post.h"

namespace varnesk::cli {

// What the worker posts, from its thread to the main thread, in order.
class TextQueue : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override;
    void PostProgressRecord(int32_t basesLeft, UInt128 p) override;
    void PostRangeRecord(int32_t bMin, int32_t bMax, int32_t exponent) override;
    void PostEndMarker(JobOutcome outcome) override;
    void PostReadingRecord(const ReadingProgress& reading) override;
    // The oldest record, or none when none arrived before the deadline.
    std::optional<WorkerRecord> PopUntil(std::chrono::steady_clock::time_point deadline);

private:
    void Push(WorkerRecord record);
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<WorkerRecord> records_;
};

// The exit status of a job that ran: 0 for a normal end and for a job with
// nothing to do, 1 for a failure.
int ExitStatus(JobOutcome outcome);

struct DisplayConfig {
    bool quiet = false;
    bool terminal = false;  // rewrite one status line in place
    std::string logFile;
    int32_t exponent = 0;  // updated by the range record
    int32_t bMin = 0;
    int32_t bMax = 0;
    bool haveEndP = false;
    UInt128 endP = 0;
    bool packedBuild = false;
    std::string statsFile;   // one CSV row per progress record
    double testSeconds = 0;  // > 0: the stop verdict for a test this long
    double timeLimitSeconds = 0;  // > 0: the status line shows the time left
    double startTime = 0;         // monotonic seconds the time limit counts from
    // Set when a device sieves beside the threads: its share of the p range
    // from the first record's p to the last ("GPU 41%"), N from the range.
    std::function<std::string(UInt128 fromP, UInt128 toP, int32_t exponent)> shares;
};

// Handles what the worker posts in the order it arrives, as the form does.
class Display {
public:
    Display(DisplayConfig config, std::FILE* err);
    // now: monotonic seconds. False once the end marker has been handled.
    bool Handle(const WorkerRecord& record, double now);
    // The records one by one (Handle's parts).
    void LogLine(const std::string& text);
    void Progress(int32_t basesLeft, UInt128 p, double now);
    void Range(int32_t bMin, int32_t bMax, int32_t exponent);
    void End(JobOutcome outcome) { outcome_ = outcome; }
    // Where the read of a big input file has got to, shown until the first
    // progress record.
    void Reading(const ReadingProgress& reading);
    // A line of the front end's own (no time stamp, not logged).
    void Notice(const std::string& line);
    // What asked the job to stop ("SIGINT", "the time limit of 08:00:00"),
    // named by the summary.
    void SetStopReason(std::string reason) { stopReason_ = std::move(reason); }
    // Ends the status line and prints the average rates.
    void Finish();
    // The last line of a program that ends without waiting for the job.
    void Abandon(const std::string& line);
    // 1 until the end marker has come.
    int ExitCode() const { return outcome_ ? ExitStatus(*outcome_) : 1; }
    std::string StatusText() const;

private:
    void ClearStatus();
    void DrawStatus();

    DisplayConfig config_;
    std::FILE* err_;
    std::optional<JobOutcome> outcome_;
    bool statusShown_ = false;
    bool haveRecord_ = false;
    std::string reading_;  // the last reading record's text
    int32_t count_ = 0;
    std::string pText_;
    UInt128 p_ = 0;
    double t_ = 0;
    void AppendStats(const ProgressPoint& point, double removed);
    std::string Verdict() const;

    SieveHistory history_{0};
    std::string stopReason_;
    int records_ = 0;
    UInt128 firstP_ = 0;
    double firstT_ = 0;
};

// The signals that stop a job (one instance at a time): SIGINT, SIGTERM,
// SIGUSR1, SIGHUP (a closed terminal, a dropped ssh session) and SIGQUIT,
// each a stop with a save. SIGHUP stays ignored when the program started
// with it ignored (nohup). Made before anything starts a thread (OpenCL,
// MPI): the signals are blocked in the calling thread and so in every
// thread started after it, and the run loop takes them with sigtimedwait,
// so that no handler a library installs (PoCL's LLVM takes SIGQUIT and
// SIGUSR1) ever sees one; a handler of ours stays as a backstop for a
// thread that unblocks them. SIGPIPE is ignored meanwhile: a terminal or
// session that is gone must not end the job before its save. Everything
// comes back afterwards.
// The first signal asks for a stop. Another within kSameStopSeconds of it
// is the same request: timeout(1) signals the program and then its whole
// process group, and a service manager may do alike. One that comes later
// asks to end at once.
inline constexpr double kSameStopSeconds = 1.0;
class StopSignals {
public:
    StopSignals();
    ~StopSignals();
    StopSignals(const StopSignals&) = delete;
    StopSignals& operator=(const StopSignals&) = delete;
    // The first signal's number; 0 while none came.
    int Stop();
    // A signal that came kSameStopSeconds or more after the first; 0 while
    // none did.
    int EndAtOnce();

private:
    void Take();
    struct sigaction old_[6];
    sigset_t oldMask_;
};
// "SIGINT", "SIGTERM", "SIGUSR1", "SIGHUP", "SIGQUIT".
std::string StopSignalName(int signal);
// The stop signals blocked in the calling thread for good, for a program
// whose libraries start threads before a job (MPI): they inherit the mask.
void BlockStopSignals();

// Called with the worker before it starts (another front end's additions).
using WorkerHook = std::function<void(CGfnThread&)>;

struct RunSettings {
    double tickSeconds = 5.0;
    double timeLimitSeconds = 0;  // > 0: a stop once the job has run this long
    std::string stopFile;         // non-empty: a stop once this file exists
    DisplayConfig display;
    WorkerHook prepare;
};

// Launches the worker and handles its texts until the end marker. The stop
// signals, the time limit and the stop file set the stop request; a later
// second signal ends the program at once. Returns the exit status.
int RunJob(const JobRequest& request, const RunSettings& settings, StopSignals& signals, std::FILE* err);

// The whole program: parse, validate, prepare, run. Returns the exit status.
int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err, const WorkerHook& prepare = {});

}  // namespace varnesk::cli
