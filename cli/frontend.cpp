#include "cli/frontend.h"

#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cinttypes>
#include <cmath>
#include <csignal>
#include <ctime>
#include <iterator>
#include <system_error>
#include <thread>

#include "cli/export.h"
#include "cli/merge.h"
#include "cli/selftest.h"
#include "cli/verify.h"
#include "engine/jobcheck.h"
#include "engine/worker.h"
#include "gpu/attach.h"
#include "platform/fs.h"
#include "platform/numparse.h"
#include "platform/system.h"

namespace varnesk::cli {

// ---------------------------------------------------------------- queue

void TextQueue::Push(WorkerRecord record) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        records_.push_back(std::move(record));
    }
    ready_.notify_one();
}

void TextQueue::PostWorkerText(std::unique_ptr<std::string> text) {
    if (text) Push(WorkerRecord::LogLine(std::move(*text)));
}

void TextQueue::PostProgressRecord(int32_t basesLeft, UInt128 p) { Push(WorkerRecord::Progress(basesLeft, p)); }

void TextQueue::PostRangeRecord(int32_t bMin, int32_t bMax, int32_t exponent) {
    Push(WorkerRecord::Range(bMin, bMax, exponent));
}

void TextQueue::PostEndMarker(JobOutcome outcome) { Push(WorkerRecord::End(outcome)); }

void TextQueue::PostReadingRecord(const ReadingProgress& reading) { Push(WorkerRecord::Reading(reading)); }

std::optional<WorkerRecord> TextQueue::PopUntil(std::chrono::steady_clock::time_point deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    if (!ready_.wait_until(lock, deadline, [this] { return !records_.empty(); })) return std::nullopt;
    WorkerRecord record = std::move(records_.front());
    records_.pop_front();
    return record;
}

int ExitStatus(JobOutcome outcome) {
    switch (outcome) {
    case JobOutcome::kNormalEnd:
    case JobOutcome::kNothingToDo: return 0;
    case JobOutcome::kFailed: break;
    }
    return 1;
}

// ---------------------------------------------------------------- rates

// ---------------------------------------------------------------- display

namespace {
// The status line's rates cover at least the last minute.
constexpr double kRateWindow = 60;
}  // namespace

Display::Display(DisplayConfig config, std::FILE* err) : config_(std::move(config)), err_(err) {}

void Display::ClearStatus() {
    if (statusShown_) {
        std::fputs("\r\x1b[K", err_);
        statusShown_ = false;
    }
}

void Display::DrawStatus() {
    if (config_.quiet || !config_.terminal || (!haveRecord_ && reading_.empty())) return;
    std::fprintf(err_, "\r%s\x1b[K", StatusText().c_str());
    std::fflush(err_);
    statusShown_ = true;
}

std::string Display::StatusText() const {
    std::string s;
    if (!haveRecord_) return reading_;
    if (config_.exponent > 0 && config_.bMax > 0)
        s += StringPrintf("N=%d b %d-%d | ", config_.exponent, config_.bMin, config_.bMax);
    s += StringPrintf("b's left %d | P %s", count_, pText_.c_str());
    const SieveRates rates = history_.Recent(kRateWindow);
    if (rates.valid) {
        s += " | " + FormatRate(rates.primesPerSecond) + " primes/s | " + FormatRate(rates.pPerDay) + " P/day | " +
             FormatRate(rates.removedPerHour) + " removed/h";
        if (config_.haveEndP) {
            const double left = history_.SecondsTo(static_cast<double>(config_.endP), kRateWindow);
            if (left >= 0) s += " | end P in " + FormatDuration(left);
        }
        if (config_.testSeconds > 0) s += " | " + Verdict();
    } else {
        s += " | measuring";
    }
    if (config_.timeLimitSeconds > 0)
        s += " | time limit in " + FormatDuration(config_.timeLimitSeconds - (t_ - config_.startTime));
    if (config_.shares && p_ > firstP_) s += " | " + config_.shares(firstP_, p_, config_.exponent);
    return s;
}

// The stop verdict in a few words.
std::string Display::Verdict() const {
    const StopAdvice a = history_.Advise(config_.testSeconds);
    switch (a.kind) {
    case StopAdvice::kKeepSieving:
        return StringPrintf("sieve: a base per %s, faster than a test; until P about %.3g (%s)",
                            FormatDuration(a.removalSeconds).c_str(), a.crossingP,
                            FormatDuration(a.secondsToCrossing).c_str());
    case StopAdvice::kStopSieving:
        return StringPrintf("test now: sieving removes a base per %s, a test takes %s",
                            FormatDuration(a.removalSeconds).c_str(), FormatDuration(config_.testSeconds).c_str());
    case StopAdvice::kNotYet: break;
    }
    // Name what is still missing, not a condition already met.
    const auto& points = history_.Points();
    const double elapsed = points.size() >= 2 ? points.back().t - points.front().t : 0;
    std::string missing;
    if (elapsed < SieveHistory::kAdviceSeconds)
        missing = StringPrintf("a minute of sieving (%.0f s so far)", elapsed);
    if (history_.Removed() < SieveHistory::kAdviceRemovals)
        missing += (missing.empty() ? "" : " and ") +
                   StringPrintf("%" PRId64 " removals (%" PRId64 " so far)", SieveHistory::kAdviceRemovals,
                                history_.Removed());
    if (missing.empty()) missing = "more history";
    return "advice after " + missing;
}

void Display::AppendStats(const ProgressPoint& point, double removed) {
    if (config_.statsFile.empty()) return;
    std::FILE* f = std::fopen(config_.statsFile.c_str(), "a");
    if (!f) return;
    // A header row when the file is new, so that a plotting tool names the
    // columns.
    if (std::ftell(f) == 0) std::fputs("unix_time,p,bases_left,removed,primes_per_s,p_per_day\n", f);
    const SieveRates r = history_.Points().size() >= 2
                             ? RatesBetween(history_.Points()[history_.Points().size() - 2], point, config_.exponent)
                             : SieveRates{};
    std::fprintf(f, "%lld,%s,%lld,%.0f,%.6g,%.6g\n", static_cast<long long>(std::time(nullptr)), FormatUInt128(p_).c_str(),
                 static_cast<long long>(point.left), removed, r.primesPerSecond, r.pPerDay);
    std::fclose(f);
}

void Display::Notice(const std::string& line) {
    ClearStatus();
    std::fprintf(err_, "%s\n", line.c_str());
    DrawStatus();
    std::fflush(err_);
}

void Display::LogLine(const std::string& text) {
    std::string line = text + LogTimeStamp();
    ClearStatus();
    std::fprintf(err_, "%s\n", line.c_str());
    DrawStatus();
    std::fflush(err_);
    if (!config_.logFile.empty()) {
        // Opened and closed per line like the form's log file, so that the
        // file is complete whenever the program is killed.
        if (std::FILE* f = std::fopen(config_.logFile.c_str(), "a")) {
            std::fprintf(f, "%s\n", line.c_str());
            std::fclose(f);
        }
    }
}

void Display::Progress(int32_t count, UInt128 p, double now) {
    if (records_++ == 0) {
        firstP_ = p;
        firstT_ = now;
    }
    const double removed = haveRecord_ ? static_cast<double>(count_ - count) : 0;
    haveRecord_ = true;
    count_ = count;
    p_ = p;
    t_ = now;
    pText_ = FormatProgressP(p);
    const ProgressPoint point{now, static_cast<double>(p), count};
    history_.SetExponent(config_.exponent);
    history_.Add(point);
    AppendStats(point, removed);
    if (config_.quiet) return;
    if (config_.terminal) {
        DrawStatus();
    } else {
        std::fprintf(err_, "%s\n", StatusText().c_str());
        std::fflush(err_);
    }
}

void Display::Reading(const ReadingProgress& reading) {
    reading_ = FormatReading(reading);
    if (config_.quiet || haveRecord_) return;
    if (config_.terminal) {
        DrawStatus();
    } else {
        std::fprintf(err_, "%s\n", reading_.c_str());
        std::fflush(err_);
    }
}

void Display::Range(int32_t bMin, int32_t bMax, int32_t exponent) {
    config_.bMin = bMin;
    config_.bMax = bMax;
    config_.exponent = exponent;
    DrawStatus();
}

bool Display::Handle(const WorkerRecord& r, double now) {
    switch (r.kind) {
    case WorkerRecord::kProgress: Progress(r.basesLeft, r.p, now); return true;
    case WorkerRecord::kRange: Range(r.bMin, r.bMax, r.exponent); return true;
    case WorkerRecord::kAlgebraic: return true;
    case WorkerRecord::kEnd: End(r.outcome); return false;
    case WorkerRecord::kReading: Reading(r.reading); return true;
    case WorkerRecord::kLogLine: break;
    }
    LogLine(r.text);
    return true;
}

void Display::Finish() {
    if (statusShown_) {
        std::fputs("\n", err_);
        statusShown_ = false;
    }
    const SieveRates avg = history_.SinceStart();
    if (records_ >= 2 && avg.valid) {
        std::fprintf(err_, "Average from P %s to P %s over %.1f s: %s primes/s, %s P/day\n",
                     FormatUInt128(firstP_).c_str(), FormatUInt128(p_).c_str(), t_ - firstT_,
                     FormatRate(avg.primesPerSecond).c_str(), FormatRate(avg.pPerDay).c_str());
    }
    if (records_ >= 1 && !config_.packedBuild) {
        std::fprintf(err_, "%s\n",
                     SummaryLine(firstP_, p_, config_.exponent, history_.Removed(), t_ - firstT_,
                                 avg.valid ? avg.pPerDay : 0)
                         .c_str());
        if (config_.testSeconds > 0) std::fprintf(err_, "Stop advice: %s\n", Verdict().c_str());
        if (config_.shares && p_ > firstP_) std::fprintf(err_, "Share: %s\n", config_.shares(firstP_, p_, config_.exponent).c_str());
    }
    if (!stopReason_.empty()) std::fprintf(err_, "Stopped by %s.\n", stopReason_.c_str());
    std::fflush(err_);
}

void Display::Abandon(const std::string& line) {
    ClearStatus();
    std::fprintf(err_, "%s\n", line.c_str());
    std::fflush(err_);
}

// ---------------------------------------------------------------- run loop

namespace {

// What is noted of each signal, by the run loop as it takes them or by the
// backstop handler on whatever thread it runs. Lock-free atomics, so that
// the handler is safe at any moment.
std::atomic<int64_t> g_firstStopNs{0};  // monotonic time of the first signal, 0 for none
std::atomic<int> g_firstStopSignal{0};
std::atomic<int> g_endSignal{0};
static_assert(std::atomic<int64_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free);

constexpr int kStopSignals[] = {SIGINT, SIGTERM, SIGUSR1, SIGHUP, SIGQUIT};

sigset_t AllStopSignals() {
    sigset_t set;
    sigemptyset(&set);
    for (int signal : kStopSignals) sigaddset(&set, signal);
    return set;
}

// The signals that stop a job: all of them, but SIGHUP only when the
// program did not start with it ignored. Decided at the first look, before
// a library can have put a handler of its own in SIG_IGN's place.
bool Watched(int signal) {
    static const bool hangUpIgnored = [] {
        struct sigaction hup {};
        return sigaction(SIGHUP, nullptr, &hup) == 0 && hup.sa_handler == SIG_IGN;
    }();
    return signal != SIGHUP || !hangUpIgnored;
}

int64_t MonotonicNs() {
    timespec t{};
    ::clock_gettime(CLOCK_MONOTONIC, &t);  // async-signal-safe
    return static_cast<int64_t>(t.tv_sec) * 1000000000 + t.tv_nsec;
}

extern "C" void NoteStopSignal(int signal) {
    const int64_t now = MonotonicNs();
    int64_t first = 0;
    if (g_firstStopNs.compare_exchange_strong(first, now)) {
        g_firstStopSignal.store(signal);
        return;
    }
    if (now - first >= static_cast<int64_t>(kSameStopSeconds * 1e9)) g_endSignal.store(signal);
}

// The stop signals that wait on the process or this thread, without
// waiting; an unwatched one (SIGHUP under nohup) is dropped.
template <class Note>
void TakePending(Note note) {
    const sigset_t set = AllStopSignals();
    const timespec now{};
    for (int signal; (signal = sigtimedwait(&set, nullptr, &now)) > 0;)
        if (Watched(signal)) note(signal);
}

double Seconds(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(t.time_since_epoch()).count();
}

// Ends the program by the signal's own default action, so that a shell or
// a supervisor sees how it ended; without a core file, which for a sieve
// holding gigabytes would only fill the disk.
[[noreturn]] void EndBySignal(int signal) {
    const rlimit noCore{0, 0};
    setrlimit(RLIMIT_CORE, &noCore);
    struct sigaction sa {};
    sa.sa_handler = SIG_DFL;
    sigemptyset(&sa.sa_mask);
    sigaction(signal, &sa, nullptr);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, signal);
    pthread_sigmask(SIG_UNBLOCK, &set, nullptr);
    ::raise(signal);
    ::_exit(128 + signal);
}

// The second signal's end. It need not wait for the worker: every file the
// job writes is whole at every moment. The candidate file and the range
// record are replaced by renaming a whole, synced temporary file over them,
// so a save cut short leaves the last one (and at worst its temporary file
// beside it); factor lines leave their buffer whole by write(2), and a
// resume sieves again whatever came after the last save.
[[noreturn]] void EndAtOnce(Display& display, int signal) {
    display.Abandon("Ending at once on a second " + StopSignalName(signal) +
                    "; the output file keeps its last save.");
    EndBySignal(signal);
}

}  // namespace

StopSignals::StopSignals() {
    g_firstStopNs = 0;
    g_firstStopSignal = 0;
    g_endSignal = 0;
    const sigset_t set = AllStopSignals();
    pthread_sigmask(SIG_BLOCK, &set, &oldMask_);
    struct sigaction sa {};
    sa.sa_handler = NoteStopSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    for (size_t i = 0; i < std::size(kStopSignals); ++i) {
        sigaction(kStopSignals[i], nullptr, &old_[i]);
        if (Watched(kStopSignals[i])) sigaction(kStopSignals[i], &sa, nullptr);
    }
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    sigaction(SIGPIPE, &ignore, &old_[std::size(kStopSignals)]);
}

StopSignals::~StopSignals() {
    // What came after the job's end has nothing left to stop.
    TakePending([](int) {});
    pthread_sigmask(SIG_SETMASK, &oldMask_, nullptr);
    for (size_t i = 0; i < std::size(kStopSignals); ++i) sigaction(kStopSignals[i], &old_[i], nullptr);
    sigaction(SIGPIPE, &old_[std::size(kStopSignals)], nullptr);
}

void StopSignals::Take() { TakePending(NoteStopSignal); }

int StopSignals::Stop() {
    Take();
    // The time is set before the number: a signal that has only its time
    // noted yet is seen at the next look.
    return g_firstStopSignal.load();
}

int StopSignals::EndAtOnce() {
    Take();
    return g_endSignal.load();
}

std::string StopSignalName(int signal) {
    switch (signal) {
    case SIGINT: return "SIGINT";
    case SIGTERM: return "SIGTERM";
    case SIGUSR1: return "SIGUSR1";
    case SIGHUP: return "SIGHUP";
    case SIGQUIT: return "SIGQUIT";
    default: return "signal " + std::to_string(signal);
    }
}

void BlockStopSignals() {
    Watched(SIGHUP);  // decided now, before MPI's libraries load any other
    const sigset_t set = AllStopSignals();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

int RunJob(const JobRequest& request, const RunSettings& settings, StopSignals& signals, std::FILE* err) {
    using Clock = std::chrono::steady_clock;
    TextQueue queue;
    const auto started = Clock::now();
    DisplayConfig shown = settings.display;
    shown.timeLimitSeconds = settings.timeLimitSeconds;
    shown.startTime = Seconds(started);
    Display display(shown, err);

    auto worker = std::make_shared<CGfnThread>(request, &queue);
    if (settings.prepare) settings.prepare(*worker);

    display.LogLine("Varnesk Build 306");

    // Our own thread rather than Start(): it is joined, so the job's tables
    // are freed before the program ends. It inherits the stop signals
    // blocked, as every thread of the job does.
    std::thread thread;
    try {
        thread = std::thread([worker] {
            SetCurrentThreadBelowNormal();
            worker->Run();
        });
    } catch (const std::system_error&) {
        display.Notice("Sieve thread failed to create.");
        return 1;
    }

    const auto tick = std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(settings.tickSeconds));
    const auto poll = std::chrono::milliseconds(50);
    auto nextTick = Clock::now() + tick;
    const auto limitAt = settings.timeLimitSeconds > 0
                             ? started + std::chrono::duration_cast<Clock::duration>(
                                             std::chrono::duration<double>(settings.timeLimitSeconds))
                             : Clock::time_point::max();
    // Once a second: the file may be on a network file system.
    const auto stopFileEvery = std::chrono::seconds(1);
    auto nextStopFileLook = started;
    bool stopSent = false;
    bool signalSeen = false;
    for (;;) {
        auto now = Clock::now();
        if (const int signal = signals.EndAtOnce()) EndAtOnce(display, signal);
        if (const int signal = signals.Stop(); signal && !signalSeen && stopSent) {
            // The time limit or the stop file came first: the signal only
            // starts the second that tells a stop from an end at once.
            signalSeen = true;
            display.Notice("Already stopping after the current prime; another stop signal, a second or more from "
                           "now, ends at once.");
        }
        if (!stopSent) {
            std::string reason, notice;
            if (const int signal = signals.Stop()) {
                signalSeen = true;
                reason = StopSignalName(signal);
                notice = "Stopping after the current prime (" + reason +
                         "); another stop signal, a second or more from now, ends at once.";
            } else if (now >= limitAt) {
                reason = "the time limit of " + FormatDuration(settings.timeLimitSeconds);
                notice = "Time limit of " + FormatDuration(settings.timeLimitSeconds) +
                         " reached; stopping after the current prime.";
            } else if (!settings.stopFile.empty() && now >= nextStopFileLook) {
                nextStopFileLook = now + stopFileEvery;
                if (PathExists(settings.stopFile)) {
                    reason = "the stop file " + settings.stopFile;
                    notice = "Stop file " + settings.stopFile + " found; stopping after the current prime.";
                }
            }
            if (!reason.empty()) {
                worker->m_stopRequest.store(1, std::memory_order_relaxed);
                stopSent = true;
                display.SetStopReason(reason);
                display.Notice(notice);
            }
        }
        if (now >= nextTick) {
            worker->m_tickCount.fetch_add(1, std::memory_order_relaxed);
            nextTick += tick;
            if (nextTick <= now) nextTick = now + tick;  // fell behind: no burst of ticks
        }
        auto deadline = std::min(nextTick, now + poll);
        std::optional<WorkerRecord> record = queue.PopUntil(deadline);
        if (record && !display.Handle(*record, Seconds(Clock::now()))) break;
    }
    thread.join();
    display.Finish();
    return display.ExitCode();
}

namespace {

// A stop file that is there from the start would stop the job at its first
// prime, and one that names a file the job writes would be there as soon as
// the job makes it. The program never removes it: it may be anything.
std::string StopFileRefusal(const std::string& stopFile, const JobRequest& request) {
    for (const std::string* file :
         {&request.outputFile, &request.factorFile, &request.logFile, &request.statsFile, &request.inputFile})
        if (!file->empty() && SameFile(stopFile, *file))
            return "Stop file " + stopFile + " is a file of the job itself (" + *file +
                   "); give the stop file a name of its own.";
    // Nothing can ever make a file in a folder that is not there.
    const std::string folder = FolderOf(stopFile);
    const PathState state = InspectPath(folder);
    if (state.kind == PathKind::Missing)
        return "Stop file " + stopFile + " can never be made: its folder " + folder + " does not exist.";
    if (state.kind == PathKind::Unreadable)
        return "Stop file " + stopFile + " can never be seen: its folder " + folder +
               " cannot be looked at: " + ErrorText(state.error) + ".";
    if (state.kind != PathKind::Folder)
        return "Stop file " + stopFile + " can never be made: " + folder + " is not a folder.";
    if (PathExists(stopFile)) return "Stop file " + stopFile + " is already there; remove it to run the job.";
    return {};
}

}  // namespace

int RunCli(int argc, const char* const* argv, std::FILE* out, std::FILE* err, const WorkerHook& prepare) {
    CliParse parsed = ParseCommandLine(argc, argv);
    if (!parsed.ok) {
        std::fprintf(err, "varnesk-cli: %s\nTry 'varnesk-cli --help'.\n", parsed.error.c_str());
        return 2;
    }
    const CliOptions& o = parsed.options;
    if (o.command == CliCommand::Help) {
        std::fputs(UsageText(), out);
        return 0;
    }
    if (o.command == CliCommand::Version) {
        std::fprintf(out, "%s\n", kVersionText);
        return 0;
    }
    if (o.command == CliCommand::Verify) return RunVerify(o, out, err);
    if (o.command == CliCommand::Export) return RunExport(o, out, err);
    if (o.command == CliCommand::Merge) return RunMerge(o, out, err);
    if (o.command == CliCommand::SelfTest) return RunSelfTest(o, out, err);
    if (o.command == CliCommand::Devices) {
        std::fputs(gpu::DeviceListText().c_str(), out);
        return 0;
    }

    // Before anything can start a thread (OpenCL, below): every thread of
    // the job inherits the stop signals blocked.
    const bool job =
        o.command == CliCommand::Sieve || o.command == CliCommand::Resume || o.command == CliCommand::BuildPackedK;
    std::optional<StopSignals> signals;
    if (job) signals.emplace();

    // The option wins over the environment; either must name a path this
    // CPU has.
    std::string kernelError;
    const KernelPath kernel = o.kernel.empty() ? DetectKernelPath() : ResolveKernelPath(o.kernel, &kernelError);
    if (o.kernel.empty()) kernelError = KernelEnvironmentError();
    if (!kernelError.empty()) {
        std::fprintf(err, "varnesk-cli: %s\n", kernelError.c_str());
        return 2;
    }

    // A device that cannot be had is refused before any file is touched;
    // auto without a GPU is the CPU alone. Standard math never asks OpenCL.
    std::unique_ptr<gpu::GpuProducer> device;
    std::string deviceNotice;
    if (o.command == CliCommand::Sieve || o.command == CliCommand::Resume) {
        gpu::DeviceSetup setup = o.standard ? gpu::StandardMathDevice(o.device) : gpu::SetUpDevice(o.device, kernel);
        if (!setup.ok) {
            std::fprintf(err, "varnesk-cli: %s\n", setup.error.c_str());
            return 2;
        }
        device = std::move(setup.producer);
        deviceNotice = setup.notice;
    }

    Validation v = ValidateJob(o);
    for (const std::string& notice : v.notices) std::fprintf(err, "%s\n", notice.c_str());
    if (!v.ok) {
        std::fprintf(err, "%s\n", v.message.c_str());
        return v.nothingToDo ? 0 : 2;
    }
    if (!o.stopFile.empty()) {
        const std::string refusal = StopFileRefusal(o.stopFile, v.request);
        if (!refusal.empty()) {
            std::fprintf(err, "%s\n", refusal.c_str());
            return 2;
        }
    }
    // A job that could not save would sieve for nothing: refused at once.
    for (const std::string& message : CheckFilesCanBeMade(v)) {
        std::fprintf(err, "%s\n", message.c_str());
        v.ok = false;
    }
    if (!v.ok) return 1;
    // A stop asked for while the job was still being checked has nothing to
    // save: the program ends by the signal, with no file touched.
    if (const int signal = signals->Stop()) {
        std::fprintf(err, "Stopped by %s before the job began; no file was touched.\n",
                     StopSignalName(signal).c_str());
        std::fflush(err);
        EndBySignal(signal);
    }
    // Held until the job has ended: a second job on the same files, from
    // here or from the form, is refused meanwhile.
    JobLock lock;
    std::string refusal;
    if (!LockJobFiles(FilesOf(v.request), lock, refusal)) {
        std::fprintf(err, "%s\n", refusal.c_str());
        return 2;
    }
    const std::vector<std::string> cannot = PrepareFiles(v);
    for (const std::string& message : cannot) std::fprintf(err, "%s\n", message.c_str());
    std::fflush(err);
    if (!cannot.empty()) return 1;

    v.request.kernel = kernel;
    RunSettings settings;
    settings.tickSeconds = o.tickSeconds;
    settings.display.quiet = o.quiet;
    settings.display.terminal = ::isatty(::fileno(err)) == 1;
    settings.display.logFile = o.logFile;
    settings.display.exponent = v.request.exponent;
    settings.display.bMin = v.request.bMin;
    settings.display.bMax = v.request.bMax;
    settings.display.haveEndP = o.haveEndP && o.command != CliCommand::BuildPackedK;
    settings.display.endP = o.endP;
    settings.display.packedBuild = v.request.command == kCommandPackedK;
    settings.display.statsFile = o.statsFile;
    settings.display.testSeconds = o.testSeconds;
    settings.timeLimitSeconds = static_cast<double>(o.timeLimitSeconds);
    settings.stopFile = o.stopFile;
    settings.prepare = [&](CGfnThread& worker) {
        if (!deviceNotice.empty()) PostText(worker.Job().form, "%s", deviceNotice.c_str());
        if (device) gpu::AttachDevice(worker, *device);
        if (prepare) prepare(worker);
    };
    if (device && v.request.wideMath != 0)
        settings.display.shares = [&device](UInt128 fromP, UInt128 toP, int32_t exponent) {
            return gpu::ShareText(*device, fromP, toP, exponent);
        };
    const int status = RunJob(v.request, settings, *signals, err);
    // After the summary, as the summary is: what the device did.
    if (device && device->Blocks() > 0) std::fprintf(err, "%s\n", gpu::DeviceSummary(*device).c_str());
    return status;
}

}  // namespace varnesk::cli
