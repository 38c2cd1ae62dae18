// varnesk-cli export: the command's answers, exit statuses and files, and
// the genefer script run by sh against a stand-in genefer.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "cli/frontend.h"
#include "cli_test_support.h"
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
    const struct {
        const char* format;
        const char* out;   // a part of standard output
        const char* err;   // a part of standard error
    } cases[] = {
        {"genefer", "# genefer refuses b = 1000: below 1024\ngenefer -q -b 1026 -n 12\ngenefer -q -b 1534 -n 12\n",
         ": 6 candidates, 2 genefer lines, 4 commented out; written to standard output.\n"},
        {"list", "4\n16\n256\n1000\n1026\n1534\n", ": 6 of 6 candidates written as list to standard output.\n"},
        {"abc", kCandidates, ": 6 of 6 candidates written as abc to standard output.\n"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Run({"export", "--input", input_, "--format", c.format}), 0) << c.format << err_;
        EXPECT_THAT(out_, HasSubstr(c.out)) << c.format;
        EXPECT_THAT(err_, HasSubstr(c.err)) << c.format;
        // Whatever the format, the powers of two are named.
        EXPECT_THAT(err_, HasSubstr("Note: 16^4096+1 = 2^16384+1 is the Fermat number F14.\n")) << c.format;
        EXPECT_THAT(err_, HasSubstr("the sieve does not strike such bases")) << c.format;
    }
    EXPECT_EQ(out_, kCandidates);  // abc: the file itself
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
    };
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
    EXPECT_EQ(ReadAll(output_), "4\n16\n256\n1000\n1026\n1534\n");
}

TEST_F(CliExport, FailuresExitOneAndLeaveTheOutputAlone) {
    WriteAll(output_, "previous export\n");
    const std::string mixed = dir_.File("mixed.txt"), junk = dir_.File("junk.txt");
    WriteAll(mixed, "ABC $a^$b+1 // 9\n1026 4096\n1027 4096\n");
    WriteAll(junk, "hello\n");
    EXPECT_EQ(Run({"export", "--input", mixed, "--format", "abc", "--output", output_, "--force"}), 1);
    EXPECT_THAT(err_, HasSubstr("is not of the parity of base 1026"));
    EXPECT_EQ(Run({"export", "--input", junk, "--format", "list", "--output", output_, "--force"}), 1);
    EXPECT_THAT(err_, HasSubstr("not a candidate file that a sieve can resume from"));
    EXPECT_EQ(ReadAll(output_), "previous export\n");
    EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"c.txt", "junk.txt", "mixed.txt", "out.txt"}));
}

// The script is valid sh: run against a genefer that only echoes its
// arguments, it runs exactly the lines genefer takes, and nothing when n is
// out of range or no candidate is left.
TEST_F(CliExport, GeneferScriptRunsUnderSh) {
    const std::string bin = dir_.File("bin");
    std::filesystem::create_directory(bin);
    WriteAll(bin + "/genefer", "#!/bin/sh\necho \"ran $*\"\n");
    std::filesystem::permissions(bin + "/genefer", std::filesystem::perms::owner_all);
    const struct {
        const char* candidates;
        const char* ran;
    } cases[] = {
        {kCandidates, "ran -q -b 1026 -n 12\nran -q -b 1534 -n 12\n"},
        {"ABC $a^$b+1 // 9\n1026 1024\n1534 1024\n", ""},           // n = 10
        {"ABC $a^$b+1 // 9\n1026 16777216\n", ""},                    // n = 24
        {"ABC $a^$b+1 // 9\n", ""},                                   // every base struck
        {"ABC $a^$b+1 // 9\n2 8388608\n3000 8388608\n", "ran -q -b 3000 -n 23\n"},
    };
    const std::string script = dir_.File("tests.sh"), results = dir_.File("results.txt");
    for (const auto& c : cases) {
        WriteAll(input_, c.candidates);
        ASSERT_EQ(Run({"export", "--input", input_, "--format", "genefer", "--output", script, "--force"}), 0) << err_;
        const std::string command = "PATH='" + bin + "':\"$PATH\" sh '" + script + "' > '" + results + "' 2>&1";
        ASSERT_EQ(std::system(command.c_str()), 0) << ReadAll(script);
        EXPECT_EQ(ReadAll(results), c.ran) << ReadAll(script);
    }
}

}  // namespace
}  // namespace varnesk::cli
