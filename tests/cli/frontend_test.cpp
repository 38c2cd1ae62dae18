#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "cli/frontend.h"
#include "cli_test_support.h"
#include "platform/post.h"

namespace varnesk::cli {
namespace {

using testing::Lines;
using testing::ReadAll;
using testing::ScratchFolder;

// The exit status comes from the outcome the worker sends with its end
// marker; no wording of a log line changes it.
TEST(CliOutcome, ExitStatusFromTheOutcome) {
    EXPECT_EQ(ExitStatus(JobOutcome::kNormalEnd), 0);
    EXPECT_EQ(ExitStatus(JobOutcome::kNothingToDo), 0);
    EXPECT_EQ(ExitStatus(JobOutcome::kFailed), 1);
    std::FILE* sink = std::tmpfile();
    ASSERT_TRUE(sink);
    struct Case {
        std::vector<std::string> lines;
        std::optional<JobOutcome> end;
        int status;
    } cases[] = {
        {{"Factor 193 does not divide 1*68^32 + 1.", "Stop request received."}, JobOutcome::kNormalEnd, 0},
        {{"Stop request received.", "20 items 5441 p value written to o.txt."}, JobOutcome::kFailed, 1},
        {{"Sequence file d/x is completed.  Switching to next file."}, JobOutcome::kNormalEnd, 0},
        {{"Stop request received."}, std::nullopt, 1},  // no end marker: the job did not end as a job ends
    };
    for (const Case& c : cases) {
        Display d(DisplayConfig{}, sink);
        for (const std::string& line : c.lines) EXPECT_TRUE(d.Handle(WorkerRecord::LogLine(line), 1.0));
        if (c.end) {
            EXPECT_FALSE(d.Handle(WorkerRecord::End(*c.end), 1.0));
        }
        EXPECT_EQ(d.ExitCode(), c.status) << c.lines[0];
    }
    std::fclose(sink);
}

TEST(CliRates, Formats) {
    EXPECT_EQ(FormatDuration(0), "00:00:00");
    EXPECT_EQ(FormatDuration(3723), "01:02:03");
    EXPECT_EQ(FormatDuration(2 * 86400 + 59.6), "2d 00:01:00");
    EXPECT_EQ(FormatRate(23515.4), "23515");
    EXPECT_EQ(FormatRate(3.814), "3.81");
    EXPECT_EQ(FormatRate(0.000123456), "0.000123");
}

class CliDisplay : public ::testing::Test {
protected:
    void SetUp() override { err_ = open_memstream(&buffer_, &size_); }
    void TearDown() override {
        if (err_) std::fclose(err_);
        std::free(buffer_);
    }
    std::string Output() {
        std::fflush(err_);
        return std::string(buffer_, size_);
    }
    std::FILE* err_ = nullptr;
    char* buffer_ = nullptr;
    size_t size_ = 0;
};

TEST_F(CliDisplay, LogLinesAreStampedAndAppendedToTheLogFile) {
    ScratchFolder dir;
    DisplayConfig c;
    c.logFile = dir.File("run.log");
    Display d(c, err_);
    EXPECT_TRUE(d.Handle(WorkerRecord::LogLine("Wide math algorithm selected."), 1.0));
    EXPECT_TRUE(d.Handle(WorkerRecord::LogLine(""), 1.0));  // an empty log line is only its stamp
    EXPECT_TRUE(d.Handle(WorkerRecord::Range(2, 100, 32), 1.0));
    EXPECT_FALSE(d.Handle(WorkerRecord::End(JobOutcome::kNormalEnd), 1.0));
    const std::string stamp = LogTimeStamp();
    std::vector<std::string> log = Lines(ReadAll(c.logFile));
    ASSERT_EQ(log.size(), 2u);
    // The minute may turn between two calls; compare without the stamp.
    EXPECT_EQ(log[0].substr(0, log[0].size() - stamp.size()), "Wide math algorithm selected.");
    EXPECT_EQ(log[0].size(), std::string("Wide math algorithm selected.").size() + stamp.size());
    EXPECT_EQ(log[1].size(), stamp.size());
    EXPECT_EQ(Output(), ReadAll(c.logFile));  // nothing else was shown: no record is logged

    Display again(c, err_);
    again.LogLine("Stop request received.");
    EXPECT_EQ(Lines(ReadAll(c.logFile)).size(), 3u);
    EXPECT_EQ(again.ExitCode(), 1);  // until the end marker says how the job ended
    again.End(JobOutcome::kNormalEnd);
    EXPECT_EQ(again.ExitCode(), 0);
}

TEST_F(CliDisplay, PlainProgressLinesWhenNotATerminal) {
    DisplayConfig c;
    c.exponent = 65536;
    c.bMin = 2;
    c.bMax = 1000000;
    c.haveEndP = true;
    c.endP = 3000000000000;
    Display d(c, err_);
    d.Progress(250000, 999999868929, 10.0);
    d.Progress(249000, 1999999868929, 11.0);
    d.Finish();
    std::vector<std::string> lines = Lines(Output());
    ASSERT_EQ(lines.size(), 4u);
    EXPECT_EQ(lines[0], "N=65536 b 2-1000000 | b's left 250000 | P 999999868929 | measuring");
    EXPECT_EQ(lines[1].rfind("N=65536 b 2-1000000 | b's left 249000 | P 1,999999868929 | ", 0), 0u) << lines[1];
    EXPECT_NE(lines[1].find(" 86.40 P/day | 3600000 removed/h | end P in 00:00:01"), std::string::npos) << lines[1];
    EXPECT_EQ(lines[2].rfind("Average from P 999999868929 to P 1999999868929 over 1.0 s: ", 0), 0u) << lines[2];
    // 10^12 / (65536 ln 1.5e12) primes
    EXPECT_EQ(lines[3], "Summary: P 999999868929 to 1999999868929, about 544248 primes, 1000 bases removed, "
                        "00:00:01, average 86.40 P/day");
    EXPECT_EQ(Output().find('\r'), std::string::npos);
}

// --stats rows and the stop verdict over a run that removes a base every
// ten seconds: a test of 5 s is faster, one of 60 s is not.
TEST_F(CliDisplay, StatsRowsAndStopVerdict) {
    ScratchFolder dir;
    for (double test : {5.0, 60.0}) {
        DisplayConfig c;
        c.exponent = 1024;
        c.statsFile = dir.File("stats" + std::to_string(static_cast<int>(test)) + ".csv");
        c.testSeconds = test;
        Display d(c, err_);
        for (int i = 0; i <= 30; ++i) d.Progress(1000 - i, 1000000000000LL + i * 10000000LL, 10.0 * i);
        d.Finish();
        const std::vector<std::string> rows = Lines(ReadAll(c.statsFile));
        ASSERT_EQ(rows.size(), 32u);
        EXPECT_EQ(rows[0], "unix_time,p,bases_left,removed,primes_per_s,p_per_day");
        EXPECT_NE(rows[1].find(",1000000000000,1000,0,0,0"), std::string::npos) << rows[1];
        EXPECT_NE(rows[2].find(",1000010000000,999,1,"), std::string::npos) << rows[2];
        const std::string verdict = test < 10 ? "Stop advice: test now" : "Stop advice: sieve: a base per 00:00:10";
        EXPECT_NE(Output().find(verdict), std::string::npos) << Output();
    }
}

// Too little history for a verdict: the advice names what is still missing.
TEST_F(CliDisplay, StopVerdictNamesWhatItStillNeeds) {
    struct Case {
        int removedPerRecord;
        double secondsPerRecord;
        const char* advice;
    } cases[] = {
        {100, 1.0, "Stop advice: advice after a minute of sieving (10 s so far)\n"},
        {1, 10.0, "Stop advice: advice after 20 removals (10 so far)\n"},
        {0, 1.0, "Stop advice: advice after a minute of sieving (10 s so far) and 20 removals (0 so far)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.advice);
        DisplayConfig config;
        config.exponent = 1024;
        config.testSeconds = 5;
        Display d(config, err_);
        for (int i = 0; i <= 10; ++i)
            d.Progress(5000 - i * c.removedPerRecord, 1000000000000LL + i * 10000000LL, c.secondsPerRecord * i);
        d.Finish();
        EXPECT_NE(Output().find(c.advice), std::string::npos) << Output();
    }
}

TEST_F(CliDisplay, RangeRecordUpdatesWhatIsShown) {
    DisplayConfig c;
    Display d(c, err_);
    d.Range(4, 5000, 1024);
    d.Progress(100, 7000, 1.0);
    EXPECT_EQ(d.StatusText(), "N=1024 b 4-5000 | b's left 100 | P 7000 | measuring");
}

TEST_F(CliDisplay, QuietShowsOnlyLogLines) {
    DisplayConfig c;
    c.quiet = true;
    c.terminal = true;
    Display d(c, err_);
    d.Progress(10, 5000, 1.0);
    d.LogLine("Stop request received.");
    d.Progress(9, 7000, 2.0);
    d.Finish();
    std::vector<std::string> lines = Lines(Output());
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0].rfind("Stop request received.", 0), 0u);
    EXPECT_EQ(lines[1].rfind("Average from P 5000 to P 7000", 0), 0u);
    EXPECT_EQ(lines[2].rfind("Summary: P 5000 to 7000", 0), 0u);
}

TEST_F(CliDisplay, TerminalStatusLineIsRewrittenInPlace) {
    DisplayConfig c;
    c.terminal = true;
    c.exponent = 32;
    Display d(c, err_);
    d.Progress(10, 5000, 1.0);
    d.Progress(9, 7000, 2.0);
    d.LogLine("Terminal P value reached.");
    d.Finish();
    const std::string out = Output();
    const std::string status = d.StatusText();
    // Each record redraws the line; a log line clears it, prints, and redraws.
    EXPECT_EQ(out.rfind("\r", 0), 0u);
    EXPECT_NE(out.find("\r" + status + "\x1b[K\r\x1b[KTerminal P value reached."), std::string::npos) << out;
    EXPECT_NE(out.find("\n\r" + status + "\x1b[K\n"), std::string::npos) << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 4);  // log line, end of status, average, summary
}

TEST_F(CliDisplay, TimeLimitLeftAndWhatStoppedTheJob) {
    DisplayConfig c;
    c.timeLimitSeconds = 3600;
    c.startTime = 100;
    Display d(c, err_);
    d.Progress(10, 5000, 160.0);
    EXPECT_EQ(d.StatusText(), "b's left 10 | P 5000 | measuring | time limit in 00:59:00");
    d.Progress(9, 7000, 3800.0);  // a record past the limit shows none left
    EXPECT_EQ(d.StatusText().substr(d.StatusText().rfind(" | ")), " | time limit in 00:00:00");
    d.SetStopReason("the time limit of 01:00:00");
    d.Finish();
    const std::vector<std::string> lines = Lines(Output());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Stopped by the time limit of 01:00:00.");
}

// Each signal is only noted: a second one within a second of the first
// (timeout signals the program, then its process group) is the same stop;
// one that comes later asks to end at once. A new job starts afresh,
// and the previous handlers come back.
TEST(CliStopSignals, ASecondSignalWithinASecondIsTheSameStop) {
    struct sigaction before {};
    sigaction(SIGTERM, nullptr, &before);
    {
        StopSignals signals;
        EXPECT_EQ(signals.Stop(), 0);
        std::raise(SIGINT);
        std::raise(SIGINT);
        std::raise(SIGTERM);
        EXPECT_EQ(signals.Stop(), SIGINT);
        EXPECT_EQ(signals.EndAtOnce(), 0);
        std::this_thread::sleep_for(std::chrono::milliseconds(static_cast<int>(kSameStopSeconds * 1000) + 50));
        std::raise(SIGUSR1);
        EXPECT_EQ(signals.Stop(), SIGINT);
        EXPECT_EQ(signals.EndAtOnce(), SIGUSR1);
    }
    {
        StopSignals signals;
        EXPECT_EQ(signals.Stop(), 0);
        EXPECT_EQ(signals.EndAtOnce(), 0);
    }
    struct sigaction after {};
    sigaction(SIGTERM, nullptr, &after);
    EXPECT_EQ(after.sa_handler, before.sa_handler);
    EXPECT_EQ(StopSignalName(SIGUSR1), "SIGUSR1");
}

// A library may put its own handler on a stop signal once the job has
// begun (PoCL's LLVM does on SIGQUIT and SIGUSR1): the job takes the
// signal all the same, and the library's handler never runs.
std::atomic<int> g_libraryHandlerSaw{0};
TEST(CliStopSignals, EveryStopSignalReachesTheJobWhateverHandlerALibrarySets) {
    for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGHUP, SIGQUIT}) {
        SCOPED_TRACE(StopSignalName(signal));
        g_libraryHandlerSaw = 0;
        StopSignals signals;
        struct sigaction library {};
        library.sa_handler = [](int s) { g_libraryHandlerSaw = s; };
        sigemptyset(&library.sa_mask);
        sigaction(signal, &library, nullptr);
        std::raise(signal);
        EXPECT_EQ(signals.Stop(), signal);
        EXPECT_EQ(g_libraryHandlerSaw, 0);
    }
    EXPECT_EQ(StopSignalName(SIGHUP), "SIGHUP");
    EXPECT_EQ(StopSignalName(SIGQUIT), "SIGQUIT");
}

TEST(CliQueue, RecordsArriveInOrderAcrossThreads) {
    TextQueue q;
    const UInt128 big = ParseUInt128("79228162514264337593543950319").value;
    std::thread producer([&q, big] {
        for (int i = 0; i < 1000; ++i) PostText(&q, "%d", i);
        PostProgress(&q, 17, big);
        PostRange(&q, 2, 100, 32);
        PostEnd(&q, JobOutcome::kNothingToDo);
    });
    std::vector<std::string> got;
    std::vector<WorkerRecord> records;
    for (;;) {
        auto r = q.PopUntil(std::chrono::steady_clock::now() + std::chrono::seconds(10));
        ASSERT_TRUE(r);
        if (r->kind == WorkerRecord::kLogLine)
            got.push_back(r->text);
        else
            records.push_back(*r);
        if (r->kind == WorkerRecord::kEnd) break;
    }
    producer.join();
    ASSERT_EQ(got.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], std::to_string(i));
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].basesLeft, 17);
    EXPECT_TRUE(records[0].p == big);  // all 96 bits
    EXPECT_EQ(records[1].bMax, 100);
    EXPECT_EQ(records[1].exponent, 32);
    EXPECT_EQ(records[2].outcome, JobOutcome::kNothingToDo);
    EXPECT_FALSE(q.PopUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
}

// The status line and the summary show p exactly, beyond 2^64 too.
TEST(CliDisplayWide, PBeyond2To64IsShownExactly) {
    std::FILE* err = std::tmpfile();
    ASSERT_TRUE(err);
    DisplayConfig c;
    c.exponent = 1024;
    Display d(c, err);
    const UInt128 p = ParseUInt128("79228162514264337593543950319").value;
    d.Progress(9, p - 2048 * 1000, 1.0);
    d.Progress(8, p, 2.0);
    EXPECT_EQ(d.StatusText().rfind("b's left 8 | P 79228162514264337,593543950319 | ", 0), 0u) << d.StatusText();
    d.Finish();
    std::rewind(err);
    char buffer[4096] = {};
    const size_t n = std::fread(buffer, 1, sizeof buffer - 1, err);
    const std::string out(buffer, n);
    EXPECT_NE(out.find("Summary: P 79228162514264337593541902319 to 79228162514264337593543950319, "),
              std::string::npos)
        << out;
    std::fclose(err);
}

}  // namespace
}  // namespace varnesk::cli
