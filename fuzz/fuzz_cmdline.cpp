// The command-line parser on argument vectors split from the input at NUL
// bytes. An accepted job must satisfy what the worker relies on; the file
// names are replaced by names in a scratch folder so that validation reads
// no arbitrary file.
#include <cstdint>
#include <string>
#include <vector>

#include "cli/job.h"
#include "cli/options.h"
#include "fuzz_support.h"
#include "kernels/sieve_job.h"

using namespace varnesk;
using namespace varnesk::cli;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<std::string> args = {"varnesk-cli"};
    std::string current;
    for (size_t i = 0; i < size && args.size() < 64; ++i) {
        if (data[i] == 0) {
            args.push_back(current);
            current.clear();
        } else {
            current += static_cast<char>(data[i]);
        }
    }
    if (args.size() < 64) args.push_back(current);
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());

    const CliParse parsed = ParseCommandLine(static_cast<int>(argv.size()), argv.data());
    if (!parsed.ok) {
        FUZZ_CHECK(!parsed.error.empty());
        return 0;
    }
    CliOptions o = parsed.options;
    FUZZ_CHECK(o.saveMinutes >= 0 && o.saveMinutes <= 2147483647 / 60);
    FUZZ_CHECK(o.tickSeconds >= 0.01 && o.tickSeconds <= 86400);
    FUZZ_CHECK(o.threads >= 0 && o.threads <= 1024);
    if (o.command != CliCommand::Sieve && o.command != CliCommand::Resume && o.command != CliCommand::BuildPackedK)
        return 0;

    const std::string& dir = fuzz::ScratchDir();
    auto rename = [&](std::string& name, const char* to) {
        if (!name.empty()) name = dir + "/" + to;
    };
    rename(o.factorFile, "f");
    rename(o.outputFile, "o");
    rename(o.inputFile, "i");
    rename(o.packedDir, "d");
    rename(o.packedKPath, "pk");
    rename(o.logFile, "log");
    const Validation v = ValidateJob(o);
    if (!v.ok) {
        FUZZ_CHECK(!v.message.empty());
        return 0;
    }
    const JobRequest& plan = v.request;
    FUZZ_CHECK(plan.minutesPerSave == o.saveMinutes);
    if (plan.command == 0) {  // a new sieve: the bitmap and the walk must fit
        FUZZ_CHECK(plan.bMin >= 1 && plan.bMin < plan.bMax && plan.bMax < kMaxBase);
        FUZZ_CHECK(plan.exponentLog2 >= 1 && (int32_t{1} << plan.exponentLog2) == plan.exponent);
        FUZZ_CHECK(!plan.useStartStop || plan.stopP > 4);
    } else if (plan.command == 31) {
        FUZZ_CHECK(plan.exponentLog2 >= 13 && plan.exponentLog2 <= 30);
        FUZZ_CHECK((int32_t{1} << plan.exponentLog2) == plan.exponent);
    }
    // Every P a sieve is given is one it can reach: below 2^96, and below
    // 2^63 for standard math.
    const UInt128 reach = plan.wideMath ? kWideLimitP : kStandardLimitP;
    if (plan.command != 31 && plan.useStartStop) FUZZ_CHECK(plan.stopP < reach);
    if (plan.command == 1 && plan.useStartStop) FUZZ_CHECK(plan.startP < reach);
    return 0;
}
