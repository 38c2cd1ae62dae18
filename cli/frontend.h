// The terminal stand-in for the form while a job runs: the queue that the
// worker posts into, the handling of its texts, and the run loop that drives
// the tick counter and turns Ctrl-C into a stop request.
#pragma once
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "cli/job.h"
#include "engine/records.h"
#include "engine/sievestats.h"
#include "engine/worker.h"
#include "kernels/kernels.h"
#include "platform/post.h"

namespace varnesk::cli {

// Owned texts from the worker thread to the main thread.
class TextQueue : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override;
    // The oldest text, or null when none arrived before the deadline.
    std::unique_ptr<std::string> PopUntil(std::chrono::steady_clock::time_point deadline);

private:
    std::mutex mutex_;
    std::condition_variable ready_;
    std::deque<std::unique_ptr<std::string>> texts_;
};

// Decides the exit status from the job's log lines. A sieve leaves its main
// loop through "Stop request received." on every way out, failures included,
// so it counts as a normal end only without one of the failure lines; the
// packed K build ends through "Packed K file generation stopped.", which is a
// normal end unless a sequence file failed before it. A job that fails
// before its main loop posts neither.
class JobOutcome {
public:
    explicit JobOutcome(bool packedBuild) : packedBuild_(packedBuild) {}
    void See(std::string_view logLine);
    int ExitCode() const { return ended_ && !failed_ ? 0 : 1; }

private:
    bool packedBuild_;
    bool ended_ = false;
    bool failed_ = false;
};
bool IsSieveFailureLine(std::string_view logLine);
bool IsBuildFailureLine(std::string_view logLine);

std::string FormatRate(double value);
std::string FormatDuration(double seconds);

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
};

// Handles the worker's texts in the order they arrive, as the form does.
class Display {
public:
    Display(DisplayConfig config, std::FILE* err);
    // now: monotonic seconds. False once the end marker has been handled.
    bool Handle(const std::string& text, double now);
    // A line of the front end's own (no time stamp, not logged).
    void Notice(const std::string& line);
    // Ends the status line and prints the average rates.
    void Finish();
    int ExitCode() const { return outcome_.ExitCode(); }
    std::string StatusText() const;

private:
    void LogLine(const std::string& text);
    void Progress(std::string_view text, double now);
    void ClearStatus();
    void DrawStatus();

    DisplayConfig config_;
    std::FILE* err_;
    JobOutcome outcome_;
    bool statusShown_ = false;
    bool haveRecord_ = false;
    int32_t count_ = 0;
    std::string pText_;
    UInt128 p_ = 0;
    double t_ = 0;
    void AppendStats(const ProgressPoint& point, double removed);
    std::string Verdict() const;

    SieveHistory history_{0};
    int records_ = 0;
    UInt128 firstP_ = 0;
    double firstT_ = 0;
};

// Called with the worker before it starts (another front end's additions).
using WorkerHook = std::function<void(CGfnThread&)>;

struct RunSettings {
    int32_t threads = 0;  // 0: all cores
    KernelPath kernel = KernelPath::Scalar;
    double tickSeconds = 5.0;
    DisplayConfig display;
    WorkerHook prepare;
};

// Launches the worker and handles its texts until the end marker. Ctrl-C,
// SIGTERM and SIGUSR1 (the signal that mpirun passes on) set the stop
// request. Returns the exit status.
int RunJob(const JobPlan& plan, const RunSettings& settings, std::FILE* err);

// The whole program: parse, validate, prepare, run. Returns the exit status.
int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err, const WorkerHook& prepare = {});

}  // namespace varnesk::cli
