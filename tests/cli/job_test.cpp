#include <gtest/gtest.h>

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <set>
#include <string>
#include <utility>
#include <vector>

#include "cli/frontend.h"
#include "cli/job.h"
#include "cli_test_support.h"
#include "engine/jobcheck.h"
#include "engine/messages.h"
#include "kernels/sieve_job.h"
#include "packedk/packedkdb.h"
#include "packedk/sequence.h"

namespace varnesk::cli {
namespace {

using testing::ReadAll;
using testing::ScratchFolder;
using testing::CliRun;
using testing::RunProgram;
using testing::Slurp;
using testing::WriteAll;

CliOptions NewSieve(const ScratchFolder& dir) {
    CliOptions o;
    o.command = CliCommand::Sieve;
    o.exponent = 32;
    o.bMin = 2;
    o.bMax = 100;
    o.factorFile = dir.File("factors.txt");
    o.outputFile = dir.File("out.txt");
    return o;
}

CliOptions Resume(const ScratchFolder& dir) {
    CliOptions o;
    o.command = CliCommand::Resume;
    o.inputFile = dir.File("in.txt");
    o.outputFile = dir.File("out.txt");
    o.factorFile = dir.File("factors.txt");
    WriteAll(o.inputFile, "ABC $a^$b+1 // 5441\n4 32\n");
    return o;
}

CliOptions Build(const ScratchFolder& dir) {
    CliOptions o;
    o.command = CliCommand::BuildPackedK;
    o.packedDir = dir.Path();
    o.exponent = 8192;
    return o;
}

TEST(CliExponent, TheFormsPowerOfTwoTest) {
    EXPECT_EQ(ExponentLog2(2), 1);
    EXPECT_EQ(ExponentLog2(32), 5);
    EXPECT_EQ(ExponentLog2(65536), 16);
    EXPECT_EQ(ExponentLog2(1073741824), 30);
    for (int32_t bad : {1, 0, 3, 6, -2, 24, 3072, 2147483647, -2147483647 - 1}) EXPECT_EQ(ExponentLog2(bad), 0) << bad;
}

// The options become the job request that the shared check and the worker
// take (the check's rules and order are tested with the engine); what is
// the command line's own is which values were given, --force and the files
// it prepares.
TEST(CliValidation, OptionsBecomeTheJobRequest) {
    ScratchFolder dir;
    CliOptions o = NewSieve(dir);
    o.exponent = 1073741824;
    o.saveMinutes = 5;
    o.standard = true;
    o.packedKPath = dir.Path();
    o.threads = 3;
    EXPECT_EQ(ValidateJob(o).message, "Packed K folder " + dir.Path() + " holds no sequence file " +
                                          dir.File("ln30pi00000.pkk") + " for this exponent.");
    WriteAll(dir.File("ln30pi00000.pkk"), "");
    Validation v = ValidateJob(o);
    ASSERT_TRUE(v.ok) << v.message;
    const JobRequest& p = v.request;
    EXPECT_EQ(p.command, 0);
    EXPECT_EQ(p.exponent, 1073741824);
    EXPECT_EQ(p.exponentLog2, 30);
    EXPECT_EQ(p.wideMath, 0);
    EXPECT_EQ(p.packedKPath, dir.Path());
    EXPECT_EQ(p.minutesPerSave, 5);
    EXPECT_EQ(p.threads, 3);
    EXPECT_TRUE(p.inputFile.empty());
    EXPECT_EQ(p.useStartStop, 0);
    EXPECT_TRUE(v.prepareFactorFile);
    EXPECT_TRUE(v.prepareOutputFile);

    // A b given below 1 is no missing one; a start P is only noted.
    o = NewSieve(dir);
    o.bMin = 0;
    EXPECT_EQ(ValidateJob(o).message, "A minimum b value is required.");
    o.haveBMin = true;
    EXPECT_EQ(ValidateJob(o).message, "The minimum b value 0 is below 1; bases start at 1.");
    o = NewSieve(dir);
    o.haveStartP = o.haveEndP = true;
    o.startP = 1000000;
    o.endP = 5;
    v = ValidateJob(o);
    ASSERT_TRUE(v.ok);
    EXPECT_EQ(v.notices, std::vector<std::string>{messages::kStartPIgnored});
    EXPECT_TRUE(v.request.useStartStop == 1 && v.request.startP == 1000000u && v.request.stopP == 5u);

    // A resume with an end P alone goes on from its input's resume point;
    // one already there has nothing to do, which is no failure.
    CliOptions r = Resume(dir);
    r.haveEndP = true;
    r.endP = 2000000;
    v = ValidateJob(r);
    ASSERT_TRUE(v.ok) << v.message;
    EXPECT_EQ(v.request.command, 1);
    EXPECT_EQ(v.request.wideMath, 1);
    EXPECT_EQ(v.request.startP, 5442u);  // just above the saved 5441
    EXPECT_FALSE(v.prepareFactorFile);  // a resume appends to it
    EXPECT_TRUE(v.prepareOutputFile);
    r.endP = 5441;
    v = ValidateJob(r);
    EXPECT_FALSE(v.ok);
    EXPECT_TRUE(v.nothingToDo);
    r.haveStartP = true;
    r.startP = 4;
    v = ValidateJob(r);
    EXPECT_FALSE(v.nothingToDo);
    EXPECT_EQ(v.message, "Start/Stop P specified.  Starting P must be > 4");

    // A build takes its folder, its start P and no end P.
    CliOptions b = Build(dir);
    b.haveStartP = true;
    b.startP = 163841;
    b.haveEndP = true;
    b.endP = 3;
    v = ValidateJob(b);
    ASSERT_TRUE(v.ok) << v.message;
    EXPECT_EQ(v.request.command, 31);
    EXPECT_EQ(v.request.exponentLog2, 13);
    EXPECT_EQ(v.request.packedKPath, dir.Path());
    EXPECT_EQ(v.request.useStartStop, 1);
    EXPECT_EQ(v.request.startP, 163841u);
    EXPECT_EQ(v.request.stopP, 0u);
    EXPECT_FALSE(v.prepareFactorFile);
    EXPECT_FALSE(v.prepareOutputFile);
}

TEST(CliFiles, NewSieveNeverOverwritesWithoutForce) {
    ScratchFolder dir;
    CliOptions o = NewSieve(dir);
    WriteAll(o.factorFile, "old factors\n");
    WriteAll(o.outputFile, "old output\n");
    EXPECT_EQ(ValidateJob(o).message, "Output File " + o.factorFile + " already exists; use --force to overwrite it.");
    std::remove(o.factorFile.c_str());
    EXPECT_EQ(ValidateJob(o).message, "Output File " + o.outputFile + " already exists; use --force to overwrite it.");
    EXPECT_EQ(ReadAll(o.outputFile), "old output\n");

    WriteAll(o.factorFile, "old factors\n");
    WriteAll(o.factorFile + ".range", "old record\n");
    o.force = true;
    Validation v = ValidateJob(o);
    ASSERT_TRUE(v.ok) << v.message;
    EXPECT_EQ(ReadAll(o.factorFile), "old factors\n");  // checking touches nothing
    EXPECT_TRUE(PrepareFiles(v).empty());
    EXPECT_EQ(ReadAll(o.factorFile), "");
    // The old record spoke of the old strikes; the old candidates go, so
    // that a job stopped before its first save leaves no file to resume
    // from rather than an empty one.
    EXPECT_FALSE(std::filesystem::exists(o.factorFile + ".range"));
    EXPECT_FALSE(std::filesystem::exists(o.outputFile));
}

TEST(CliFiles, NewSieveCreatesMissingFilesEmpty) {
    ScratchFolder dir;
    CliOptions o = NewSieve(dir);
    Validation v = ValidateJob(o);
    ASSERT_TRUE(v.ok);
    EXPECT_FALSE(std::filesystem::exists(o.factorFile));
    EXPECT_TRUE(PrepareFiles(v).empty());
    EXPECT_TRUE(std::filesystem::exists(o.factorFile));
    EXPECT_FALSE(std::filesystem::exists(o.outputFile));  // made whole by the first save

    // A name that cannot be created is reported, and the start goes on.
    o.outputFile = dir.File("no-such-folder/out.txt");
    o.force = true;
    v = ValidateJob(o);
    ASSERT_TRUE(v.ok);
    std::vector<std::string> messages = PrepareFiles(v);
    ASSERT_EQ(messages.size(), 1u);
    EXPECT_EQ(messages[0], "Output File " + o.outputFile + " cannot be created.");
}

TEST(CliFiles, OneFileCannotServeTwoRoles) {
    ScratchFolder dir;
    CliOptions o = NewSieve(dir);
    o.outputFile = dir.Path() + "/./factors.txt";
    EXPECT_EQ(ValidateJob(o).message, "The factor output file and the output file must be different files.");

    CliOptions r = Resume(dir);
    r.factorFile = r.inputFile;
    EXPECT_EQ(ValidateJob(r).message, "The factor output file must not be the input or the output file.");
}

TEST(CliFiles, ResumeMayRewriteItsOwnInput) {
    ScratchFolder dir;
    CliOptions o = Resume(dir);
    const std::string before = ReadAll(o.inputFile);
    o.outputFile = dir.Path() + "/./in.txt";  // the same file, spelt differently
    Validation v = ValidateJob(o);
    ASSERT_TRUE(v.ok) << v.message;
    EXPECT_FALSE(v.prepareOutputFile);
    EXPECT_TRUE(PrepareFiles(v).empty());
    EXPECT_EQ(ReadAll(o.inputFile), before);

    // Any other existing output file needs --force, and is then removed.
    o.outputFile = dir.File("out.txt");
    WriteAll(o.outputFile, "keep me\n");
    WriteAll(o.factorFile, "earlier factors\n");
    EXPECT_EQ(ValidateJob(o).message, "Output File " + o.outputFile + " already exists; use --force to overwrite it.");
    o.force = true;
    v = ValidateJob(o);
    ASSERT_TRUE(v.ok);
    PrepareFiles(v);
    EXPECT_FALSE(std::filesystem::exists(o.outputFile));
    EXPECT_EQ(ReadAll(o.factorFile), "earlier factors\n");
    EXPECT_EQ(ReadAll(o.inputFile), before);
}

// The program's own answers: refused jobs exit 2 and leave every file alone.
using CliProgram = testing::ProgramTest;

TEST_F(CliProgram, HelpVersionAndUsageErrors) {
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(out_, "varnesk-cli 1.0 (Varnesk Build 306)\n");
    EXPECT_EQ(Run({"sieve", "--help"}), 0);
    EXPECT_EQ(out_, UsageText());
    EXPECT_EQ(Run({"sieve", "--bmin", "two"}), 2);
    EXPECT_EQ(err_, "varnesk-cli: option --bmin: 'two' is not a whole number\nTry 'varnesk-cli --help'.\n");
    EXPECT_TRUE(out_.empty());
}

TEST_F(CliProgram, UnknownKernelIsRefusedBeforeAnyFile) {
    const std::string f = dir_.File("f.txt"), o = dir_.File("o.txt");
    const std::vector<std::string> job = {"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--factors", f, "--output", o};
    setenv("VARNESK_KERNEL", "avx9", 1);
    EXPECT_EQ(Run(job), 2);
    unsetenv("VARNESK_KERNEL");
    EXPECT_EQ(err_, "varnesk-cli: VARNESK_KERNEL: kernel 'avx9' is none of scalar, avx2, avx512, auto\n");
    EXPECT_FALSE(std::filesystem::exists(o));
    EXPECT_FALSE(std::filesystem::exists(f));
}

// Refused jobs exit 2, and every refusal comes before any file is created,
// emptied or removed: the old files are byte for byte as they were, and
// nothing new appears.
TEST_F(CliProgram, JobsThatWouldDestroyFilesAreRefusedFirst) {
    const std::string f = dir_.File("f.txt"), o = dir_.File("o.txt"), in = dir_.File("in.txt");
    const std::string folder = dir_.File("sub"), loop = dir_.File("loop"), fresh = dir_.File("new.txt");
    std::filesystem::create_directory(folder);
    std::filesystem::create_symlink(loop, loop);
    const std::vector<std::string> sieve = {"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--force"};
    auto with = [](std::vector<std::string> a, std::vector<std::string> more) {
        a.insert(a.end(), more.begin(), more.end());
        return a;
    };
    struct Case {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--factors", fresh, "--output", o},
         "Output File " + o + " already exists; use --force to overwrite it."},
        {with(sieve, {"--factors", fresh, "--output", o, "--start-p", "77"}),  // the notice, then the refusal
         "Start/Stop P specified with a new sieve, the starting P value will be ignored\n"
         "Start/Stop P specified.  Ending P must be > 4"},
        {{"sieve", "-N", "33", "--bmin", "2", "--bmax", "100", "--factors", fresh, "--output", o, "--force"},
         "Exponent 33 is not a proper power of 2 for GFN testing."},
        {{"resume", "--input", o, "--output", o, "--factors", fresh, "--start-p", "3", "--end-p", "9999"},
         "Start/Stop P specified.  Starting P must be > 4"},
        {{"build-packed-k", "--dir", dir_.Path(), "-N", "4096"},
         "The minimum exponent supported by this sieve is 8192."},
        {{"resume", "--input", in, "--output", o, "--factors", f, "--force"},
         "Line 1 of input file " + in +
             " is neither the header \"ABC $a^$b+1 // p\" nor a candidate line \"b N\": garbage"},
        {{"resume", "--input", loop, "--output", o, "--factors", f},
         "Input File " + loop + " cannot be looked at: Too many levels of symbolic links"},
        {with(sieve, {"--factors", f, "--output", folder}),
         "Output File " + folder + " is a folder; a file of that name is needed."},
        {with(sieve, {"--factors", "/dev/null", "--output", o}),
         "Factor output file /dev/null is not a regular file; only a regular file is written or replaced."},
        {with(sieve, {"--factors", f, "--output", o, "--log", o}),
         "The log file " + o + " must not be the factor output, input or output file."},
        {with(sieve, {"--factors", f, "--output", o, "--log", folder}),
         "Log file " + folder + " is a folder; a file of that name is needed."},
        {with(sieve, {"--factors", f, "--output", o, "--stats", f}),
         "The statistics file " + f + " must not be the factor output, input, output or log file."},
        {with(sieve, {"--factors", f, "--output", o, "--stats", folder}),
         "Statistics file " + folder + " is a folder; a file of that name is needed."},
        {with(sieve, {"--factors", f, "--output", o, "--stats", "/proc/version"}),
         "Statistics file /proc/version cannot be written: " + std::string(geteuid() == 0 ? "Input/output error"
                                                                                          : "Permission denied")},
        {with(sieve, {"--factors", f, "--output", o, "--stats", dir_.File("none/s.csv")}),
         "Statistics file " + dir_.File("none/s.csv") + " cannot be written: No such file or directory"},
        {with(sieve, {"--factors", f, "--output", o, "--stop-file", dir_.File("none/STOP")}),
         "Stop file " + dir_.File("none/STOP") + " can never be made: its folder " + dir_.File("none") +
             " does not exist."},
        {with(sieve, {"--factors", f, "--output", o, "--stop-file", f + "/STOP"}),
         "Stop file " + f + "/STOP can never be made: " + f + " is not a folder."},
        {with(sieve, {"--factors", f, "--output", o, "--standard", "--packed-k", dir_.File("nope")}),
         "Packed K folder " + dir_.File("nope") + " does not exist."},
        {{"sieve", "-N", "32", "--bmin", "-2", "--bmax", "100", "--factors", f, "--output", o},
         "The minimum b value -2 is below 1; bases start at 1."},
        {{"sieve", "-N", "64", "--bmin", "3", "--bmax", "100001", "--factors", f, "--output", o},
         "The minimum b value 3 is odd: the wide math sieve strikes even bases only, so this job would strike "
         "nothing. Use 4 as the minimum b value."},
        // Not opened: a device or a folder is no candidate file.
        {{"resume", "--input", "/dev/zero", "--output", o, "--factors", f, "--end-p", "99999"},
         "Input File /dev/zero is not a regular file; only a regular file is read as a candidate file."},
        {{"resume", "--input", "/dev/zero", "--output", o, "--factors", f},
         "Input File /dev/zero is not a regular file; only a regular file is read as a candidate file."},
        {{"resume", "--input", folder, "--output", o, "--factors", f, "--end-p", "99999"},
         "Input File " + folder + " is a folder; a candidate file is needed."},
        {{"resume", "--input", o, "--output", o, "--factors", f, "--start-p", "30000000", "--end-p", "20000000"},
         "Start P 30000000 is above end P 20000000; a resume sieves from its start P up to its end P."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.message);
        WriteAll(f, "old factors\n");
        WriteAll(o, "ABC $a^$b+1 // 5441\n4 32\n");
        WriteAll(in, "garbage\n");
        EXPECT_EQ(Run(c.args), 2);
        EXPECT_EQ(err_, c.message + "\n");
        EXPECT_EQ(ReadAll(f), "old factors\n");
        EXPECT_EQ(ReadAll(o), "ABC $a^$b+1 // 5441\n4 32\n");
        EXPECT_EQ(ReadAll(in), "garbage\n");
        EXPECT_TRUE(std::filesystem::is_directory(folder));
        EXPECT_EQ(dir_.Entries(), (std::vector<std::string>{"f.txt", "in.txt", "loop", "o.txt", "sub"}));
    }
    EXPECT_EQ(Run({"sieve", "-N", "2147483648"}), 2);
    EXPECT_EQ(err_, "varnesk-cli: option -N: '2147483648' is out of range (from -2147483648 to 2147483647)\n"
                    "Try 'varnesk-cli --help'.\n");
}

// A resume given only an end P that its input has already reached sieves
// nothing: it says so, succeeds and leaves every file as it was.
TEST_F(CliProgram, AResumeAlreadyAtItsEndPSievesNothing) {
    const std::string f = dir_.File("f.txt"), o = dir_.File("o.txt");
    for (const char* endP : {"5441", "5000", "5"}) {
        SCOPED_TRACE(endP);
        WriteAll(o, "ABC $a^$b+1 // 5441\n4 32\n");
        EXPECT_EQ(Run({"resume", "--input", o, "--output", o, "--factors", f, "--end-p", endP}), 0);
        EXPECT_EQ(err_, "Input file " + o + " is already at P 5441, at or beyond end P " + endP +
                            "; nothing is sieved and the file is left as it is.\n");
        EXPECT_EQ(ReadAll(o), "ABC $a^$b+1 // 5441\n4 32\n");
        EXPECT_EQ(dir_.Entries(), std::vector<std::string>{"o.txt"});
    }
    // What the form asks: a start P above the end P is refused, one at it
    // sieves, and an end P beyond the resume point goes on just above it.
    EXPECT_EQ(CheckResumeRange(o, true, 5443, 5442).kind, ResumeRange::kRefused);
    EXPECT_EQ(CheckResumeRange(o, true, 5442, 5442).kind, ResumeRange::kSieve);
    const ResumeRange on = CheckResumeRange(o, false, 0, 5442);
    EXPECT_EQ(on.kind, ResumeRange::kSieve);
    EXPECT_TRUE(on.startP == 5442);
}

// N = 8192 packed K files holding every listed k up to lastK.
void MakeSequence(const std::string& folder, int64_t lastK, int64_t firstK = 1) {
    std::filesystem::create_directories(folder);
    CPackedKDB db;
    db.SetFileName(SequenceFileName(folder, 13, 0));
    std::string error;
    bool open = false;
    for (int64_t k = firstK; k <= lastK; ++k) {
        if (!IsListedK(8192, k)) continue;
        if (!open) {
            ASSERT_TRUE(db.InitOpenNewFile(k, 8192, error)) << error;
            open = true;
        } else {
            ASSERT_TRUE(db.WriteNew64KValue(k, error)) << error;
        }
    }
    db.CloseDB();
}

std::set<std::string> FactorLineSet(const std::string& text) {
    std::set<std::string> lines;
    for (const std::string& l : testing::Lines(text))
        if (l.find(" | ") != std::string::npos) lines.insert(l);
    return lines;
}

// A standard-math sieve resumed from its own file takes the file's exponent
// for its packed K sequence, and sieve plus resume leave what one wide sieve
// over the same primes leaves. Both strike even bases (the wide sieve no
// others), so the range starts even. The summaries say what each run did.
TEST_F(CliProgram, AStandardResumeGoesOnAsTheWideSieveWould) {
    const std::string pk = dir_.File("pk"), f = dir_.File("f.txt"), o = dir_.File("o.txt");
    MakeSequence(pk, 1400);  // p beyond 20,000,000
    const std::vector<std::string> range = {"-N", "8192", "--bmin", "2", "--bmax", "20000"};
    // A GPU asked for, here where there may be none, is not refused: the
    // standard sieve never uses one, and says so.
    std::vector<std::string> sieve = {"sieve", "--factors", f, "--output", o, "--standard", "--packed-k", pk,
                                      "--end-p", "2000000", "--device", "gpu"};
    sieve.insert(sieve.begin() + 1, range.begin(), range.end());
    ASSERT_EQ(Run(sieve), 0) << err_;
    EXPECT_NE(err_.find("\nStandard math runs on the CPU; --device gpu is not used. "), std::string::npos) << err_;
    const std::vector<std::string> first = testing::Lines(ReadAll(o));
    const std::string header = "ABC $a^$b+1 // ";
    ASSERT_EQ(first[0].rfind(header, 0), 0u);
    const std::string firstP = first[0].substr(header.size());
    const size_t left = first.size() - 1;
    EXPECT_NE(err_.find("Summary: P 0 to " + firstP + ", about "), std::string::npos) << err_;
    EXPECT_NE(err_.find(", " + std::to_string(10000 - left) + " bases removed"), std::string::npos) << err_;

    ASSERT_EQ(Run({"resume", "--input", o, "--output", o, "--factors", f, "--standard", "--packed-k", pk, "--end-p",
                   "20000000"}),
              0)
        << err_;
    const std::vector<std::string> second = testing::Lines(ReadAll(o));
    EXPECT_NE(err_.find("Summary: P " + firstP + " to " + second[0].substr(header.size()) + ", about "),
              std::string::npos)
        << err_;
    EXPECT_NE(err_.find(", " + std::to_string(left - (second.size() - 1)) + " bases removed"), std::string::npos)
        << err_;

    std::vector<std::string> wide = {"sieve", "--factors", dir_.File("wf.txt"), "--output", dir_.File("wo.txt"),
                                     "--end-p", "20000000"};
    wide.insert(wide.begin() + 1, range.begin(), range.end());
    ASSERT_EQ(Run(wide), 0) << err_;
    EXPECT_EQ(ReadAll(o), ReadAll(dir_.File("wo.txt")));
    const std::set<std::string> standardLines = FactorLineSet(ReadAll(f));
    EXPECT_GT(standardLines.size(), 1000u);
    EXPECT_EQ(standardLines, FactorLineSet(ReadAll(dir_.File("wf.txt"))));
}

// The form's check of a resume's folder reads the exponent from the input,
// whatever n the form still holds from an earlier job.
TEST(CliValidation, AStandardResumeChecksTheSequenceOfItsInputsExponent) {
    ScratchFolder dir;
    MakeSequence(dir.File("pk"), 200);
    WriteAll(dir.File("in.txt"), "ABC $a^$b+1 // 65537\n2 8192\n4 8192\n");
    JobFiles files;
    files.command = kCommandResume;
    files.standard = true;
    files.inputFile = dir.File("in.txt");
    files.outputFile = dir.File("in.txt");
    files.factorFile = dir.File("f.txt");
    files.packedKDir = dir.File("pk");
    for (int32_t stale : {0, 14}) {
        files.exponentLog2 = stale;
        EXPECT_EQ(CheckJobFiles(files), "") << stale;
    }
    WriteAll(dir.File("in.txt"), "ABC $a^$b+1 // 65537\n2 16384\n");
    EXPECT_EQ(CheckJobFiles(files), "Packed K folder " + dir.File("pk") + " holds no sequence file " +
                                        SequenceFileName(dir.File("pk"), 14, 0) + " for this exponent.");
}

// A standard sieve on a sequence begun high (a build with a start P) is
// refused before any file is touched, new or resumed, and near 2^63 as well.
TEST_F(CliProgram, AStandardSieveBelowItsSequenceIsRefusedFirst) {
    const std::string pk = dir_.File("pk"), f = dir_.File("f.txt"), o = dir_.File("o.txt");
    const int64_t nearLimit = (INT64_MAX - 1) / 16384 - 3000;
    struct Case {
        int64_t firstK;
        std::vector<std::string> args;
        std::string start;  // the P the refusal names
    };
    const Case cases[] = {
        {61036, {"sieve", "-N", "8192", "--bmin", "2", "--bmax", "20000", "--end-p", "2000000000"}, "0"},
        {nearLimit, {"sieve", "-N", "8192", "--bmin", "2", "--bmax", "20000", "--end-p", "9223372036000000000"}, "0"},
        // An end P alone starts just above the input's resume point.
        {61036, {"resume", "--input", o, "--end-p", "2000000000"}, "65538"},
        {61036, {"resume", "--input", o, "--start-p", "900000000", "--end-p", "2000000000"}, "900000000"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.start);
        std::filesystem::remove_all(pk);
        MakeSequence(pk, c.firstK + 300, c.firstK);
        WriteAll(o, "ABC $a^$b+1 // 65537\n2 8192\n4 8192\n");
        std::vector<std::string> args = c.args;
        for (const char* more : {"--factors", f.c_str(), "--output", o.c_str(), "--standard", "--packed-k",
                                        pk.c_str(), "--force"})
            args.push_back(more);
        EXPECT_EQ(Run(args), 2);
        EXPECT_EQ(err_.rfind("The sieve starts at P " + c.start + ", below p ", 0), 0u) << err_;
        EXPECT_NE(err_.find(", the first prime of packed K sequence file " + SequenceFileName(pk, 13, 0)),
                  std::string::npos);
        EXPECT_EQ(ReadAll(o), "ABC $a^$b+1 // 65537\n2 8192\n4 8192\n");
        EXPECT_FALSE(std::filesystem::exists(f));
    }
}

// A job whose output cannot be made ends at once, with nothing sieved and
// nothing emptied.
TEST_F(CliProgram, AnOutputThatCannotBeMadeStopsTheJobBeforeAnyFileIsTouched) {
    const std::string f = dir_.File("f.txt"), o = dir_.File("missing/o.txt");
    WriteAll(f, "old factors\n");
    EXPECT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "100", "--factors", f, "--output", o, "--force"}),
              1);
    EXPECT_EQ(err_, "Output File " + o + " cannot be created.\n");
    EXPECT_EQ(ReadAll(f), "old factors\n");
}

// One job per output, factor file and packed K folder: a second job on any
// of them (by another name too) is refused while the first holds them.
TEST(CliLocks, ASecondJobOnTheSameFilesIsRefused) {
    ScratchFolder dir;
    CliOptions first = NewSieve(dir);
    Validation a = ValidateJob(first);
    ASSERT_TRUE(a.ok) << a.message;
    WriteAll(first.factorFile, "");  // as the job makes it, so that it can have other names
    JobLock held;
    std::string message;
    ASSERT_TRUE(LockJobFiles(FilesOf(a.request), held, message)) << message;
    EXPECT_TRUE(std::filesystem::exists(JobLock::LockFileName(first.outputFile)));

    CliOptions sameOutput = NewSieve(dir);
    sameOutput.factorFile = dir.File("other-factors.txt");
    sameOutput.outputFile = dir.Path() + "/./out.txt";
    CliOptions sameFactors = NewSieve(dir);
    sameFactors.outputFile = dir.File("other-out.txt");
    sameFactors.force = true;
    // A hard link is one file under another name, with a lock file of its own.
    ASSERT_EQ(::link(first.factorFile.c_str(), dir.File("linked.txt").c_str()), 0);
    CliOptions linkedFactors = NewSieve(dir);
    linkedFactors.factorFile = dir.File("linked.txt");
    linkedFactors.outputFile = dir.File("third-out.txt");
    linkedFactors.force = true;
    std::filesystem::create_directory(dir.File("pk"));
    CliOptions build = Build(dir);
    build.packedDir = dir.File("pk");
    JobLock buildLock;
    ASSERT_TRUE(LockJobFiles(FilesOf(ValidateJob(build).request), buildLock, message)) << message;

    struct Case {
        CliOptions options;
        std::string message;
    } cases[] = {
        {sameOutput, "Output File " + sameOutput.outputFile + " is in use by another job; only one job at a time may write it."},
        {sameFactors, "Factor output file " + sameFactors.factorFile + " is in use by another job; only one job at a time may write it."},
        {build, "Packed K folder " + build.packedDir + " is in use by another job; only one job at a time may write it."},
        {linkedFactors, "Factor output file " + linkedFactors.factorFile + " is in use by another job; only one job at a time may write it."},
    };
    for (const Case& c : cases) {
        Validation v = ValidateJob(c.options);
        ASSERT_TRUE(v.ok) << v.message;
        JobLock second;
        EXPECT_FALSE(LockJobFiles(FilesOf(v.request), second, message));
        EXPECT_EQ(message, c.message);
    }
    // Released, the lock files go and the files are free again.
    held.Release();
    EXPECT_FALSE(std::filesystem::exists(JobLock::LockFileName(first.outputFile)));
    JobLock again;
    EXPECT_TRUE(LockJobFiles(FilesOf(ValidateJob(sameOutput).request), again, message)) << message;
}

}  // namespace
}  // namespace varnesk::cli
