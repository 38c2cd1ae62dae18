// varnesk-cli verify: the command's output and exit status (the proofs
// themselves are tested with the engine).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/verify.h"
#include "cli_test_support.h"
#include "engine/worker.h"
#include "platform/post.h"

namespace varnesk::cli {
namespace {

using testing::ReadAll;
using testing::ScratchFolder;
using testing::Slurp;
using testing::WriteAll;

// p = 193 = 3 * 64 + 1 strikes 68, 76, 74, 60, 94, 20 and 88 for N = 32.
const char* kTrueLines = "193 | 68^32+1\n193 | 76^32+1\n193 | 74^32+1\n193 | 60^32+1\n";

// ------------------------------------------------------------ the command

class VerifyCommand : public ::testing::Test {
protected:
    int Run(const std::vector<std::string>& args) {
        std::vector<const char*> argv = {"varnesk-cli"};
        for (const std::string& a : args) argv.push_back(a.c_str());
        CliParse parsed = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
        if (!parsed.ok) return -1;
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        int rc = RunVerify(parsed.options, out, err);
        out_ = Slurp(out);
        err_ = Slurp(err);
        return rc;
    }
    ScratchFolder dir_;
    std::string out_, err_;
};

TEST_F(VerifyCommand, ExitStatusTellsGoodBadAndTrouble) {
    const std::string f = dir_.File("f.txt");
    WriteAll(f, std::string("\nContinuing Sieve\n\n") + kTrueLines);
    EXPECT_EQ(Run({"verify", "--factors", f}), 0);
    EXPECT_NE(out_.find("4 factor lines checked, 3 other lines skipped"), std::string::npos) << out_;
    EXPECT_NE(out_.find("N = 32: 4 factor lines, 0 bad"), std::string::npos) << out_;

    WriteAll(f, std::string(kTrueLines) + "193 | 70^32+1\n");
    EXPECT_EQ(Run({"verify", "--factors", f}), 1);
    EXPECT_NE(out_.find(f + ":5: p does not divide b^N+1: 193 | 70^32+1\n"), std::string::npos) << out_;

    EXPECT_EQ(Run({"verify", "--factors", dir_.File("missing.txt")}), 2);
    EXPECT_NE(err_.find("Unable to open factor file"), std::string::npos);
    EXPECT_EQ(Run({"verify"}), 2);
    EXPECT_EQ(Run({"verify", "--factors", f, "--bmax", "5"}), -1);  // a sieve option
}

// A pipe is read in pieces of bounded size: a line longer than a piece is
// one bad line, and the lines after it keep their numbers.
TEST_F(VerifyCommand, APipeIsReadInBoundedPieces) {
    const std::string fifo = dir_.File("pipe");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string text = std::string(kTrueLines) + std::string(17 << 20, '7') + "\n" + kTrueLines +
                             "193 | 70^32+1\n";
    std::thread writer([&] {
        std::FILE* f = std::fopen(fifo.c_str(), "w");
        if (!f) return;
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    });
    EXPECT_EQ(Run({"verify", "--factors", fifo}), 1);
    writer.join();
    EXPECT_NE(out_.find(fifo + ":5: not a factor line \"p | b^N+1\": a line longer than 16777216 bytes\n"),
              std::string::npos) << out_.substr(0, 500);
    EXPECT_NE(out_.find(fifo + ":10: p does not divide b^N+1: 193 | 70^32+1\n"), std::string::npos) << out_;
    EXPECT_NE(out_.find("10 lines: 10 factor lines checked"), std::string::npos) << out_;
    EXPECT_NE(out_.find("2 bad lines."), std::string::npos) << out_;
}

// A real sieve's files hold; a candidate file that lists a struck base, or
// one that cannot be resumed from, does not.
TEST_F(VerifyCommand, FilesOfARealSieveHold) {
    class Quiet : public TextSink {
    public:
        void PostWorkerText(std::unique_ptr<std::string>) override {}
    } sink;
    const std::string f = dir_.File("f.txt"), o = dir_.File("o.txt");
    JobRequest request;
    request.factorFile = f;
    request.outputFile = o;
    request.bMin = 2;
    request.bMax = 20000;
    request.exponent = 64;
    request.exponentLog2 = 6;
    request.useStartStop = 1;
    request.stopP = 3000000;
    auto worker = std::make_shared<CGfnThread>(request, &sink);
    worker->Run();

    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", o}), 0) << out_ << err_;
    EXPECT_NE(out_.find("All "), std::string::npos);

    const std::string factors = ReadAll(f);
    const size_t bar = factors.find(" | ");
    ASSERT_NE(bar, std::string::npos);
    const std::string struck = factors.substr(bar + 3, factors.find('^', bar) - bar - 3);
    WriteAll(o, ReadAll(o) + struck + " 64\n");
    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", o}), 1);
    EXPECT_NE(out_.find("b is still a candidate in the candidate file: "), std::string::npos) << out_;

    // Every base struck: a header alone, which every line still proves.
    WriteAll(o, "ABC $a^$b+1 // 5\n");
    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", o}), 0) << out_ << err_;
    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", dir_.File("none")}), 2);
}

}  // namespace
}  // namespace varnesk::cli
