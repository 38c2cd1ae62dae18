#include "cli/options.h"

#include <charconv>
#include <cmath>
#include <string_view>

#include "files/export.h"
#include "gpu/opencl.h"
#include "platform/numparse.h"

namespace varnesk::cli {

namespace {

enum class Kind { Flag, Int32, PValue, Text, Seconds, Duration, Kernel };

enum class Opt {
    Exponent, BMin, BMax, Factors, Candidates, Output, Input, Dir, StartP, EndP, SaveMinutes, TickSeconds, Log,
    Stats, TestSeconds, Format, KeepAlgebraic, DropSquares, Algebraic, Standard, PackedK, StopFile, TimeLimit, Threads,
    Kernel, Device, Force, Quiet, Quick, Help, Version,
};

constexpr unsigned kSieve = 1, kResume = 2, kBuild = 4, kVerify = 8, kExport = 16, kMerge = 32, kDevices = 64,
                   kSelfTest = 128;
constexpr unsigned kJobs = kSieve | kResume | kBuild,
                   kAll = kJobs | kVerify | kExport | kMerge | kDevices | kSelfTest;

struct CommandRow {
    const char* name;
    CliCommand command;
    unsigned where;  // the bit of kOptions[].commands
};

constexpr CommandRow kCommands[] = {
    {"sieve", CliCommand::Sieve, kSieve},
    {"resume", CliCommand::Resume, kResume},
    {"build-packed-k", CliCommand::BuildPackedK, kBuild},
    {"verify", CliCommand::Verify, kVerify},
    {"export", CliCommand::Export, kExport},
    {"merge", CliCommand::Merge, kMerge},
    {"devices", CliCommand::Devices, kDevices},
    {"selftest", CliCommand::SelfTest, kSelfTest},
};

struct OptionRow {
    Opt id;
    const char* name;
    const char* alias;  // null when none
    Kind kind;
    unsigned commands;  // where the option is accepted
};

constexpr OptionRow kOptions[] = {
    {Opt::Exponent, "-N", nullptr, Kind::Int32, kSieve | kBuild},
    {Opt::BMin, "--bmin", nullptr, Kind::Int32, kSieve},
    {Opt::BMax, "--bmax", nullptr, Kind::Int32, kSieve},
    {Opt::Factors, "--factors", nullptr, Kind::Text, kSieve | kResume | kVerify},
    {Opt::Candidates, "--candidates", nullptr, Kind::Text, kVerify},
    {Opt::Output, "--output", nullptr, Kind::Text, kSieve | kResume | kExport | kMerge},
    {Opt::Input, "--input", nullptr, Kind::Text, kResume | kExport | kMerge},
    {Opt::Dir, "--dir", nullptr, Kind::Text, kBuild},
    {Opt::StartP, "--start-p", nullptr, Kind::PValue, kJobs},
    {Opt::EndP, "--end-p", nullptr, Kind::PValue, kSieve | kResume},
    {Opt::SaveMinutes, "--save-minutes", nullptr, Kind::Int32, kSieve | kResume},
    {Opt::TickSeconds, "--tick-seconds", nullptr, Kind::Seconds, kJobs},
    {Opt::Log, "--log", nullptr, Kind::Text, kJobs},
    {Opt::Stats, "--stats", nullptr, Kind::Text, kSieve | kResume},
    {Opt::TestSeconds, "--test-seconds", nullptr, Kind::Seconds, kSieve | kResume},
    {Opt::Format, "--format", nullptr, Kind::Text, kExport},
    {Opt::KeepAlgebraic, "--keep-algebraic", nullptr, Kind::Flag, kExport},
    {Opt::DropSquares, "--drop-squares", nullptr, Kind::Flag, kExport},
    {Opt::Algebraic, "--algebraic", nullptr, Kind::Text, kVerify},
    {Opt::Standard, "--standard", nullptr, Kind::Flag, kSieve | kResume},
    {Opt::PackedK, "--packed-k", nullptr, Kind::Text, kSieve | kResume},
    {Opt::StopFile, "--stop-file", nullptr, Kind::Text, kJobs},
    {Opt::TimeLimit, "--time-limit", nullptr, Kind::Duration, kJobs},
    {Opt::Threads, "--threads", nullptr, Kind::Int32, kSieve | kResume | kVerify | kMerge},
    {Opt::Kernel, "--kernel", nullptr, Kind::Kernel, kJobs | kSelfTest},
    {Opt::Device, "--device", nullptr, Kind::Text, kSieve | kResume | kSelfTest},
    {Opt::Force, "--force", nullptr, Kind::Flag, kSieve | kResume | kExport | kMerge},
    {Opt::Quiet, "-q", "--quiet", Kind::Flag, kJobs},
    {Opt::Quick, "--quick", nullptr, Kind::Flag, kSelfTest},
    {Opt::Help, "--help", "-h", Kind::Flag, kAll},
    {Opt::Version, "--version", nullptr, Kind::Flag, kAll},
};

// The longest that --save-minutes may be so that minutes * 60 stays a
// 32-bit number of seconds.
constexpr int32_t kMaxSaveMinutes = 2147483647 / 60;
constexpr int32_t kMaxThreads = 1024;
// Ten years: any budget a job is given, and far from overflowing.
constexpr int64_t kMaxDurationSeconds = int64_t{3650} * 86400;

const OptionRow* FindOption(std::string_view name) {
    for (const OptionRow& o : kOptions)
        if (name == o.name || (o.alias && name == o.alias)) return &o;
    return nullptr;
}

// numparse reads a leading number and ignores the rest; an option's value
// must be that number and nothing else.
bool AllDigits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

// Digits with an optional sign, whatever their size.
bool IsWholeNumber(std::string_view s) {
    if (!s.empty() && (s[0] == '-' || s[0] == '+')) s.remove_prefix(1);
    return AllDigits(s);
}

bool StrictInt32(std::string_view s, int32_t* out) {
    std::string_view digits = s;
    if (!digits.empty() && (digits[0] == '-' || digits[0] == '+')) digits.remove_prefix(1);
    if (!AllDigits(digits)) return false;
    ParsedNumber n = ParseInt32(s);
    if (!n.hasDigits || n.overflow) return false;
    *out = static_cast<int32_t>(n.value);
    return true;
}

// A value of p: below 2^96, where the wide sieve ends.
bool StrictPValue(std::string_view s, UInt128* out) {
    std::string_view digits = s;
    if (!digits.empty() && digits[0] == '+') digits.remove_prefix(1);
    if (!AllDigits(digits)) return false;
    ParsedWide n = ParseUInt128(s);
    if (!n.hasDigits || n.overflow || n.value >= (UInt128{1} << 96)) return false;
    *out = n.value;
    return true;
}

// The one fractional value: the tick period, which tests shorten to a
// fraction of a second.
bool StrictSeconds(std::string_view s, double* out) {
    if (s.empty() || s.find_first_not_of("0123456789.") != std::string_view::npos) return false;
    double v = 0;
    auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), v, std::chars_format::fixed);
    if (ec != std::errc() || end != s.data() + s.size() || !std::isfinite(v)) return false;
    *out = v;
    return true;
}

// A budget of time: whole seconds, or a whole number followed by one unit
// (45s, 90m, 8h, 2d); above zero.
bool StrictDuration(std::string_view s, int64_t* seconds) {
    int64_t unit = 1;
    if (!s.empty() && (s.back() < '0' || s.back() > '9')) {
        switch (s.back()) {
        case 's': unit = 1; break;
        case 'm': unit = 60; break;
        case 'h': unit = 3600; break;
        case 'd': unit = 86400; break;
        default: return false;
        }
        s.remove_suffix(1);
    }
    if (!AllDigits(s)) return false;
    const ParsedNumber n = ParseInt64(s);
    if (!n.hasDigits || n.overflow || n.value <= 0 || n.value > kMaxDurationSeconds / unit) return false;
    *seconds = n.value * unit;
    return true;
}

std::string Quoted(std::string_view s) {
    std::string q(1, '\'');
    q.append(s);
    q += '\'';
    return q;
}

// Applies one option with its value; returns an error text or empty.
std::string Apply(const OptionRow& o, std::string_view value, CliOptions& opt) {
    const std::string name = o.name;
    int32_t i32 = 0;
    UInt128 pValue = 0;
    switch (o.kind) {
    case Kind::Int32:
        if (!StrictInt32(value, &i32)) {
            if (IsWholeNumber(value))
                return "option " + name + ": " + Quoted(value) + " is out of range (from -2147483648 to 2147483647)";
            return "option " + name + ": " + Quoted(value) + " is not a whole number";
        }
        break;
    case Kind::PValue:
        if (!StrictPValue(value, &pValue))
            return "option " + name + ": " + Quoted(value) +
                   " is not a whole number from 0 to 79228162514264337593543950335 (2^96 - 1)";
        break;
    default:
        break;
    }

    switch (o.id) {
    case Opt::Exponent: opt.exponent = i32; break;
    case Opt::BMin: opt.bMin = i32; opt.haveBMin = true; break;
    case Opt::BMax: opt.bMax = i32; opt.haveBMax = true; break;
    case Opt::Factors: opt.factorFile = value; break;
    case Opt::Candidates: opt.candidateFile = value; break;
    case Opt::Algebraic: opt.algebraicFile = value; break;
    case Opt::KeepAlgebraic: opt.keepAlgebraic = true; break;
    case Opt::DropSquares: opt.dropSquares = true; break;
    case Opt::Output: opt.outputFile = value; break;
    case Opt::Input: opt.inputFile = value; break;
    case Opt::Dir: opt.packedDir = value; break;
    case Opt::StartP: opt.startP = pValue; opt.haveStartP = true; break;
    case Opt::EndP: opt.endP = pValue; opt.haveEndP = true; break;
    case Opt::SaveMinutes:
        if (i32 < 0 || i32 > kMaxSaveMinutes)
            return "option " + name + ": minutes must be from 0 to " + std::to_string(kMaxSaveMinutes);
        opt.saveMinutes = i32;
        break;
    case Opt::TickSeconds: {
        double s = 0;
        if (!StrictSeconds(value, &s) || s < 0.01 || s > 86400)
            return "option " + name + ": " + Quoted(value) + " is not a number of seconds from 0.01 to 86400";
        opt.tickSeconds = s;
        break;
    }
    case Opt::Log: opt.logFile = value; break;
    case Opt::Stats: opt.statsFile = value; break;
    case Opt::TestSeconds: {
        double s = 0;
        if (!StrictSeconds(value, &s) || s < 0.001 || s > 1e9)
            return "option " + name + ": " + Quoted(value) + " is not a number of seconds from 0.001 to 1000000000";
        opt.testSeconds = s;
        break;
    }
    case Opt::Format: {
        ExportFormat ignored;
        if (!ParseExportFormat(value, &ignored))
            return "option " + name + ": " + Quoted(value) + " is not genefer, list or abc";
        opt.format = value;
        break;
    }
    case Opt::Standard: opt.standard = true; break;
    case Opt::PackedK: opt.packedKPath = value; break;
    case Opt::StopFile:
        if (value.empty()) return "option " + name + ": the file name is empty";
        opt.stopFile = value;
        break;
    case Opt::TimeLimit:
        if (!StrictDuration(value, &opt.timeLimitSeconds))
            return "option " + name + ": " + Quoted(value) +
                   " is not a duration from 1 second to 3650 days (seconds, or a number with s, m, h or d: 45s, "
                   "90m, 8h, 2d)";
        break;
    case Opt::Threads:
        if (i32 < 1 || i32 > kMaxThreads)
            return "option " + name + ": threads must be from 1 to " + std::to_string(kMaxThreads);
        opt.threads = i32;
        break;
    case Opt::Kernel:
        if (value != "scalar" && value != "avx2" && value != "avx512" && value != "auto")
            return "option " + name + ": " + Quoted(value) + " is none of scalar, avx2, avx512, auto";
        opt.kernel = value;
        break;
    case Opt::Device: {
        gpu::DeviceChoice choice;
        std::string error;
        if (!gpu::ParseDeviceChoice(std::string(value), &choice, &error)) return "option " + name + ": " + error;
        opt.device = value;
        break;
    }
    case Opt::Force: opt.force = true; break;
    case Opt::Quiet: opt.quiet = true; break;
    case Opt::Quick: opt.quick = true; break;
    case Opt::Help: opt.command = CliCommand::Help; break;
    case Opt::Version: opt.command = CliCommand::Version; break;
    }
    return {};
}

CliParse Fail(std::string text) {
    CliParse r;
    r.error = std::move(text);
    return r;
}

}  // namespace

CliParse ParseCommandLine(int argc, const char* const* argv) {
    if (argc < 2 || !argv || !argv[1]) return Fail("no command given");
    const std::string_view first = argv[1];
    CliParse result;
    CliOptions& opt = result.options;
    if (first == "--help" || first == "-h") {
        opt.command = CliCommand::Help;
        result.ok = true;
        return result;
    }
    if (first == "--version") {
        opt.command = CliCommand::Version;
        result.ok = true;
        return result;
    }

    unsigned where = 0;
    for (const CommandRow& c : kCommands) {
        if (first == c.name) {
            opt.command = c.command;
            where = c.where;
        }
    }
    if (where == 0)
        return Fail("unknown command " + Quoted(first) +
                    " (expected sieve, resume, build-packed-k, verify, export, merge, devices or selftest)");

    for (int i = 2; i < argc; ++i) {
        if (!argv[i]) return Fail("missing argument");
        std::string_view arg = argv[i];
        std::string_view name = arg;
        std::string_view inlineValue;
        bool hasInline = false;
        if (arg.size() > 2 && arg.substr(0, 2) == "--") {
            size_t eq = arg.find('=');
            if (eq != std::string_view::npos) {
                name = arg.substr(0, eq);
                inlineValue = arg.substr(eq + 1);
                hasInline = true;
            }
        }
        if (name.empty() || name[0] != '-') {
            // merge names its units' factor files after the options.
            if (where != kMerge || arg.empty()) return Fail("unexpected argument " + Quoted(arg));
            opt.unitFiles.emplace_back(arg);
            continue;
        }
        const OptionRow* o = FindOption(name);
        if (!o) return Fail("unknown option " + Quoted(name));
        if (!(o->commands & where)) return Fail("option " + std::string(o->name) + " does not apply to " + std::string(first));

        std::string_view value;
        if (o->kind == Kind::Flag) {
            if (hasInline) return Fail("option " + std::string(o->name) + " takes no value");
        } else if (hasInline) {
            value = inlineValue;
        } else {
            if (i + 1 >= argc || !argv[i + 1]) return Fail("option " + std::string(o->name) + " needs a value");
            value = argv[++i];
        }
        std::string err = Apply(*o, value, opt);
        if (!err.empty()) return Fail(std::move(err));
        if (opt.command == CliCommand::Help || opt.command == CliCommand::Version) break;
    }

    if (!opt.packedKPath.empty() && !opt.standard) return Fail("option --packed-k is only used with --standard");
    result.ok = true;
    return result;
}

std::vector<std::string> OptionNames() {
    std::vector<std::string> names;
    for (const OptionRow& o : kOptions) {
        names.emplace_back(o.name);
        if (o.alias) names.emplace_back(o.alias);
    }
    return names;
}

std::vector<std::string> CommandNames() {
    std::vector<std::string> names;
    for (const CommandRow& c : kCommands) names.emplace_back(c.name);
    return names;
}

const char* UsageText() {
    return R"(Usage:
  varnesk-cli sieve  -N N --bmin B --bmax B --factors FILE --output FILE [options]
  varnesk-cli resume --input FILE --output FILE --factors FILE [options]
  varnesk-cli build-packed-k --dir DIR -N N [--start-p P] [--tick-seconds S] [--log FILE] [-q]
                 [--time-limit D] [--stop-file FILE]
  varnesk-cli verify --factors FILE [--candidates FILE] [--algebraic FILE] [--threads T]
  varnesk-cli export --input FILE --format genefer|list|abc [--output FILE] [--force]
                 [--keep-algebraic] [--drop-squares]
  varnesk-cli merge  --input FILE --output FILE [--force] [--threads T] UNIT.f...
  varnesk-cli devices (the OpenCL devices that --device can name)
  varnesk-cli selftest [--quick] [--kernel K] [--device D]
  varnesk-cli --help | --version

Sieves the generalized Fermat numbers b^N+1 for b from bmin to bmax, stepping
by 2 (so the parity of bmin picks the bases; the wide-math sieve strikes
even bases only, and refuses a new sieve with an odd bmin), writing one line
per factor found to the factor file and the surviving bases to the output
file, an ABC file that resume reads back. A factor file that the job makes
(one that was not there, or that a new sieve's --force replaced) begins
with the banner "Hollowmere for k^N+1 [k == bmin to bmax]"; one that was
there before gets "Continuing Sieve" and the job's lines after it. When a
sieve starts, the algebraic record beside the factor file
(FACTORS.algebraic) lists its candidates b = c^m with m odd and above 1,
one line "c^N+1 | b^N+1" each: they cannot be prime, but stay in both
files, which keep their meaning; export drops them.

Options:
  -N N              the exponent, a power of two from 2 to 1073741824
                    (build-packed-k: from 8192). A sieve keeps a list of
                    N + 4 four-byte roots, and a resumed or multi-threaded
                    wide sieve more: N = 2^30 needs over 4 GB of memory,
                    N = 2^24 about 70 MB
  --end-p P         stop after sieving the first prime above P
  --start-p P       resume: sieve from P instead of the file's resume point;
                    a new sieve ignores it (with a notice); build-packed-k:
                    where a new sequence starts
                    The two work as the form's Start/Stop pair: a sieve given
                    either one needs --end-p above 4; a resume given --end-p
                    alone goes on from the input file's resume point, and
                    sieves nothing (exit 0) when the file is already at or
                    beyond it; a start P above the end P is refused.
  --save-minutes M  minutes between saves of the output file (default 60)
  --tick-seconds S  progress cadence in seconds, may be fractional (default 5)
  --log FILE        append every log line to FILE
  --stats FILE      sieve, resume: append one CSV row per progress report (unix
                    time, p, bases left, removed since the last row,
                    primes/s, P/day); a new file starts with a header row
  --test-seconds S  sieve, resume: the primality tester's time per
                    candidate; the status line and the summary then say
                    whether sieving still removes bases faster than testing
                    would, and up to about which P it will
  --time-limit D    stop cleanly, with a save, once the job has run for D:
                    seconds, or a number with s, m, h or d (45s, 90m, 8h,
                    2d); the status line shows the time left. Leave room
                    for the save below a batch system's wall time
  --stop-file FILE  stop cleanly, with a save, once FILE exists (looked for
                    every second): a stop that needs no signal, for an MPI
                    job or a remote machine. A job is refused while FILE
                    is there, or when its folder does not exist (FILE could
                    never be made); the program never removes it
  --standard --packed-k DIR
                    standard math: read the primes from the packed K files
                    in DIR instead of the wide-math sieve
  --threads T       threads a sieve, a verify or a merge may use (default:
                    all cores); a sieve with a device and --threads 1
                    leaves its blocks to the device, the one thread
                    striking in order and completing what it leaves
  --kernel scalar|avx2|avx512|auto
                    the kernels to use: one the CPU has, or the fastest it
                    has (auto, the default; VARNESK_KERNEL sets the same);
                    selftest: the one path to test (default: every path
                    the CPU has)
  --device auto|cpu|gpu|gpu:PLATFORM:DEVICE
                    where the wide-math sieve runs besides this process's
                    threads: auto (the default; VARNESK_DEVICE sets the
                    same) takes a GPU when OpenCL offers one, else the CPU
                    alone; gpu takes the first GPU and is refused without
                    one; gpu:P:D names a device of varnesk-cli devices
                    (OpenCL on the CPU too). The device's share follows its
                    speed; every strike it brings is proven again, its
                    primes are held against the CPU's, some of its primes
                    are walked again on the CPU (the summary gives that
                    share), and the files are those of the CPU. The standard-math sieve
                    stays on the CPU: it asks OpenCL for nothing, and a GPU
                    asked for is not used, which its log says; selftest: the
                    device to test besides the CPU's paths
  --force           a new sieve replaces an existing output or factor file
                    (the factor file starts anew with its banner, the
                    output file comes whole at the first save); a resume
                    replaces an existing output file other than its own
                    input file; an export replaces an existing output file
                    and its companions (FILE.algebraic, FILE.refused.abc);
                    a merge replaces an existing output file. Only a
                    regular file is ever replaced, never a folder or a
                    device
  -q, --quiet       no progress display (log lines are still shown)
  --quick           selftest: the short form, a few seconds a path
  -h, --help        this text
  --version         the program's version

verify proves every factor line "p | b^N+1" of a factor file on its own: p
prime (deterministic Miller-Rabin below 3.3e24; BPSW from there on, which
the summary counts apart as probable), p = k*2N+1 with N a power of two, and
p below b^N+1 and dividing it; with --candidates, also that no base the
candidate file still lists has a factor line of its N with p at or below
the file's resume point (lines above it came after its last save, and the
next resume removes their bases: they are counted apart). Other lines
(banner, "Continuing Sieve", blank) are skipped and counted. A line cut
short by a run that was killed while writing it (the file's last line, or
the last before "Continuing Sieve") is reported but is no fault: the
resumed run sieved it again. Duplicate lines are fine. A folder or a
device is refused as factor file or algebraic record. The algebraic record
beside the factor file (FILE.algebraic, when there is one) or the record
named by --algebraic (given alone or with --factors) is checked too: each
line "c^N+1 | b^N+1" must have b = c^m exactly, with m odd and above 1.
Every bad line is printed with its line number and the reason, then a
summary. Exit status 0 when every line holds, 1 when a line is bad, 2 on a
usage error, a file that cannot be read, or a candidate file replaced while
it was read (verify it again).

export writes the surviving bases of a candidate file for a primality
tester, to standard output or, with --output, to a new file that replaces
FILE only once it is whole on disk (an existing FILE needs --force, and
so do existing companions FILE.algebraic and FILE.refused.abc; the input
file itself is never replaced).
  --format genefer  a shell script (run it with sh) that tests with
                    "genefer -q -b B -n n" each base that genefer takes:
                    even, from 1024 to 2000000000, not a power of two, and
                    N = 2^n with n from 12 to 23. Every other base is named
                    in a comment with the reason: odd bases are composite
                    (b^N+1 is even), the bases genefer refuses also go to
                    FILE.refused.abc for another tester. Bases above the b
                    limit of genefer's CPU program for n come last, in a
                    section of their own. genefer appends its verdicts to
                    results.txt; the script keeps a log, stops on Ctrl-C
                    or SIGTERM, and when run again skips the bases with a
                    verdict and resumes the interrupted one; "sh FILE check"
                    lists the bases without a verdict.
  --format list     one b per line
  --format abc      the candidate file re-written as the sieve writes it
Bases b = c^m with m odd and above 1 cannot be prime (c^N+1 divides b^N+1):
every format drops them, and FILE.algebraic lists them (--keep-algebraic
keeps them). Bases b = s^2 give the number s^(2N)+1 of another search: they
are kept, and --drop-squares drops them, naming each with the base and
exponent where the same number lives. FILE is the output file, or the input
file when the export goes to standard output; there a companion that
cannot be written is left out with a note. A base b = 2^m gives
b^N+1 = 2^(mN)+1, a Fermat number or a number with an algebraic factor;
the sieve strikes it only when it finds a factor, as any other base, and
export names each one on standard error. Exit status 0 when the export is
written, 1 when the input is no candidate file or the export cannot be
written, 2 on a usage error, a missing input or a refused command (no file
was touched).

merge makes one candidate file of work units: sieves of parts of the p
range, each a resume of a copy of the same candidate file (--input) with
its own factor file (UNIT.f) and --start-p/--end-p. Each unit's range
record UNIT.f.range (written at every save) must name the N and the
candidate set of --input; every factor line is proven as verify proves it
(on every core, --threads T). The bases of the proven lines are struck from
the input's candidates, and the output file, a new candidate file written
as a sieve writes it (an existing one needs --force; the input file is
never replaced), resumes where the units' ranges stop joining without a gap
from the input's resume point. Gaps and overlaps beyond the prime two
adjacent units share are named. Exit status 0 when the output is written,
1 when a unit is refused (no record, another N or candidate set, a line
that does not prove) or the output cannot be written, 2 on a usage error or
a refused command; nothing is written unless the exit status is 0.

selftest holds the sieve's kernels against the program's plain references,
as a GPU trial-factoring program's self-test does: run it after installing
a graphics card or its driver, or after changing the clocks of the card or
the CPU. At every size of p (below 2^32, 2^52, 2^63, 2^64, 2^79 and 2^96)
and for N from 2 to 2^22, runs of k are filled as a sieve fills its blocks,
among them runs around known factors p | b^N+1 (found when the test starts,
by dividing b^N+1 itself), on every kernel path this CPU has (--kernel: that
one alone; a path the CPU lacks is named and skipped) and on the device
--device names (auto: a GPU when OpenCL offers one). Every probable prime,
its solution of order 2N and its bases b up to the run's bmax must be those
of the plain reference (schoolbook products, no kernel). The table gives,
per path or device and size of p, the N tried, the primes and bases found
and agree or DISAGREE. It takes about a minute (--quick: a few seconds).
Exit status 0 when all agree, 1 when one disagrees (the first disagreement
is named) or the device's program cannot be had, 2 on a usage error or a
refused --kernel or --device.

A resume may name its input file as its output file; each save then
replaces it whole (a new file renamed over the old one). The factor file
of a resume is appended to.

Log lines go to standard error with a time stamp. When standard error is a
terminal a status line shows b's left, current P, primes per second
(estimated from the density of primes k*2N+1), P per day (the rise of P in
units of 10^15 per day) and the time to the end P; otherwise one line is
printed per progress record. At the end a summary line gives the average
rates between the first and the last progress record.

Ctrl-C (SIGINT), SIGTERM, SIGUSR1, SIGHUP (a closed terminal or a dropped
ssh session) and SIGQUIT (Ctrl-\) each stop the job after the current prime
and save the output file, as --time-limit and --stop-file do, whatever
libraries the job has loaded (OpenCL among them). Under nohup SIGHUP stays
ignored. A second stop signal within a second of the first is the same
request (timeout(1) signals the program and then its whole process group);
one that comes later ends the program at once, by that signal and without
a core file, and the output file keeps its last save: it is replaced whole
at each save, never left cut. The summary names what stopped the job. A
stop signal that comes while the job is still being checked ends the
program by that signal before any file is touched.

Before any file is created, emptied or replaced, a job is checked whole:
the input file is read and must be one a resume can go on from, no two of
the input, output, factor and log files may be one file (a resume may write
its own input), start and end P must lie below 2^96 (below 2^63 for
standard math and build-packed-k), the packed K sequence
must be there, the stop file's folder must exist, and every file the job
writes must be one it can make. A job
then holds a lock on its output and factor files (<file>.varnesk-lock
beside them, and the files themselves, so hard links share it) and on its
packed K folder until it ends; a second job on any of them is refused, as
is an export or a merge whose output a job holds.

Exit status:
  0  the job ended normally: stopped, end P reached or all candidates
     factored (a sieve posted "Stop request received." and no failure line;
     build-packed-k posted "Packed K file generation stopped.")
  1  the job failed (anything else), or a file it must write cannot be
     made; then nothing was sieved and no file was touched
  2  usage error or a refused job (also one whose files another job holds);
     no file was touched
)";
}

}  // namespace varnesk::cli
