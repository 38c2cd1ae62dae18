// varnesk-cli verify: the command's output and exit status (the proofs
// themselves are tested with the engine).
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <thread>

#include <cstdio>
#include <string>
#include <vector>

#include "cli/options.h"
#include "cli/verify.h"
#include "cli_test_support.h"
#include "tests/support/jobrun.h"

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

// The algebraic record beside the factor file, or named alone: each line is
// proved by multiplying c up to b; a forged one is named with the reason.
TEST_F(VerifyCommand, AlgebraicRecordIsProvedLineByLine) {
    const std::string f = dir_.File("f.txt"), record = dir_.File("f.txt.algebraic"), other = dir_.File("x.alg");
    WriteAll(f, kTrueLines);
    const struct {
        const char* text;
        int status;
        const char* out;
    } cases[] = {
        {"2^32+1 | 8^32+1\n4^32+1 | 64^32+1\n100^32+1 | 1000000^32+1\n", 0,
         "3 lines: 3 algebraic factors c^N+1 | b^N+1 hold (b = c^m, m odd).\n"},
        {"", 0, "0 lines: 0 algebraic factors"},
        {"2^32+1 | 8^32+1\n2^32+1 | 1000^32+1\n", 1, ".algebraic:2: b is not c^m for any m above 1: 2^32+1 | 1000^32+1\n"},
        {"10^32+1 | 1002^32+1\n", 1, ".algebraic:1: b is not c^m for any m above 1: 10^32+1 | 1002^32+1\n"},
        {"2^32+1 | 16^32+1\n", 1,
         ".algebraic:1: b is c^m with m even, and c^N+1 does not divide b^N+1: 2^32+1 | 16^32+1\n"},
        {"3^32+1 | 27^64+1\n", 1, ".algebraic:1: the two exponents differ: 3^32+1 | 27^64+1\n"},
        {"193 | 68^32+1\n", 1, ".algebraic:1: not an algebraic line \"c^N+1 | b^N+1\": 193 | 68^32+1\n"},
    };
    for (const auto& c : cases) {
        WriteAll(record, c.text);
        EXPECT_EQ(Run({"verify", "--factors", f}), c.status) << c.text;
        EXPECT_NE(out_.find("All 4 factor lines hold."), std::string::npos) << out_;
        EXPECT_NE(out_.find(c.out), std::string::npos) << out_;
        // Named alone, without a factor file.
        WriteAll(other, c.text);
        EXPECT_EQ(Run({"verify", "--algebraic", other}), c.status) << c.text;
        EXPECT_EQ(out_.find("factor lines"), std::string::npos) << out_;
        EXPECT_NE(out_.find(other + ": "), std::string::npos) << out_;
    }
    // A record named that cannot be read is trouble; a factor file without
    // one beside it is checked alone.
    EXPECT_EQ(Run({"verify", "--algebraic", dir_.File("none")}), 2);
    EXPECT_NE(err_.find("Unable to open algebraic record"), std::string::npos) << err_;
    std::remove(record.c_str());
    EXPECT_EQ(Run({"verify", "--factors", f}), 0);
    EXPECT_EQ(out_.find("algebraic"), std::string::npos) << out_;
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
    const std::string f = dir_.File("f.txt"), o = dir_.File("o.txt");
    testsupport::JobRun sieve;
    sieve.NewSieve(f, o, 20000, 64, 3000000);
    sieve.Run();

    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", o}), 0) << out_ << err_;
    EXPECT_NE(out_.find("All "), std::string::npos);
    // The sieve's algebraic record, 8 = 2^3 to 16000 = 20^3 among its lines.
    EXPECT_NE(out_.find(f + ".algebraic: "), std::string::npos) << out_;
    EXPECT_NE(ReadAll(f + ".algebraic").find("20^64+1 | 8000^64+1\n"), std::string::npos);

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

// A kill after a save: the factor file holds the lines of primes beyond the
// candidate file's resume point, whose bases that file still lists. They
// hold; the summary counts them on a line of their own.
TEST_F(VerifyCommand, LinesFoundAfterTheLastSaveHold) {
    const std::string f = dir_.File("f.txt"), saved = dir_.File("saved.txt"), later = dir_.File("later.txt");
    testsupport::JobRun sieve;
    sieve.NewSieve(f, saved, 20000, 64, 3000000);
    sieve.Run();
    const std::string header = ReadAll(saved).substr(0, ReadAll(saved).find('\n'));
    const std::string resumeP = header.substr(header.rfind(' ') + 1);
    testsupport::JobRun resume;
    resume.Resume(f, saved, later);
    resume.StartStop(std::stoull(resumeP) + 1, 6000000);
    resume.Run();
    uint64_t beyond = 0;
    for (const std::string& line : testsupport::Lines(ReadAll(f)))
        if (line.find(" | ") != std::string::npos && std::stoull(line) > std::stoull(resumeP)) ++beyond;
    ASSERT_GT(beyond, 0u);

    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", saved}), 0) << out_ << err_;
    const std::string count = std::to_string(beyond);
    EXPECT_NE(out_.find(count + " factor lines lie beyond the candidate file's resume point " + resumeP +
                        ": found after its last save; the next resume removes their bases\n"),
              std::string::npos)
        << out_;
    // Past every line, nothing lies beyond.
    EXPECT_EQ(Run({"verify", "--factors", f, "--candidates", later}), 0) << out_ << err_;
    EXPECT_EQ(out_.find("beyond"), std::string::npos) << out_;
}

// Only files are read: a folder or a device is refused by name (a device
// such as /dev/zero never ends), and a record's line has a bound.
TEST_F(VerifyCommand, FoldersAndDevicesAreRefusedAndRecordLinesBounded) {
    const std::string f = dir_.File("f.txt"), fifo = dir_.File("pipe"), folder = dir_.Path();
    WriteAll(f, kTrueLines);
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const struct {
        std::vector<std::string> args;
        std::string err;
    } cases[] = {
        {{"--factors", folder}, "Factor file " + folder + " is a folder, not a factor file.\n"},
        {{"--factors", "/dev/zero"}, "Factor file /dev/zero is a device, not a factor file;"},
        {{"--algebraic", folder}, "Algebraic record " + folder + " is a folder, not a file.\n"},
        {{"--algebraic", "/dev/zero"}, "Algebraic record /dev/zero is not a regular file"},
        {{"--factors", f, "--algebraic", fifo}, "Algebraic record " + fifo + " is not a regular file"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> args = {"verify"};
        args.insert(args.end(), c.args.begin(), c.args.end());
        EXPECT_EQ(Run(args), 2) << c.args[1];
        EXPECT_NE(err_.find(c.err), std::string::npos) << err_;
    }

    const std::string record = dir_.File("r.algebraic");
    WriteAll(record, std::string(3 << 20, '7') + "\n2^32+1 | 8^32+1\n" + std::string(5000, ' ') + "\n" +
                         std::string(4096, '9'));
    EXPECT_EQ(Run({"verify", "--algebraic", record}), 1);
    EXPECT_NE(out_.find(record + ":1: a line longer than 4096 bytes: " + std::string(200, '7') + "...\n"),
              std::string::npos) << out_.substr(0, 400);
    EXPECT_NE(out_.find(record + ":3: a line longer than 4096 bytes: "), std::string::npos) << out_.substr(0, 400);
    EXPECT_NE(out_.find(record + ":4: not an algebraic line"), std::string::npos) << out_.substr(0, 400);
    EXPECT_NE(out_.find("4 lines: 1 algebraic factors c^N+1 | b^N+1 hold (b = c^m, m odd), 3 bad lines."),
              std::string::npos) << out_;
}

}  // namespace
}  // namespace varnesk::cli
