#include "cli/merge.h"

#include <algorithm>
#include <cinttypes>
#include <memory>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "engine/jobcheck.h"
#include "engine/messages.h"
#include "engine/prove.h"
#include "files/candidates.h"
#include "files/export.h"
#include "files/rangerecord.h"
#include "kernels/kernels.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk::cli {

namespace {

int UsageError(std::FILE* err, const char* text) {
    std::fprintf(err, "varnesk-cli: %s\nTry 'varnesk-cli --help'.\n", text);
    return 2;
}

int Refuse(std::FILE* err, const std::string& message) {
    std::fprintf(err, "%s\n", message.c_str());
    return 2;
}

std::string P(UInt128 p) { return FormatUInt128(p); }

struct Unit {
    std::string path;
    SievedRange range;
};

// What the proven lines of every unit did to the input's candidates.
struct Tally {
    uint64_t proven = 0;   // factor lines that hold
    uint64_t again = 0;    // lines for a base struck already (by the input or an earlier line)
    int32_t struck = 0;    // bases struck
    uint64_t cut = 0;      // lines cut short by a killed run: no proof, no strike
    bool bad = false;
};

// Proves one piece of a unit's factor file and, when every line holds,
// strikes its bases. linesBefore: the lines of the file before the piece.
void TakePiece(const std::string& path, std::string_view text, uint64_t linesBefore, int threads, SieveJob& job,
               Tally& tally, std::FILE* err) {
    const VerifyReport report = VerifyFactorText(text, nullptr, threads);
    for (const VerifyProblem& p : report.bad)
        std::fprintf(err, "%s:%" PRIu64 ": %s: %s\n", path.c_str(), linesBefore + p.line, LineFaultText(p.fault),
                     ShownLine(text.substr(p.offset, p.length)).c_str());
    tally.cut += report.cut.size();
    if (!report.bad.empty()) {
        tally.bad = true;
        return;
    }
    uint32_t* bitmap = job.candidateBitmap.data();
    uint64_t number = linesBefore;
    for (size_t pos = 0; pos < text.size();) {
        size_t end = text.find('\n', pos);
        if (end == std::string_view::npos) end = text.size();
        const std::string_view line = text.substr(pos, end - pos);
        pos = end + 1;
        ++number;
        FactorLineFields f;
        if (ClassifyFactorLine(line, &f) != LineKind::Factor) continue;
        if (f.exponent != job.exponent) {
            // A true factor of another number: the factor file is not this job's alone.
            std::fprintf(err, "%s:%" PRIu64 ": a factor line of N = %d, but the input file has N = %d: %s\n",
                         path.c_str(), number, f.exponent, job.exponent, ShownLine(line).c_str());
            tally.bad = true;
            continue;
        }
        ++tally.proven;
        if (f.b >= job.bMin && f.b <= job.bMax && ((f.b ^ job.bMin) & 1) == 0 && BitTestAndClear(f.b, bitmap)) {
            --job.candidateCount;
            ++tally.struck;
        } else {
            ++tally.again;
        }
    }
}

// Proves and strikes a unit's factor file. False after the messages when it
// cannot be read.
bool TakeFactorFile(const std::string& path, int threads, SieveJob& job, Tally& tally, std::FILE* err) {
    FactorFileText file;
    if (!file.Open(path)) {
        std::fprintf(err, "Unable to open factor file %s.\n", path.c_str());
        return false;
    }
    if (file.Mapped()) {
        TakePiece(path, file.Text(), 0, threads, job, tally, err);
        return true;
    }
    uint64_t lines = 0;
    std::string piece;
    for (;;) {
        uint64_t longLines = 0;
        const int got = file.NextPiece(piece, &longLines);
        if (longLines > 0) {
            std::fprintf(err, "%s: %" PRIu64 " lines longer than %zu bytes.\n", path.c_str(), longLines,
                         FactorFileText::kPieceBytes);
            tally.bad = true;
            lines += longLines;
        }
        if (got < 0) {
            std::fprintf(err, "Unable to read factor file %s after line %" PRIu64 ".\n", path.c_str(), lines);
            return false;
        }
        if (got == 0) return true;
        TakePiece(path, piece, lines, threads, job, tally, err);
        lines += static_cast<uint64_t>(std::count(piece.begin(), piece.end(), '\n')) + (piece.back() != '\n');
    }
}

// Whether (from, to] holds more primes k*2N + 1 than the boundary two
// adjacent units share: the first prime above a unit's end P, and the end P
// itself when it is one.
bool MoreThanTheBoundary(UInt128 from, UInt128 to, int32_t exponent) {
    const UInt128 twoN = 2 * static_cast<UInt128>(exponent);
    int primes = 0;
    for (UInt128 k = from >= 1 ? (from - 1) / twoN + 1 : 1; twoN * k + 1 <= to; ++k)
        if (ProvePrime(twoN * k + 1) != PrimeProof::None && ++primes > 2) return true;
    return false;
}

std::string Described(const Unit& u) {
    return u.path + " (P " + P(u.range.from) + " to " + P(u.range.to) + ")";
}

}  // namespace

int RunMerge(const CliOptions& o, std::FILE* out, std::FILE* err) {
    if (o.inputFile.empty()) return UsageError(err, "merge needs --input FILE");
    if (o.outputFile.empty()) return UsageError(err, "merge needs --output FILE");
    if (o.unitFiles.empty()) return UsageError(err, "merge needs the factor file of at least one unit");
    const std::string& input = o.inputFile;
    const std::string& output = o.outputFile;
    if (!PathExists(input)) return Refuse(err, StringPrintf(messages::kInputFileMissing, input.c_str()));
    // SameFile compares by device and inode once both exist, else by path.
    if (SameFile(input, output)) return Refuse(err, "The merge must not replace its input file " + input + ".");
    for (const std::string& unit : o.unitFiles)
        if (SameFile(unit, output) || SameFile(SievedRangePath(unit), output))
            return Refuse(err, "The merge must not replace the factor file " + unit + " or its range record.");
    if (!o.force && PathExists(output))
        return Refuse(err, StringPrintf("Output File %s already exists; use --force to overwrite it.", output.c_str()));
    const std::string unwritable = CheckWritableFile(output, "Output File");
    if (!unwritable.empty()) return Refuse(err, unwritable);
    // A running job's next save would overwrite the merge, or the merge the
    // job's candidates.
    JobLock lock;
    std::string inUse;
    if (!lock.LockFile(output, "Output File", inUse)) return Refuse(err, inUse);

    ExportSource base;
    std::string error;
    if (!LoadExportSource(input, &base, &error)) {
        std::fprintf(err, "%s\n%s: not a candidate file that a sieve can resume from.\n", error.c_str(), input.c_str());
        return 1;
    }
    if (base.empty) {
        std::fprintf(err, "%s lists no candidate: every base is struck, there is nothing to merge into.\n",
                     input.c_str());
        return 1;
    }
    SieveJob& job = base.job;
    const uint64_t fingerprint = CandidateFingerprint(job);

    // Every unit is looked at before any is refused, so that one run names
    // every fault.
    std::vector<Unit> units;
    bool refused = false;
    for (const std::string& path : o.unitFiles) {
        Unit u{path, {}};
        const std::string record = SievedRangePath(path);
        switch (ReadSievedRange(record, &u.range, &error)) {
        case RangeRead::kMissing:
            std::fprintf(err, "Unit %s has no range record %s: no sieve has saved with that factor file.\n",
                         path.c_str(), record.c_str());
            refused = true;
            continue;
        case RangeRead::kBad:
            std::fprintf(err, "Unit %s: range record %s cannot be used: %s.\n", path.c_str(), record.c_str(),
                         error.c_str());
            refused = true;
            continue;
        case RangeRead::kRead:
            break;
        }
        if (u.range.exponent != job.exponent) {
            std::fprintf(err, "Unit %s sieved N = %d, but the input file %s has N = %d.\n", path.c_str(),
                         u.range.exponent, input.c_str(), job.exponent);
            refused = true;
        } else if (u.range.fingerprint != fingerprint) {
            std::fprintf(err,
                         "Unit %s was sieved from another candidate set than the input file %s (fingerprint %" PRIu64
                         ", the input's %" PRIu64 ").\n",
                         path.c_str(), input.c_str(), u.range.fingerprint, fingerprint);
            refused = true;
        }
        units.push_back(std::move(u));
    }
    if (refused) {
        std::fprintf(err, "Nothing merged; %s was not written.\n", output.c_str());
        return 1;
    }

    const int threads = o.threads > 0 ? o.threads : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    Tally tally;
    bool readable = true;
    for (const Unit& u : units) readable = TakeFactorFile(u.path, threads, job, tally, err) && readable;
    if (!readable || tally.bad) {
        std::fprintf(err, "Nothing merged: %s; %s was not written.\n",
                     readable ? "a factor line does not prove" : "a factor file cannot be read", output.c_str());
        return 1;
    }

    // The covered range: from the input's resume point, the units in order
    // of their start, as long as each starts at or below the end so far.
    std::stable_sort(units.begin(), units.end(), [](const Unit& a, const Unit& b) {
        return a.range.from < b.range.from || (a.range.from == b.range.from && a.range.to < b.range.to);
    });
    UInt128 end = base.resumePoint;
    std::string endName = input;
    size_t joined = 0;
    for (; joined < units.size(); ++joined) {
        const Unit& u = units[joined];
        if (u.range.from > end) break;
        const UInt128 shared = std::min(end, u.range.to);
        if (u.range.from < shared && MoreThanTheBoundary(u.range.from, shared, job.exponent))
            std::fprintf(err, "Overlap: %s and %s both sieved the primes from P %s to P %s.\n", endName.c_str(),
                         Described(u).c_str(), P(u.range.from).c_str(), P(shared).c_str());
        if (u.range.to > end) {
            end = u.range.to;
            endName = u.path;
        }
    }
    if (joined < units.size()) {
        std::string beyond;
        for (size_t i = joined; i < units.size(); ++i) beyond += (i > joined ? ", " : "") + Described(units[i]);
        std::fprintf(err,
                     "Gap: no unit sieved the primes above P %s up to P %s; the resume point stops at P %s. "
                     "Units beyond the gap: %s.\n",
                     P(end).c_str(), P(units[joined].range.from).c_str(), P(end).c_str(), beyond.c_str());
    }

    class Keep : public TextSink {
    public:
        void PostWorkerText(std::unique_ptr<std::string> text) override {
            if (text) texts.push_back(std::move(*text));
        }
        std::vector<std::string> texts;
    } sink;
    job.form = &sink;
    job.outputFileName = output;
    job.currentP = end;
    if (!WriteCandidateFile(job)) {
        for (const std::string& t : sink.texts) std::fprintf(err, "%s\n", t.c_str());
        return 1;
    }
    if (tally.cut)
        std::fprintf(err, "%" PRIu64 " lines cut short by an interrupted run were left out (sieved again after it).\n",
                     tally.cut);
    std::fprintf(out,
                 "Merged %zu units into %s: %" PRIu64 " factor lines proven, %d bases struck (%" PRIu64
                 " lines for bases struck before), P covered from %s to %s, resume point %s, %d candidates left.\n",
                 units.size(), output.c_str(), tally.proven, tally.struck, tally.again, P(base.resumePoint).c_str(),
                 P(end).c_str(), P(end).c_str(), job.candidateCount);
    return 0;
}

}  // namespace varnesk::cli
