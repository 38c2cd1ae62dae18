// Runs the real varnesk-cli on small jobs.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "cli_test_support.h"

extern char** environ;

namespace varnesk::cli {
namespace {

using testing::Lines;
using testing::ReadAll;
using testing::ScratchFolder;
using testing::WriteAll;

class CliEndToEnd : public ::testing::Test {
protected:
    // Starts the program with stdout and stderr in files of the scratch
    // folder (stderr into errPipe instead when one is given), its signals
    // at their defaults and unblocked as from an interactive shell, SIGHUP
    // ignored when asked (as nohup leaves it).
    pid_t Spawn(const std::vector<std::string>& args, bool hangUpIgnored = false, int errPipe = -1) {
        std::vector<std::string> all = {VARNESK_CLI_PATH};
        all.insert(all.end(), args.begin(), args.end());
        std::vector<char*> argv;
        for (std::string& a : all) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, 1, OutPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (errPipe >= 0)
            posix_spawn_file_actions_adddup2(&actions, errPipe, 2);
        else
            posix_spawn_file_actions_addopen(&actions, 2, ErrPath().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        posix_spawnattr_t attr;
        posix_spawnattr_init(&attr);
        sigset_t defaults, none;
        sigemptyset(&defaults);
        sigemptyset(&none);
        for (int signal : {SIGINT, SIGTERM, SIGUSR1, SIGQUIT, SIGPIPE}) sigaddset(&defaults, signal);
        struct sigaction ignore {}, before {};
        ignore.sa_handler = SIG_IGN;
        if (hangUpIgnored)
            sigaction(SIGHUP, &ignore, &before);
        else
            sigaddset(&defaults, SIGHUP);
        posix_spawnattr_setsigdefault(&attr, &defaults);
        posix_spawnattr_setsigmask(&attr, &none);
        posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF | POSIX_SPAWN_SETSIGMASK);
        pid_t pid = -1;
        int rc = posix_spawn(&pid, argv[0], &actions, &attr, argv.data(), environ);
        if (hangUpIgnored) sigaction(SIGHUP, &before, nullptr);
        posix_spawnattr_destroy(&attr);
        posix_spawn_file_actions_destroy(&actions);
        EXPECT_EQ(rc, 0);
        return pid;
    }
    static int Wait(pid_t pid) {
        int status = 0;
        if (waitpid(pid, &status, 0) != pid) return -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    int Run(const std::vector<std::string>& args) { return Wait(Spawn(args)); }
    // Wait, for a program that may not end (a signal it lost): killed
    // after the timeout, and then -1.
    static int WaitAtMost(pid_t pid, std::chrono::seconds timeout) {
        const auto end = std::chrono::steady_clock::now() + timeout;
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() >= end) {
                kill(pid, SIGKILL);
                Wait(pid);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    // Waits until the program's stderr holds text; false after the timeout.
    bool WaitForErr(const std::string& text, std::chrono::seconds timeout) {
        auto end = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < end) {
            if (ReadAll(ErrPath()).find(text) != std::string::npos) return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }

    std::string OutPath() const { return dir_.File("stdout.txt"); }
    std::string ErrPath() const { return dir_.File("stderr.txt"); }
    std::string Err() const { return ReadAll(ErrPath()); }
    std::string File(const std::string& name) const { return dir_.File(name); }

    ScratchFolder dir_;
};

std::vector<std::string> FactorLines(const std::string& text) {
    std::vector<std::string> out;
    for (const std::string& l : Lines(text))
        if (l.find(" | ") != std::string::npos) out.push_back(l);
    return out;
}

TEST_F(CliEndToEnd, SmallWideSieveThenResumeInPlace) {
    const std::string f = File("factors.txt"), o = File("cands.txt"), log = File("run.log");
    ASSERT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--end-p", "5000", "--tick-seconds", "0.1",
                   "--factors", f, "--output", o, "--log", log}),
              0)
        << Err();
    const std::vector<std::string> expected = {"193 | 68^32+1", "193 | 76^32+1", "193 | 74^32+1", "193 | 60^32+1",
                                               "193 | 94^32+1", "193 | 20^32+1", "193 | 88^32+1"};
    std::vector<std::string> factors = FactorLines(ReadAll(f));
    ASSERT_GE(factors.size(), expected.size());
    EXPECT_EQ(std::vector<std::string>(factors.begin(), factors.begin() + 7), expected);

    std::vector<std::string> cands = Lines(ReadAll(o));
    ASSERT_FALSE(cands.empty());
    const std::string header = "ABC $a^$b+1 // ";
    ASSERT_EQ(cands[0].rfind(header, 0), 0u) << cands[0];
    const long long lastP = std::stoll(cands[0].substr(header.size()));
    EXPECT_GT(lastP, 5001);
    EXPECT_EQ(cands.size() - 1 + factors.size(), 50u);  // every even base is left or struck once
    for (size_t i = 1; i < cands.size(); ++i) EXPECT_EQ(cands[i].substr(cands[i].find(' ')), " 32") << cands[i];

    const std::string err = Err();
    EXPECT_NE(err.find("Terminal P value reached."), std::string::npos) << err;
    EXPECT_NE(err.find("Stop request received."), std::string::npos) << err;
    // The log file holds the log lines exactly as shown, banner first.
    std::vector<std::string> logLines = Lines(ReadAll(log));
    ASSERT_FALSE(logLines.empty());
    EXPECT_EQ(logLines[0].rfind("Varnesk Build 306 ", 0), 0u);
    for (const std::string& l : logLines) EXPECT_NE(err.find(l + "\n"), std::string::npos) << l;

    // Resume into the input file itself, back over part of the range.
    ASSERT_EQ(Run({"resume", "--input", o, "--output", o, "--factors", f, "--start-p", "5000", "--end-p", "20000",
                   "-q"}),
              0)
        << Err();
    EXPECT_NE(Err().find("Start/Stop P, start P 4999, stop P 20001"), std::string::npos) << Err();
    std::vector<std::string> resumed = Lines(ReadAll(o));
    ASSERT_FALSE(resumed.empty());
    EXPECT_GT(std::stoll(resumed[0].substr(header.size())), 20001);
    const std::string factorText = ReadAll(f);
    EXPECT_NE(factorText.find("Continuing Sieve"), std::string::npos);
    std::vector<std::string> all = FactorLines(factorText);
    EXPECT_EQ(std::set<std::string>(all.begin(), all.end()).size(), all.size());  // nothing struck twice
    EXPECT_EQ(resumed.size() - 1 + all.size(), 50u);
}

// A sieve that strikes every base leaves a header alone: verify holds it, a
// resume ends at once with exit 0 and leaves the file as it is.
TEST_F(CliEndToEnd, AFileWithEveryBaseStruckIsResumedAsNothingLeft) {
    const std::string f = File("factors.txt"), o = File("cands.txt");
    WriteAll(o, "ABC $a^$b+1 // 1009\n");
    WriteAll(f, "5 | 8^2+1\n");
    const std::string before = ReadAll(o), factors = ReadAll(f);
    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", o}), 0) << Err();
    EXPECT_EQ(Run({"resume", "--input", o, "--output", o, "--factors", f, "--end-p", "100000"}), 0) << Err();
    EXPECT_NE(Err().find("Input file " + o + " holds no candidates: every base has a factor, so nothing is left to "
                         "sieve."),
              std::string::npos)
        << Err();
    EXPECT_EQ(ReadAll(o), before);
    EXPECT_EQ(ReadAll(f), factors);
}

// Every stop signal stops with a save, whatever the job loaded: OpenCL
// (auto asks it even without a GPU) and a device it runs (PoCL's LLVM puts
// handlers of its own on SIGQUIT and SIGUSR1) change nothing. Under nohup
// SIGHUP stays ignored, and the stop then comes from SIGTERM.
TEST_F(CliEndToEnd, EveryStopSignalStopsWithASave) {
    ASSERT_EQ(Run({"devices"}), 0);
    const bool openclOnTheCpu = ReadAll(OutPath()).rfind("gpu:0:0 ", 0) == 0;
    struct Case {
        int signal;
        const char* device;
        bool nohup;
        const char* stoppedBy;
    } cases[] = {
        {SIGINT, "cpu", false, "SIGINT"},    {SIGTERM, "cpu", false, "SIGTERM"}, {SIGUSR1, "cpu", false, "SIGUSR1"},
        {SIGHUP, "cpu", false, "SIGHUP"},    {SIGQUIT, "cpu", false, "SIGQUIT"}, {SIGINT, "auto", false, "SIGINT"},
        {SIGTERM, "auto", false, "SIGTERM"}, {SIGUSR1, "auto", false, "SIGUSR1"}, {SIGHUP, "auto", false, "SIGHUP"},
        {SIGQUIT, "auto", false, "SIGQUIT"}, {SIGHUP, "auto", true, "SIGTERM"},
        {SIGQUIT, "gpu:0:0", false, "SIGQUIT"}, {SIGUSR1, "gpu:0:0", false, "SIGUSR1"},
        {SIGHUP, "gpu:0:0", false, "SIGHUP"},
    };
    for (const Case& c : cases) {
        const std::string stopped = std::string("Stopped by ") + c.stoppedBy + ".";
        SCOPED_TRACE(std::string(c.device) + (c.nohup ? " under nohup: " : ": ") + stopped);
        if (!openclOnTheCpu && std::string(c.device) == "gpu:0:0") continue;
        const std::string f = File("factors.txt"), o = File("cands.txt");
        std::filesystem::remove(f);
        std::filesystem::remove(o);
        pid_t pid = Spawn({"sieve", "-N", "1024", "--bmin", "2", "--bmax", "200000", "--tick-seconds", "0.1",
                           "--threads", "1", "--device", c.device, "--factors", f, "--output", o},
                          c.nohup);
        ASSERT_GT(pid, 0);
        const bool progressed = WaitForErr("b's left", std::chrono::seconds(120));
        kill(pid, c.signal);
        if (c.nohup) kill(pid, SIGTERM);
        EXPECT_EQ(WaitAtMost(pid, std::chrono::seconds(120)), 0) << Err();
        EXPECT_TRUE(progressed) << Err();
        const std::string err = Err();
        if (std::string(c.device) == "gpu:0:0") {
            EXPECT_NE(err.find("sieves beside this process's threads."), std::string::npos) << err;
        }
        EXPECT_NE(err.find("\n" + stopped + "\n"), std::string::npos) << err;
        EXPECT_NE(err.find("p value written to " + o), std::string::npos) << err;
        EXPECT_EQ(ReadAll(o).rfind("ABC $a^$b+1 // ", 0), 0u);
    }
}

// A closed terminal or a dropped ssh session: SIGHUP, and standard error
// leads nowhere. The stop's lines must not end the job before its save.
TEST_F(CliEndToEnd, AHangUpWithStandardErrorGoneStillSaves) {
    const std::string f = File("factors.txt"), o = File("cands.txt"), log = File("run.log");
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    pid_t pid = Spawn({"sieve", "-N", "1024", "--bmin", "2", "--bmax", "200000", "--tick-seconds", "0.1", "--threads",
                       "1", "--factors", f, "--output", o, "--log", log},
                      false, fds[1]);
    ASSERT_GT(pid, 0);
    close(fds[1]);
    std::string seen;
    char buffer[4096];
    for (ssize_t n; seen.find("b's left") == std::string::npos && (n = read(fds[0], buffer, sizeof buffer)) > 0;)
        seen.append(buffer, static_cast<size_t>(n));
    close(fds[0]);
    kill(pid, SIGHUP);
    EXPECT_EQ(WaitAtMost(pid, std::chrono::seconds(120)), 0) << seen;
    const std::string logged = ReadAll(log);
    EXPECT_NE(logged.find("Stop request received."), std::string::npos) << logged;
    EXPECT_NE(logged.find("p value written to " + o), std::string::npos) << logged;
    EXPECT_EQ(ReadAll(o).rfind("ABC $a^$b+1 // ", 0), 0u);
}

// While one job runs, a second one on its output (by another name) is
// refused at once and touches nothing; once the first has ended, the lock
// file is gone.
TEST_F(CliEndToEnd, ASecondJobOnARunningJobsOutputIsRefused) {
    const std::string f = File("factors.txt"), o = File("cands.txt");
    pid_t first = Spawn({"sieve", "-N", "65536", "--bmin", "2", "--bmax", "1000000", "--tick-seconds", "0.1",
                         "--factors", f, "--output", o});
    ASSERT_GT(first, 0);
    ASSERT_TRUE(WaitForErr("Wide math algorithm selected.", std::chrono::seconds(60))) << Err();
    const std::string firstErr = Err();
    // The second job writes its own stderr over the first one's file: read
    // the first one's again only after it ended.
    const std::string f2 = File("factors2.txt");
    EXPECT_EQ(Run({"sieve", "-N", "1024", "--bmin", "2", "--bmax", "100", "--force", "--output",
                   File(".") + "/cands.txt", "--factors", f2}),
              2);
    EXPECT_NE(Err().find("Output File " + File(".") + "/cands.txt is in use by another job"), std::string::npos)
        << Err();
    EXPECT_FALSE(std::filesystem::exists(f2));
    kill(first, SIGINT);
    EXPECT_EQ(Wait(first), 0) << firstErr;
    EXPECT_FALSE(std::filesystem::exists(o + ".varnesk-lock"));
    EXPECT_FALSE(std::filesystem::exists(f + ".varnesk-lock"));
}

TEST_F(CliEndToEnd, FailedJobExitsOne) {
    // A packed K file that is no such file passes the checks (it exists)
    // and fails in the worker.
    const std::string pk = File("pk");
    std::filesystem::create_directory(pk);
    WriteAll(pk + "/ln13pi00000.pkk", "junk");
    EXPECT_EQ(Run({"sieve", "-N", "8192", "--bmin", "2", "--bmax", "100", "--standard", "--packed-k", pk,
                   "--output", File("out.txt"), "--factors", File("f.txt")}),
              1);
    EXPECT_NE(Err().find("shorter than its header"), std::string::npos) << Err();
}

TEST_F(CliEndToEnd, RefusedJobExitsTwo) {
    const std::string o = File("out.txt");
    WriteAll(o, "keep\n");
    EXPECT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--factors", File("f.txt"), "--output", o}), 2);
    EXPECT_EQ(Err(), "Output File " + o + " already exists; use --force to overwrite it.\n");
    EXPECT_EQ(ReadAll(o), "keep\n");
    EXPECT_FALSE(std::filesystem::exists(File("f.txt")));
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(ReadAll(OutPath()), "varnesk-cli 1.0 (Varnesk Build 306)\n");
}

// A stop file that is already there, or that is one of the job's own files,
// would stop the job at its first prime: refused, nothing touched.
TEST_F(CliEndToEnd, AStopFileThatWouldStopTheJobAtOnceIsRefused) {
    const std::string f = File("f.txt"), o = File("out.txt"), stop = File("STOP");
    WriteAll(stop, "");
    EXPECT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--factors", f, "--output", o, "--stop-file",
                   stop}),
              2);
    EXPECT_EQ(Err(), "Stop file " + stop + " is already there; remove it to run the job.\n");
    EXPECT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--factors", f, "--output", o, "--stop-file",
                   File(".") + "/out.txt"}),
              2);
    EXPECT_NE(Err().find("is a file of the job itself (" + o + ")"), std::string::npos) << Err();
    EXPECT_FALSE(std::filesystem::exists(o));
    EXPECT_FALSE(std::filesystem::exists(f));
    EXPECT_TRUE(std::filesystem::exists(stop));  // never removed
}

TEST_F(CliEndToEnd, PackedKBuildStopsOnInterrupt) {
    const std::string pk = File("pk");
    std::filesystem::create_directory(pk);
    pid_t pid = Spawn({"build-packed-k", "--dir", pk, "-N", "8192", "--tick-seconds", "0.1"});
    ASSERT_GT(pid, 0);
    bool progressed = WaitForErr("b's left", std::chrono::seconds(60));
    kill(pid, SIGTERM);
    EXPECT_EQ(Wait(pid), 0) << Err();
    EXPECT_TRUE(progressed) << Err();
    EXPECT_NE(Err().find("Packed K file generation stopped."), std::string::npos) << Err();
    EXPECT_FALSE(std::filesystem::is_empty(pk));
}

}  // namespace
}  // namespace varnesk::cli
