#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "cli/options.h"

namespace varnesk::cli {
namespace {

CliParse Parse(std::vector<std::string> args) {
    args.insert(args.begin(), "varnesk-cli");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    return ParseCommandLine(static_cast<int>(args.size()), argv.data());
}

TEST(CliOptions, SieveTakesEveryOption) {
    CliParse r = Parse({"sieve", "-N", "65536", "--bmin", "3", "--bmax", "1000001", "--factors", "f.txt", "--output",
                        "o.txt", "--end-p", "18446744073709551615", "--start-p", "1000000", "--save-minutes", "5",
                        "--tick-seconds", "0.2", "--log", "run.log", "--standard", "--packed-k", "pk", "--threads",
                        "3", "--kernel", "scalar", "--force", "-q"});
    ASSERT_TRUE(r.ok) << r.error;
    const CliOptions& o = r.options;
    EXPECT_EQ(o.command, CliCommand::Sieve);
    EXPECT_EQ(o.exponent, 65536);
    EXPECT_EQ(o.bMin, 3);
    EXPECT_EQ(o.bMax, 1000001);
    EXPECT_EQ(o.factorFile, "f.txt");
    EXPECT_EQ(o.outputFile, "o.txt");
    EXPECT_TRUE(o.haveEndP);
    EXPECT_EQ(o.endP, 18446744073709551615ull);
    EXPECT_TRUE(o.haveStartP);
    EXPECT_EQ(o.startP, 1000000u);
    EXPECT_EQ(o.saveMinutes, 5);
    EXPECT_DOUBLE_EQ(o.tickSeconds, 0.2);
    EXPECT_EQ(o.logFile, "run.log");
    EXPECT_TRUE(o.standard);
    EXPECT_EQ(o.packedKPath, "pk");
    EXPECT_EQ(o.threads, 3);
    EXPECT_EQ(o.kernel, "scalar");
    EXPECT_TRUE(o.force);
    EXPECT_TRUE(o.quiet);
}

TEST(CliOptions, DefaultsMirrorTheEmptyForm) {
    CliParse r = Parse({"sieve"});
    ASSERT_TRUE(r.ok);
    const CliOptions& o = r.options;
    EXPECT_EQ(o.exponent, 0);
    EXPECT_EQ(o.bMin, 0);
    EXPECT_EQ(o.bMax, 0);
    EXPECT_FALSE(o.haveStartP);
    EXPECT_FALSE(o.haveEndP);
    EXPECT_EQ(o.saveMinutes, 60);
    EXPECT_DOUBLE_EQ(o.tickSeconds, 5.0);
    EXPECT_EQ(o.threads, 0);
    EXPECT_EQ(o.kernel, "");
    EXPECT_FALSE(o.standard);
    EXPECT_FALSE(o.force);
    EXPECT_FALSE(o.quiet);
}

TEST(CliOptions, ResumeAndBuild) {
    CliParse r = Parse({"resume", "--input", "in.txt", "--output=in.txt", "--factors", "f.txt", "--quiet",
                        "--kernel=auto"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, CliCommand::Resume);
    EXPECT_EQ(r.options.inputFile, "in.txt");
    EXPECT_EQ(r.options.outputFile, "in.txt");
    EXPECT_TRUE(r.options.quiet);
    EXPECT_EQ(r.options.kernel, "auto");

    r = Parse({"build-packed-k", "--dir", "/tmp/pk", "-N", "8192", "--start-p", "99", "--tick-seconds", "1",
               "--log", "b.log", "-q"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.command, CliCommand::BuildPackedK);
    EXPECT_EQ(r.options.packedDir, "/tmp/pk");
    EXPECT_EQ(r.options.exponent, 8192);
    EXPECT_EQ(r.options.startP, 99u);
    EXPECT_DOUBLE_EQ(r.options.tickSeconds, 1.0);
}

TEST(CliOptions, LastValueWinsAndValuesMayLookLikeOptions) {
    CliParse r = Parse({"sieve", "--bmin", "4", "--bmin", "6", "--bmin", "-5", "--log", "--help"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.bMin, -5);  // refused later, by the form's rule
    EXPECT_EQ(r.options.logFile, "--help");
    EXPECT_EQ(r.options.command, CliCommand::Sieve);
}

TEST(CliOptions, HelpAndVersion) {
    EXPECT_EQ(Parse({"--help"}).options.command, CliCommand::Help);
    EXPECT_EQ(Parse({"-h"}).options.command, CliCommand::Help);
    EXPECT_EQ(Parse({"--version"}).options.command, CliCommand::Version);
    CliParse r = Parse({"resume", "--help", "--no-such-option"});
    ASSERT_TRUE(r.ok);
    EXPECT_EQ(r.options.command, CliCommand::Help);
    EXPECT_EQ(Parse({"build-packed-k", "--version"}).options.command, CliCommand::Version);
    EXPECT_NE(std::string(UsageText()).find("varnesk-cli build-packed-k --dir DIR -N N"), std::string::npos);
    EXPECT_STREQ(kVersionText, "varnesk-cli 1.0 (Varnesk Build 306)");
}

TEST(CliOptions, MissingValues) {
    for (const char* opt : {"-N", "--bmin", "--bmax", "--factors", "--output", "--end-p", "--start-p",
                            "--save-minutes", "--tick-seconds", "--log", "--packed-k", "--threads", "--kernel"}) {
        CliParse r = Parse({"sieve", opt});
        EXPECT_FALSE(r.ok) << opt;
        EXPECT_EQ(r.error, std::string("option ") + opt + " needs a value");
    }
    EXPECT_EQ(Parse({"resume", "--input"}).error, "option --input needs a value");
    EXPECT_EQ(Parse({"build-packed-k", "--dir"}).error, "option --dir needs a value");
}

TEST(CliOptions, BadNumbersAreUsageErrors) {
    const std::vector<std::vector<std::string>> bad = {
        {"-N", "12x"},         {"-N", ""},          {"-N", "-"},          {"-N", " 32"},
        {"-N", "1e3"},         {"--bmin", "2.5"},   {"--bmax", "2147483648"},
        {"--bmin", "--bmax"},  {"--end-p", "-5"},   {"--end-p", "79228162514264337593543950336"},
        {"--start-p", "0x10"}, {"--end-p", "1,000"}, {"--save-minutes", "-1"},
        {"--save-minutes", "35791395"},             {"--tick-seconds", "0"},
        {"--tick-seconds", "-1"}, {"--tick-seconds", "1e-1"}, {"--tick-seconds", "abc"},
        {"--tick-seconds", "0.001"}, {"--tick-seconds", "."}, {"--threads", "0"},
        {"--threads", "many"}, {"--kernel", "avx"}, {"--kernel", ""},
        {"--device", "gpu:0"}, {"--device", "opencl"}, {"--device", ""}, {"--device", "gpu:4294967296:0"},
    };
    for (const auto& args : bad) {
        std::vector<std::string> full = {"sieve"};
        full.insert(full.end(), args.begin(), args.end());
        CliParse r = Parse(full);
        EXPECT_FALSE(r.ok) << args[0] << " " << args[1];
        EXPECT_NE(r.error.find(args[0]), std::string::npos) << r.error;
    }
    // The limits themselves are accepted.
    EXPECT_TRUE(Parse({"sieve", "-N", "-2147483648", "--save-minutes", "35791394", "--tick-seconds", "0.01"}).ok);
    EXPECT_TRUE(Parse({"sieve", "--bmax", "+2147483647", "--save-minutes", "0", "--tick-seconds", "86400"}).ok);
    // p runs to just below 2^96, where the wide sieve ends.
    CliParse wide = Parse({"resume", "--start-p", "18446744073709551616", "--end-p", "79228162514264337593543950335"});
    ASSERT_TRUE(wide.ok) << wide.error;
    EXPECT_EQ(FormatUInt128(wide.options.startP), "18446744073709551616");
    EXPECT_EQ(FormatUInt128(wide.options.endP), "79228162514264337593543950335");
    EXPECT_FALSE(Parse({"resume", "--start-p", "99999999999999999999999999999999999999999"}).ok);
    // A device by name or by place; only sieves and resumes take one.
    EXPECT_EQ(Parse({"resume", "--device", "gpu:1:0"}).options.device, "gpu:1:0");
    EXPECT_EQ(Parse({"sieve", "--device=cpu"}).options.device, "cpu");
    EXPECT_FALSE(Parse({"build-packed-k", "--device", "gpu"}).ok);
    EXPECT_EQ(Parse({"sieve", "--device", "gpu:4294967296:0"}).error,
              "option --device: device gpu:4294967296:0: the platform number 4294967296 is out of range (from 0 "
              "to 2147483647)");
    EXPECT_EQ(Parse({"devices"}).options.command, CliCommand::Devices);
}

TEST(CliOptions, TimeLimitsAndStopFiles) {
    const std::vector<std::pair<std::string, int64_t>> good = {
        {"45s", 45}, {"90m", 5400}, {"8h", 28800}, {"2d", 172800}, {"7", 7}, {"1s", 1}, {"3650d", 315360000},
        {"315360000", 315360000},
    };
    for (const auto& [text, seconds] : good) {
        for (const char* command : {"sieve", "resume", "build-packed-k"}) {
            CliParse r = Parse({command, "--time-limit", text});
            ASSERT_TRUE(r.ok) << command << " " << text << ": " << r.error;
            EXPECT_EQ(r.options.timeLimitSeconds, seconds) << text;
        }
    }
    // Malformed, zero, negative or beyond ten years: the message names the value.
    for (const std::string bad : {"0", "0s", "-5", "-5m", "+5", "8x", "8H", "1.5h", "", "h", " 5", "5 m", "5mm",
                                  "3651d", "315360001", "99999999999999999999s"}) {
        CliParse r = Parse({"resume", "--time-limit=" + bad});
        EXPECT_FALSE(r.ok) << bad;
        EXPECT_EQ(r.error.rfind("option --time-limit: '" + bad + "' is not a duration", 0), 0u) << r.error;
    }
    CliParse r = Parse({"resume", "--stop-file", "STOP"});
    ASSERT_TRUE(r.ok) << r.error;
    EXPECT_EQ(r.options.stopFile, "STOP");
    EXPECT_EQ(Parse({"sieve", "--stop-file="}).error, "option --stop-file: the file name is empty");
    EXPECT_EQ(Parse({"verify", "--time-limit", "5"}).error, "option --time-limit does not apply to verify");
    EXPECT_EQ(Parse({"merge", "--stop-file", "S"}).error, "option --stop-file does not apply to merge");
}

TEST(CliOptions, UnknownOrMisplacedArguments) {
    EXPECT_EQ(Parse({}).error, "no command given");
    EXPECT_FALSE(Parse({"sieeve"}).ok);
    EXPECT_FALSE(Parse({"-N", "32"}).ok);
    EXPECT_EQ(Parse({"sieve", "--bogus"}).error, "unknown option '--bogus'");
    EXPECT_EQ(Parse({"sieve", "--bogus=1"}).error, "unknown option '--bogus'");
    EXPECT_EQ(Parse({"sieve", "-n", "32"}).error, "unknown option '-n'");
    EXPECT_EQ(Parse({"sieve", "stray"}).error, "unexpected argument 'stray'");
    EXPECT_EQ(Parse({"sieve", "--force=yes"}).error, "option --force takes no value");
    EXPECT_EQ(Parse({"sieve", "--input", "x"}).error, "option --input does not apply to sieve");
    EXPECT_EQ(Parse({"resume", "--bmin", "2"}).error, "option --bmin does not apply to resume");
    EXPECT_EQ(Parse({"resume", "-N", "32"}).error, "option -N does not apply to resume");
    EXPECT_EQ(Parse({"build-packed-k", "--end-p", "9"}).error, "option --end-p does not apply to build-packed-k");
    EXPECT_EQ(Parse({"build-packed-k", "--force"}).error, "option --force does not apply to build-packed-k");
    EXPECT_EQ(Parse({"sieve", "--packed-k", "pk"}).error, "option --packed-k is only used with --standard");
}

// Whatever the arguments, the parser answers with a result or an error text.
TEST(CliOptions, ArbitraryArgumentsNeverBreakTheParser) {
    const std::vector<std::string> vocabulary = {
        "sieve", "resume", "build-packed-k", "-N", "--bmin", "--bmax", "--factors", "--output", "--input",
        "--dir", "--end-p", "--start-p", "--save-minutes", "--tick-seconds", "--log", "--standard",
        "--packed-k", "--threads", "--kernel", "--force", "-q", "--help", "--version", "-", "--", "=", "--=",
        "--bmin=", "--end-p=7", "0", "-1", "4", "5", "32", "99999999999999999999999", "0.5", "scalar", "",
        "x y", "\xff", "--tick-seconds=0.1"};
    std::mt19937 rng(12345);
    for (int round = 0; round < 20000; ++round) {
        std::vector<std::string> args;
        int count = static_cast<int>(rng() % 8);
        for (int i = 0; i < count; ++i) args.push_back(vocabulary[rng() % vocabulary.size()]);
        CliParse r = Parse(args);
        EXPECT_NE(r.ok, !r.error.empty());
    }
}

}  // namespace
}  // namespace varnesk::cli
