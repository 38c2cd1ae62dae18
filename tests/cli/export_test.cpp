// varnesk-cli export: the command's answers, exit statuses and files, and
// the genefer script run by sh as a batch against a stand-in genefer:
// verdicts once each, a stop on INT and TERM, the resume, the check.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli/frontend.h"
#include "cli_test_support.h"
#include "platform/fs.h"
#include "platform/joblock.h"

namespace varnesk::cli {
namespace {

using ::testing::HasSubstr;
using testing::ReadAll;
using testing::ScratchFolder;
using testing::CliRun;
using testing::RunProgram;
using testing::Slurp;
using testing::WriteAll;

constexpr const char* kCandidates =
    "ABC $a^$b+1 // 100000007\n4 4096\n16 4096\n256 4096\n1000 4096\n1026 4096\n1534 4096\n";

class CliExport : public testing::ProgramTest {
protected:
    void SetUp() override { WriteAll(input_, kCandidates); }
    const std::string input_ = dir_.File("c.txt");
    const std::string output_ = dir_.File("out.txt");
    const std::string fifo_ = dir_.File("fifo");
    const std::string running_ = dir_.File("run.f");        // a running job's factor file
    const std::string runningLink_ = dir_.File("hard.f");   // another name of it
};

TEST_F(CliExport, EachFormatToStandardOutput) {
    const std::string dropped = ", 1 odd power dropped (composite: c^N+1 divides b^N+1; listed in " + input_ +
                                ".algebraic), 3 squares kept; written to standard output.\n";
    const struct {
        std::vector<std::string> options;
        const char* out;  // how standard output begins: the export's text is the export's own test
        std::string err;  // a part of standard error
    } cases[] = {
        {{"--format", "genefer"}, "#!/bin/sh\n",
         ": 6 candidates, 2 genefer tests, 3 refused by genefer (in " + input_ + ".refused.abc)" + dropped},
        {{"--format", "list"}, "4\n16\n", ": 5 of 6 candidates written as list" + dropped},
        {{"--format", "abc"}, "ABC $a^$b+1 // 100000007\n4 4096\n", ": 5 of 6 candidates written as abc" + dropped},
        {{"--format", "list", "--keep-algebraic", "--drop-squares"}, "1000\n",
         ": 3 of 6 candidates written as list, 1 odd power kept (listed in " + input_ +
             ".algebraic), 3 squares dropped; written to standard output.\n"},
    };
    for (const auto& c : cases) {
        // The companions of the run before are there: --force replaces them.
        std::vector<std::string> args = {"export", "--input", input_, "--force"};
        args.insert(args.end(), c.options.begin(), c.options.end());
        EXPECT_EQ(Run(args), 0) << c.options[1] << err_;
        EXPECT_THAT(out_, ::testing::StartsWith(c.out)) << c.options[1];
        EXPECT_THAT(err_, HasSubstr(input_ + c.err)) << c.options[1];
        // The powers of two that stay are named, with what the sieve does with them.
        if (c.options.size() == 2) {
            EXPECT_THAT(err_, HasSubstr("Note: 16^4096+1 = 2^16384+1 is the Fermat number F14.\n")) << c.options[1];
            EXPECT_THAT(err_, HasSubstr("the sieve strikes such a base only when it finds a factor")) << c.options[1];
        }
        EXPECT_EQ(ReadAll(input_ + ".algebraic"), "10^4096+1 | 1000^4096+1\n");
    }
    // Each square dropped is named with the number it is.
    EXPECT_THAT(err_, HasSubstr("Dropped 4^4096+1 = 2^8192+1.\nDropped 16^4096+1 = 2^16384+1.\n"
                                "Dropped 256^4096+1 = 2^32768+1.\n"));
    EXPECT_EQ(ReadAll(input_ + ".refused.abc"), "ABC $a^$b+1 // 100000007\n4 4096\n16 4096\n256 4096\n");
    EXPECT_EQ(ReadAll(input_), kCandidates);  // the candidate file as it was

    // Into a file: the companions are named after it.
    EXPECT_EQ(Run({"export", "--input", input_, "--format", "genefer", "--output", output_}), 0) << err_;
    EXPECT_EQ(ReadAll(output_ + ".algebraic"), "10^4096+1 | 1000^4096+1\n");
    EXPECT_THAT(err_, HasSubstr("(in " + output_ + ".refused.abc)"));
}

TEST_F(CliExport, RefusedCommandsExitTwoAndTouchNoFile) {
    WriteAll(output_, "previous export\n");
    ASSERT_EQ(::mkfifo(fifo_.c_str(), 0600), 0);
    WriteAll(running_, "1000003 | 2^64+1\n");
    ASSERT_EQ(::link(running_.c_str(), runningLink_.c_str()), 0);
    const struct {
        std::vector<std::string> args;
        const char* err;
    } cases[] = {
        {{"export", "--format", "list"}, "varnesk-cli: export needs --input FILE\n"},
        {{"export", "--input", input_}, "varnesk-cli: export needs --format genefer|list|abc\n"},
        {{"export", "--input", input_, "--format", "pfgw"}, "option --format: 'pfgw' is not genefer, list or abc"},
        {{"export", "--input", input_, "--format", "list", "-N", "4096"}, "option -N does not apply to export"},
        {{"sieve", "--format", "list"}, "option --format does not apply to sieve"},
        {{"export", "--input", dir_.File("none.txt"), "--format", "list"}, "Input File "},
        {{"export", "--input", input_, "--format", "list", "--output", output_},
         "already exists; use --force to overwrite it."},
        {{"export", "--input", input_, "--format", "genefer", "--output", dir_.Path() + "/./c.txt", "--force"},
         "The export must not replace its input file"},
        // Never a device, a FIFO or a folder replaced, never a running
        // job's file (by any of its names).
        {{"export", "--input", input_, "--format", "list", "--output", fifo_, "--force"},
         "is not a regular file; only a regular file is written or replaced."},
        {{"export", "--input", input_, "--format", "list", "--output", dir_.Path(), "--force"},
         "is a folder; a file of that name is needed."},
        {{"export", "--input", input_, "--format", "abc", "--output", running_, "--force"},
         "is in use by another job"},
        {{"export", "--input", input_, "--format", "abc", "--output", runningLink_, "--force"},
         "is in use by another job"},
        {{"verify", "--factors", running_, "--keep-algebraic"}, "option --keep-algebraic does not apply to verify"},
        {{"sieve", "--drop-squares"}, "option --drop-squares does not apply to sieve"},
        // Nor a companion file that cannot be one.
        {{"export", "--input", input_, "--format", "genefer", "--output", dir_.File("g.sh")},
         "g.sh.algebraic is a folder; a file of that name is needed."},
    };
    std::filesystem::create_directory(dir_.File("g.sh.algebraic"));
    JobLock job;
    std::string message;
    ASSERT_TRUE(job.LockFile(running_, "Factor output file", message)) << message;
    for (const auto& c : cases) {
        EXPECT_EQ(Run(c.args), 2) << c.args.back();
        EXPECT_THAT(err_, HasSubstr(c.err)) << c.args.back();
        EXPECT_EQ(out_, "");
    }
    EXPECT_EQ(ReadAll(output_), "previous export\n");
    EXPECT_EQ(ReadAll(input_), kCandidates);
    EXPECT_EQ(ReadAll(running_), "1000003 | 2^64+1\n");
    EXPECT_EQ(std::filesystem::status(fifo_).type(), std::filesystem::file_type::fifo);

    EXPECT_EQ(Run({"export", "--input", input_, "--format", "list", "--output", output_, "--force"}), 0) << err_;
    EXPECT_EQ(ReadAll(output_), "4\n16\n256\n1026\n1534\n");
}

// The files that go with an export may hold the user's own text: like the
// output, each is replaced only with --force, beside an output file or,
// with the export on standard output, beside the input.
TEST_F(CliExport, CompanionsAreReplacedOnlyWithForce) {
    const struct {
        bool toFile;
        const char* suffix;
        const char* role;
    } cases[] = {
        {true, ".algebraic", "Algebraic record"},
        {true, ".refused.abc", "Refused bases file"},
        {false, ".algebraic", "Algebraic record"},
        {false, ".refused.abc", "Refused bases file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.toFile ? "to a file, " : "to standard output, ") + c.suffix);
        std::vector<std::string> args = {"export", "--input", input_, "--format", "genefer"};
        if (c.toFile) args.insert(args.end(), {"--output", output_});
        const std::string companion = (c.toFile ? output_ : input_) + c.suffix;
        for (const std::string& base : {input_, output_})
            for (const char* suffix : {"", ".algebraic", ".refused.abc"})
                if (base != input_ || *suffix) std::filesystem::remove(base + suffix);
        WriteAll(companion, "my own notes\n");
        EXPECT_EQ(Run(args), 2);
        EXPECT_EQ(err_, std::string(c.role) + " " + companion + " already exists; use --force to overwrite it.\n");
        EXPECT_EQ(ReadAll(companion), "my own notes\n");
        EXPECT_FALSE(std::filesystem::exists(output_));
        args.push_back("--force");
        EXPECT_EQ(Run(args), 0) << err_;
        EXPECT_THAT(ReadAll(companion), ::testing::StartsWith(c.suffix[1] == 'a' ? "10^4096+1" : "ABC $a^$b+1"));
    }
}

// Beside an input in a folder where they cannot be made, the companions of
// an export to standard output are left out with a note; the export is
// written all the same.
TEST_F(CliExport, CompanionsThatCannotBeMadeBesideTheInputAreLeftOut) {
    const std::string longName = dir_.File(std::string(240, 'c'));
    WriteAll(longName, kCandidates);
    const std::string folder = dir_.File("ro");
    std::filesystem::create_directory(folder);
    const std::string readOnly = folder + "/c.txt";
    WriteAll(readOnly, kCandidates);
    ASSERT_EQ(::chmod(folder.c_str(), 0555), 0);
    const struct {
        const char* what;
        std::string input;
        const char* reason;
    } cases[] = {
        // The lock's name is past the longest a name may be.
        {"long name", longName, "File name too long"},
        {"read-only folder", readOnly, "Permission denied"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        if (c.input == readOnly && ::geteuid() == 0) continue;  // root writes there all the same
        EXPECT_EQ(Run({"export", "--input", c.input, "--format", "genefer"}), 0) << err_;
        EXPECT_THAT(out_, ::testing::StartsWith("#!/bin/sh\n"));
        EXPECT_THAT(out_, ::testing::Not(HasSubstr(".algebraic")));
        EXPECT_THAT(err_, HasSubstr("Note: Algebraic record " + c.input + ".algebraic is not written: " + c.reason));
        EXPECT_THAT(err_, HasSubstr("Note: Refused bases file " + c.input + ".refused.abc is not written: " +
                                    c.reason));
        EXPECT_THAT(err_, HasSubstr("1 odd power dropped (composite: c^N+1 divides b^N+1), "));
        EXPECT_FALSE(std::filesystem::exists(c.input + ".algebraic"));
    }
    ::chmod(folder.c_str(), 0755);
}

// What an export killed midway left beside its files goes at the next
// export; a user's file under a name of the same pattern stays. The export
// leaves nothing of its own beside them.
TEST_F(CliExport, LeftoversOfAKilledExportGo) {
    const struct {
        std::string beside, content;
        bool ours;  // made as the export makes it, then left as a kill leaves it
        bool removed;
    } files[] = {
        {output_, "#!/bin/sh\n# genefer tests of the candidate file c.txt\n", true, true},
        {output_, "4\n16\n25", true, true},
        {output_ + ".algebraic", "10^4096+1 | 1000^4096+1\n", true, true},
        {output_ + ".refused.abc", "ABC $a^$b+1 // 100000007\n4 40", true, true},
        {output_, "a user's file\n", false, false},
        {output_ + ".algebraic", "", false, false},
    };
    std::vector<std::string> names;
    for (const auto& f : files) {
        std::string name = f.beside + ".varnesk-tmp-123456";
        if (f.ours) {
            const int fd = CreateTempBeside(f.beside, name);
            ASSERT_GE(fd, 0);
            ::close(fd);
        }
        WriteAll(name, f.content);
        names.push_back(name);
    }
    EXPECT_EQ(Run({"export", "--input", input_, "--format", "genefer", "--output", output_}), 0) << err_;
    for (size_t i = 0; i < names.size(); ++i) EXPECT_EQ(std::filesystem::exists(names[i]), !files[i].removed) << names[i];
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"c.txt", "out.txt", "out.txt.algebraic",
                                                        "out.txt.algebraic.varnesk-tmp-123456",
                                                        "out.txt.refused.abc", "out.txt.varnesk-tmp-123456"}));
}

TEST_F(CliExport, FailuresExitOneAndLeaveTheOutputAlone) {
    WriteAll(output_, "previous export\n");
    const std::string mixed = dir_.File("mixed.txt"), junk = dir_.File("junk.txt");
    WriteAll(mixed, "ABC $a^$b+1 // 9\n1026 4096\n1027 4096\n");
    WriteAll(junk, "hello\n");
    const std::string empty = dir_.File("empty.txt");
    WriteAll(empty, "");
    EXPECT_EQ(Run({"export", "--input", empty, "--format", "genefer"}), 1);
    EXPECT_THAT(err_, HasSubstr("Input file " + empty + " is empty; it is not a candidate file.\n"));
    EXPECT_EQ(Run({"export", "--input", mixed, "--format", "abc", "--output", output_, "--force"}), 1);
    EXPECT_THAT(err_, HasSubstr("is not of the parity of base 1026"));
    EXPECT_EQ(Run({"export", "--input", junk, "--format", "list", "--output", output_, "--force"}), 1);
    EXPECT_THAT(err_, HasSubstr("not a candidate file that a sieve can resume from"));
    EXPECT_EQ(ReadAll(output_), "previous export\n");
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"c.txt", "empty.txt", "junk.txt", "mixed.txt", "out.txt"}));
}

// A stand-in for genefer that does what the batch relies on: it appends its
// verdict to ./results.txt; a base in FAKE_SLOW waits, and on SIGINT saves a
// checkpoint, says "terminated" and exits 0; given the same command again it
// resumes from that checkpoint. A base in FAKE_FAIL fails its validation
// (exit 0, no verdict). Every call is written to calls.txt.
constexpr const char* kFakeGenefer = R"SH(#!/bin/sh
echo "$*" >> calls.txt
b= n=
while [ $# -gt 0 ]; do
	case $1 in
	-b) b=$2; shift ;;
	-n) n=$2; shift ;;
	esac
	shift
done
N=$((1 << n))
echo "stand-in: testing $b^$N+1"
if [ -f "ckpt.$b" ]; then
	echo "resumed $b" >> calls.txt
	rm -f "ckpt.$b"
else
	case " ${FAKE_SLOW-} " in
	*" $b "*)
		trap 'echo saved > "ckpt.$b"; echo terminated; exit 0' INT
		: > "started.$b"
		while :; do sleep 1; done
		;;
	esac
fi
case " ${FAKE_FAIL-} " in
*" $b "*)
	echo "validation failed!"
	exit 0
	;;
esac
case " ${FAKE_PRIME-} " in
*" $b "*) verdict="is a probable prime." ;;
*) verdict="is composite, RES64 = [0123456789ABCDEF]." ;;
esac
echo "$b^$N+1 $verdict" >> results.txt
echo "$b^$N+1 $verdict"
)SH";

class GeneferBatch : public testing::ProgramTest {
protected:
    void SetUp() override {
        std::filesystem::create_directory(bin_);
        // Named as another build would be: the script finds it through GENEFER.
        WriteAll(bin_ + "/gf-cpu", kFakeGenefer);
        std::filesystem::permissions(bin_ + "/gf-cpu", std::filesystem::perms::owner_all);
        WriteAll(input_, "ABC $a^$b+1 // 100000007\n1000 4096\n1026 4096\n1534 4096\n3000 4096\n");
        ASSERT_EQ(Run({"export", "--input", input_, "--format", "genefer", "--output", script_}), 0) << err_;
    }

    // Runs the script in a process group of its own, from the scratch
    // folder; with a signal, sends it to the group once `started` exists, as
    // a terminal's Ctrl-C or a batch system's stop does. The exit status;
    // output_ the script's standard output and error.
    int RunBatch(std::vector<std::string> env, const std::string& argument = "", int signal = 0,
                 const std::string& started = "") {
        // The test's own settings come last, where sh takes them from.
        env.insert(env.begin(), {"PATH=" + bin_ + ":" + std::getenv("PATH"), "GENEFER=gf-cpu"});
        std::vector<char*> envp, argv;
        for (std::string& e : env) envp.push_back(e.data());
        envp.push_back(nullptr);
        std::string sh = "sh", name = "g.sh", arg = argument;
        argv = {sh.data(), name.data()};
        if (!arg.empty()) argv.push_back(arg.data());
        argv.push_back(nullptr);
        const std::string outPath = dir_.File("batch.out"), folder = dir_.Path();
        std::remove(outPath.c_str());
        const pid_t pid = ::fork();
        if (pid == 0) {
            ::setpgid(0, 0);
            if (::chdir(folder.c_str()) != 0) ::_exit(126);
            const int fd = ::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
            ::dup2(fd, 1);
            ::dup2(fd, 2);
            struct sigaction dfl {};
            dfl.sa_handler = SIG_DFL;
            ::sigaction(SIGINT, &dfl, nullptr);
            ::sigaction(SIGTERM, &dfl, nullptr);
            sigset_t none;
            sigemptyset(&none);
            ::sigprocmask(SIG_SETMASK, &none, nullptr);
            ::execve("/bin/sh", argv.data(), envp.data());
            ::_exit(126);
        }
        ::setpgid(pid, pid);
        if (signal != 0) {
            bool seen = false;
            for (int i = 0; i < 3000 && !seen; ++i) {
                seen = std::filesystem::exists(dir_.File(started));
                if (!seen) ::usleep(10000);
            }
            EXPECT_TRUE(seen) << started;
            ::kill(-pid, seen ? signal : SIGKILL);
        }
        int status = 0;
        ::waitpid(pid, &status, 0);
        output_ = ReadAll(outPath);
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }
    std::vector<std::string> Calls() { return testsupport::Lines(ReadAll(dir_.File("calls.txt"))); }
    std::string Results() { return ReadAll(dir_.File("results.txt")); }

    const std::string bin_ = dir_.File("bin");
    const std::string input_ = dir_.File("c.txt");
    const std::string script_ = dir_.File("g.sh");
    std::string output_;
};

// Each base once: genefer keeps the verdicts, the log keeps the rest, a
// second run skips what has a verdict, and the check names what has none.
TEST_F(GeneferBatch, TestsEachBaseOnceAndChecksTheVerdicts) {
    EXPECT_EQ(RunBatch({}, "check"), 1);
    EXPECT_THAT(output_, HasSubstr("1026^4096+1: no verdict\n1534^4096+1: no verdict\n3000^4096+1: no verdict\n"
                                   "0 of 3 tests have a verdict in results.txt"));

    EXPECT_EQ(RunBatch({"FAKE_PRIME=1534", "GENEFER_OPTS=-t 2"}), 0) << output_;
    EXPECT_EQ(Calls(), (std::vector<std::string>{"-t 2 -q -b 1026 -n 12", "-t 2 -q -b 1534 -n 12",
                                                 "-t 2 -q -b 3000 -n 12"}));
    EXPECT_EQ(Results(), "1026^4096+1 is composite, RES64 = [0123456789ABCDEF].\n"
                         "1534^4096+1 is a probable prime.\n"
                         "3000^4096+1 is composite, RES64 = [0123456789ABCDEF].\n");
    EXPECT_THAT(output_, HasSubstr("3 tests run, 0 skipped"));
    EXPECT_THAT(output_, HasSubstr("All 3 tests have a verdict in results.txt.\n"));
    const std::string log = ReadAll(dir_.File("g.sh.log"));
    EXPECT_THAT(log, HasSubstr("== 1534^4096+1: gf-cpu -t 2 -q -b 1534 -n 12 ("));
    EXPECT_THAT(log, HasSubstr("stand-in: testing 1534^4096+1\n1534^4096+1 is a probable prime.\n"
                               "== 1534^4096+1: exit status 0\n"));

    EXPECT_EQ(RunBatch({}), 0) << output_;
    EXPECT_EQ(Calls().size(), 3u);
    EXPECT_EQ(testsupport::Lines(Results()).size(), 3u);
    EXPECT_THAT(output_, HasSubstr("0 tests run, 3 skipped"));

    // A failed validation exits 0 and leaves no verdict: the check names it.
    std::remove(dir_.File("results.txt").c_str());
    EXPECT_EQ(RunBatch({"FAKE_FAIL=3000"}), 1) << output_;
    EXPECT_THAT(output_, HasSubstr("No verdict on b = 3000 in results.txt (exit status 0); see g.sh.log.\n"));
    EXPECT_THAT(output_, HasSubstr("3000^4096+1: validation failed!\n2 of 3 tests have a verdict in results.txt"));
    // FROM and TO share the list out.
    EXPECT_EQ(RunBatch({"FROM=1100", "TO=3000"}), 0) << output_;
    EXPECT_EQ(Calls().back(), "-q -b 3000 -n 12");
    EXPECT_THAT(output_, HasSubstr("1 tests run, 1 skipped"));

    // Without the program, nothing runs.
    EXPECT_EQ(RunBatch({"GENEFER=no-such-genefer"}), 127);
    EXPECT_THAT(output_, HasSubstr("no-such-genefer: not found"));
}

// Ctrl-C: genefer saves and exits 0, and the batch stops there; run again,
// it resumes that test and skips the finished ones. SIGTERM stops it too.
TEST_F(GeneferBatch, StopsOnInterruptAndResumes) {
    const struct {
        int signal, status;
        const char* why;  // what the check says of the interrupted base
    } cases[] = {{SIGINT, 130, "1534^4096+1: terminated\n"}, {SIGTERM, 143, "1534^4096+1: no verdict\n"}};
    for (const auto& c : cases) {
        for (const char* f : {"calls.txt", "results.txt", "g.sh.log", "started.1534", "ckpt.1534"})
            std::remove(dir_.File(f).c_str());
        EXPECT_EQ(RunBatch({"FAKE_SLOW=1534"}, "", c.signal, "started.1534"), c.status) << output_;
        EXPECT_THAT(output_, HasSubstr(std::string("Stopped by SIG") + (c.signal == SIGINT ? "INT" : "TERM")));
        EXPECT_EQ(Calls(), (std::vector<std::string>{"-q -b 1026 -n 12", "-q -b 1534 -n 12"}));
        EXPECT_EQ(Results(), "1026^4096+1 is composite, RES64 = [0123456789ABCDEF].\n");
        EXPECT_EQ(std::filesystem::exists(dir_.File("ckpt.1534")), c.signal == SIGINT);

        EXPECT_EQ(RunBatch({}, "check"), 1);
        EXPECT_THAT(output_, HasSubstr(std::string(c.why) + "3000^4096+1: no verdict\n"));
        // Killed by TERM, the stand-in saved nothing; a checkpoint of its
        // own periodic saves lets the rerun finish.
        if (c.signal == SIGTERM) WriteAll(dir_.File("ckpt.1534"), "saved\n");

        // The same command again, from the checkpoint.
        EXPECT_EQ(RunBatch({"FAKE_SLOW=1534"}), 0) << output_;
        std::vector<std::string> calls = {"-q -b 1026 -n 12", "-q -b 1534 -n 12", "-q -b 1534 -n 12"};
        calls.push_back("resumed 1534");
        calls.push_back("-q -b 3000 -n 12");
        EXPECT_EQ(Calls(), calls);
        EXPECT_EQ(testsupport::Lines(Results()).size(), 3u);
        EXPECT_THAT(output_, HasSubstr("2 tests run, 1 skipped"));
    }
}

// A script with nothing to test says so and runs nothing.
TEST_F(GeneferBatch, NothingToTestSaysSo) {
    const char* inputs[] = {"ABC $a^$b+1 // 9\n1026 1024\n1534 1024\n",  // n = 10
                            "ABC $a^$b+1 // 9\n1026 16777216\n",       // n = 24
                            "ABC $a^$b+1 // 9\n2 4096\n1000 4096\n"};  // refused, and an odd power
    for (const char* text : inputs) {
        WriteAll(input_, text);
        ASSERT_EQ(Run({"export", "--input", input_, "--format", "genefer", "--output", script_, "--force"}), 0);
        EXPECT_THAT(ReadAll(script_), ::testing::Not(HasSubstr("Run it")));
        EXPECT_EQ(RunBatch({}), 0);
        EXPECT_EQ(output_, "Nothing here for genefer to test; the comments in this script say why.\n");
        EXPECT_FALSE(std::filesystem::exists(dir_.File("calls.txt")));
    }
}

}  // namespace
}  // namespace varnesk::cli
