// The command line of varnesk-cli: one table of options, parsed without
// side effects so that it can be fed arbitrary argument vectors.
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "platform/numparse.h"

namespace varnesk::cli {

enum class CliCommand { Sieve, Resume, BuildPackedK, Verify, Export, Merge, Devices, SelfTest, Help, Version };

struct CliOptions {
    CliCommand command = CliCommand::Help;

    // Unset numbers keep the form's defaults (0), so that a missing value
    // meets the same refusal as an empty field on the form.
    int32_t exponent = 0;  // -N, N itself
    int32_t bMin = 0;
    int32_t bMax = 0;
    bool haveBMin = false;
    bool haveBMax = false;
    std::string factorFile;
    std::string candidateFile;  // verify --candidates
    std::string algebraicFile;  // verify --algebraic
    std::string outputFile;
    std::string inputFile;
    std::string packedDir;  // build-packed-k --dir
    std::string logFile;
    std::string format;  // export --format: genefer, list or abc
    bool keepAlgebraic = false;  // export: keep the bases c^m (m odd)
    bool dropSquares = false;    // export: drop the bases s^2
    std::vector<std::string> unitFiles;  // merge: the units' factor files, in the order given

    bool haveStartP = false;
    bool haveEndP = false;
    UInt128 startP = 0;  // below 2^96
    UInt128 endP = 0;

    int32_t saveMinutes = 60;
    double tickSeconds = 5.0;
    std::string statsFile;   // --stats: one CSV row per progress report
    double testSeconds = 0;  // --test-seconds: a primality test's time per candidate

    bool standard = false;
    std::string packedKPath;  // --packed-k, standard-math mode only

    // Clean stops that need no signal: a file that appears, or a budget of
    // time from the job's start (0: none).
    std::string stopFile;
    int64_t timeLimitSeconds = 0;

    int32_t threads = 0;  // 0: all cores
    std::string kernel;  // --kernel: scalar, avx2, avx512 or auto; empty: VARNESK_KERNEL or auto
    std::string device;  // --device: auto, cpu, gpu or gpu:P:D; empty: VARNESK_DEVICE or auto
    bool force = false;
    bool quiet = false;
    bool quick = false;  // selftest --quick: the short form
};

struct CliParse {
    bool ok = false;
    CliOptions options;
    std::string error;  // usage error text when !ok
};

// argv[0] is the program name. Never prints, never exits.
CliParse ParseCommandLine(int argc, const char* const* argv);

// The text of --help.
const char* UsageText();

// Every option name and alias of the table ("-N", "--bmin", ...) and every
// command, for the tests that keep the help and the manual page in step.
std::vector<std::string> OptionNames();
std::vector<std::string> CommandNames();
inline constexpr const char* kVersionText = "varnesk-cli 1.0 (Varnesk Build 306)";

}  // namespace varnesk::cli
