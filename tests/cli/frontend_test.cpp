#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

TEST(CliRecords, ProgressRecordsReadBackWhatTheWorkerWrites) {
    for (int64_t p : {int64_t{0}, int64_t{193}, int64_t{999999999989}, int64_t{1000000000039},
                      int64_t{1234567890123456789}}) {
        int32_t count = -1;
        UInt128 got = 1;
        ASSERT_TRUE(ParseProgressRecord(FormatProgressRecord(17, p), &count, &got)) << p;
        EXPECT_EQ(count, 17);
        EXPECT_TRUE(got == static_cast<UInt128>(p)) << p;
    }
    // Beyond 2^64 the part before the comma simply grows.
    for (const char* digits : {"18446744073709551617", "79228162514264337593543950319"}) {
        const UInt128 p = ParseUInt128(digits).value;
        int32_t count = -1;
        UInt128 got = 1;
        const std::string record = FormatProgressRecordWide(3, p);
        const std::string tail(digits + std::strlen(digits) - 12);
        EXPECT_EQ(record.substr(record.size() - 13, 1), ",");
        EXPECT_EQ(record.substr(record.size() - 12), tail);
        ASSERT_TRUE(ParseProgressRecord(record, &count, &got)) << digits;
        EXPECT_EQ(FormatUInt128(got), digits);
    }
    int32_t count = 0;
    UInt128 p = 0;
    EXPECT_FALSE(ParseProgressRecord("$ 17", &count, &p));
    EXPECT_FALSE(ParseProgressRecord("$  17 5", &count, &p));  // blank at position 0
    EXPECT_FALSE(ParseProgressRecord("$ 17 ", &count, &p));
    EXPECT_FALSE(ParseProgressRecord("$", &count, &p));
    EXPECT_FALSE(ParseProgressRecord("& 1 2 3", &count, &p));
}

TEST(CliRecords, RangeRecord) {
    int32_t lo = 0, hi = 0, n = 0;
    ASSERT_TRUE(ParseRangeRecord("& 2 1000000 65536", &lo, &hi, &n));
    EXPECT_EQ(lo, 2);
    EXPECT_EQ(hi, 1000000);
    EXPECT_EQ(n, 65536);
    EXPECT_FALSE(ParseRangeRecord("& 2 1000000", &lo, &hi, &n));
    EXPECT_FALSE(ParseRangeRecord("&", &lo, &hi, &n));
}

JobOutcome Outcome(bool build, const std::vector<std::string>& lines) {
    JobOutcome o(build);
    for (const std::string& l : lines) o.See(l);
    return o;
}

TEST(CliOutcome, ExitStatusFromTheLogLines) {
    // Normal ends of a sieve: user stop, end P, all candidates factored.
    EXPECT_EQ(Outcome(false, {"Wide math algorithm selected.", "Stop request received.",
                              "20 items 5441 p value written to o.txt."})
                  .ExitCode(),
              0);
    EXPECT_EQ(Outcome(false, {"Start/Stop P, stop P 5001", "Terminal P value reached.", "Stop request received.",
                              "20 items 5441 p value written to o.txt."})
                  .ExitCode(),
              0);
    EXPECT_EQ(Outcome(false, {"All candidates factored", "Stop request received."}).ExitCode(), 0);
    // Failures inside the loop still end through the stop path.
    EXPECT_EQ(Outcome(false, {"Invalid m_a0 found", "Stop request received."}).ExitCode(), 1);
    EXPECT_EQ(Outcome(false, {"WideSieve failed.", "Stop request received."}).ExitCode(), 1);
    EXPECT_EQ(Outcome(false, {"Factor 193 does not divide 1*68^32 + 1.", "Stop request received."}).ExitCode(), 1);
    EXPECT_EQ(Outcome(false, {"Stop request received.", "Unable to open output file o.txt."}).ExitCode(), 1);
    EXPECT_EQ(Outcome(false, {"Stop request received.", "Consistency error, found 3 candidates, expected 4 candidates."})
                  .ExitCode(),
              1);
    // Failures before the loop never reach it.
    EXPECT_EQ(Outcome(false, {"Exponent 0 is not a proper power of 2 for GFN testing.",
                              "Thread terminated due to input file parsing failure."})
                  .ExitCode(),
              1);
    EXPECT_EQ(Outcome(false, {}).ExitCode(), 1);

    EXPECT_EQ(Outcome(true, {"Starting packed file generation in directory d.", "Sequence file d/x found.  Extending sequence.",
                             "Packed K file generation stopped."})
                  .ExitCode(),
              0);
    EXPECT_EQ(Outcome(true, {"Sequence file d/x could not be opened.", "some error"}).ExitCode(), 1);
    // A sequence file that fails ends the build through the stopped line too
    // (a full disk): still a failure.
    for (const char* failed : {"Sequence file d/x could not be initialized.", "Sequence file d/x could not be opened.",
                               "Sequence file d/x write error."}) {
        EXPECT_EQ(Outcome(true, {failed, "Error reserving the disk space of PackedPrimeDB file d/x",
                                 "Packed K file generation stopped."})
                      .ExitCode(),
                  1)
            << failed;
    }
    EXPECT_EQ(Outcome(true, {"Sequence file d/x is full.  Switching to next file.",
                             "Continuing in new sequence file d/y.", "P value reached 64 bits, stopping program.",
                             "Packed K file generation stopped."})
                  .ExitCode(),
              0);
    EXPECT_EQ(Outcome(true, {"Stop request received."}).ExitCode(), 1);
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
    EXPECT_TRUE(d.Handle("Wide math algorithm selected.", 1.0));
    EXPECT_TRUE(d.Handle("", 1.0));  // an empty log line is only its stamp
    EXPECT_TRUE(d.Handle("& 2 100 32", 1.0));
    EXPECT_FALSE(d.Handle("@", 1.0));
    const std::string stamp = LogTimeStamp();
    std::vector<std::string> log = Lines(ReadAll(c.logFile));
    ASSERT_EQ(log.size(), 2u);
    // The minute may turn between two calls; compare without the stamp.
    EXPECT_EQ(log[0].substr(0, log[0].size() - stamp.size()), "Wide math algorithm selected.");
    EXPECT_EQ(log[0].size(), std::string("Wide math algorithm selected.").size() + stamp.size());
    EXPECT_EQ(log[1].size(), stamp.size());
    EXPECT_EQ(Output(), ReadAll(c.logFile));  // nothing else was shown: no record is logged

    Display again(c, err_);
    again.Handle("Stop request received.", 2.0);
    EXPECT_EQ(Lines(ReadAll(c.logFile)).size(), 3u);
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
    d.Handle("$ 250000 999999868929", 10.0);
    d.Handle("$ 249000 1,999999868929", 11.0);
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
        for (int i = 0; i <= 30; ++i) d.Handle(StringPrintf("$ %d %lld", 1000 - i, 1000000000000LL + i * 10000000LL), 10.0 * i);
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
            d.Handle(StringPrintf("$ %d %lld", 5000 - i * c.removedPerRecord, 1000000000000LL + i * 10000000LL),
                     c.secondsPerRecord * i);
        d.Finish();
        EXPECT_NE(Output().find(c.advice), std::string::npos) << Output();
    }
}

TEST_F(CliDisplay, RangeRecordUpdatesWhatIsShown) {
    DisplayConfig c;
    Display d(c, err_);
    d.Handle("& 4 5000 1024", 0.5);
    d.Handle("$ 100 7000", 1.0);
    EXPECT_EQ(d.StatusText(), "N=1024 b 4-5000 | b's left 100 | P 7000 | measuring");
}

TEST_F(CliDisplay, QuietShowsOnlyLogLines) {
    DisplayConfig c;
    c.quiet = true;
    c.terminal = true;
    Display d(c, err_);
    d.Handle("$ 10 5000", 1.0);
    d.Handle("Stop request received.", 1.5);
    d.Handle("$ 9 7000", 2.0);
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
    d.Handle("$ 10 5000", 1.0);
    d.Handle("$ 9 7000", 2.0);
    d.Handle("Terminal P value reached.", 2.0);
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
    d.Handle("$ 10 5000", 160.0);
    EXPECT_EQ(d.StatusText(), "b's left 10 | P 5000 | measuring | time limit in 00:59:00");
    d.Handle("$ 9 7000", 3800.0);  // a record past the limit shows none left
    EXPECT_EQ(d.StatusText().substr(d.StatusText().rfind(" | ")), " | time limit in 00:00:00");
    d.SetStopReason("the time limit of 01:00:00");
    d.Finish();
    const std::vector<std::string> lines = Lines(Output());
    ASSERT_FALSE(lines.empty());
    EXPECT_EQ(lines.back(), "Stopped by the time limit of 01:00:00.");
}

// The handler only notes each signal: a second one within a second of the
// first (timeout signals the program, then its process group) is the same
// stop; one that comes later asks to end at once. A new job starts afresh,
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

TEST(CliQueue, TextsArriveInOrderAcrossThreads) {
    TextQueue q;
    std::thread producer([&q] {
        for (int i = 0; i < 1000; ++i) PostText(&q, "%d", i);
        PostString(&q, "@");
    });
    std::vector<std::string> got;
    for (;;) {
        auto t = q.PopUntil(std::chrono::steady_clock::now() + std::chrono::seconds(10));
        ASSERT_TRUE(t);
        if (*t == "@") break;
        got.push_back(*t);
    }
    producer.join();
    ASSERT_EQ(got.size(), 1000u);
    for (int i = 0; i < 1000; ++i) EXPECT_EQ(got[static_cast<size_t>(i)], std::to_string(i));
    EXPECT_FALSE(q.PopUntil(std::chrono::steady_clock::now() + std::chrono::milliseconds(20)));
}

}  // namespace
}  // namespace varnesk::cli
