#include "cli/verify.h"

#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <map>
#include <string>
#include <thread>

#include "engine/prove.h"
#include "files/algebraic.h"
#include "platform/fs.h"
#include "platform/numparse.h"

namespace varnesk::cli {

namespace {

// The algebraic record: every line "c^N+1 | b^N+1" with b = c^m exactly, m
// odd and above 1. 0 every line holds, 1 a line is bad, 2 unreadable.
int VerifyAlgebraicRecord(const std::string& path, std::FILE* out, std::FILE* err) {
    AlgebraicCheck check;
    std::string error;
    if (!CheckAlgebraicRecord(path, &check, &error)) {
        std::fprintf(err, "%s\n", error.c_str());
        return 2;
    }
    for (const AlgebraicProblem& p : check.bad)
        std::fprintf(out, "%s:%" PRIu64 ": %s: %s\n", path.c_str(), p.line, AlgebraicFaultText(p.fault),
                     p.text.c_str());
    std::fprintf(out, "%s: %" PRIu64 " lines: %" PRIu64 " algebraic factors c^N+1 | b^N+1 hold (b = c^m, m odd)",
                 path.c_str(), check.lines, check.algebraic);
    if (!check.bad.empty()) std::fprintf(out, ", %zu bad lines", check.bad.size());
    std::fputs(".\n", out);
    std::fflush(out);
    return check.bad.empty() ? 0 : 1;
}

int VerifyFactors(const CliOptions& options, std::FILE* out, std::FILE* err);

}  // namespace

int RunVerify(const CliOptions& options, std::FILE* out, std::FILE* err) {
    if (options.factorFile.empty() && options.algebraicFile.empty()) {
        std::fprintf(err, "varnesk-cli: verify needs --factors FILE or --algebraic FILE\nTry 'varnesk-cli --help'.\n");
        return 2;
    }
    // The record named, or the one beside the factor file when there is one.
    std::string record = options.algebraicFile;
    if (!record.empty() && ::access(record.c_str(), R_OK) != 0) {
        std::fprintf(err, "Unable to open algebraic record %s.\n", record.c_str());
        return 2;
    }
    if (record.empty() && PathExists(AlgebraicRecordPath(options.factorFile)))
        record = AlgebraicRecordPath(options.factorFile);
    int status = 0;
    if (!options.factorFile.empty()) {
        status = VerifyFactors(options, out, err);
        if (status == 2) return status;
    }
    if (!record.empty()) status = std::max(status, VerifyAlgebraicRecord(record, out, err));
    return status;
}

namespace {

int VerifyFactors(const CliOptions& options, std::FILE* out, std::FILE* err) {

    CandidateFileSet candidates;
    const bool haveCandidates = !options.candidateFile.empty();
    if (haveCandidates) {
        if (::access(options.candidateFile.c_str(), R_OK) != 0) {
            std::fprintf(err, "Unable to open candidate file %s.\n", options.candidateFile.c_str());
            return 2;
        }
        std::string refusal;
        if (!candidates.Load(options.candidateFile, &refusal)) {
            std::fputs(refusal.c_str(), err);
            if (candidates.Changed()) return 2;
            std::fprintf(out, "%s: not a candidate file that a sieve can resume from.\n",
                         options.candidateFile.c_str());
            return 1;
        }
    }

    FactorFileText file;
    if (!file.Open(options.factorFile)) {
        if (!file.Refusal().empty())
            std::fprintf(err, "%s\n", file.Refusal().c_str());
        else
            std::fprintf(err, "Unable to open factor file %s.\n", options.factorFile.c_str());
        return 2;
    }
    int threads = options.threads > 0 ? options.threads
                                      : static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
    const CandidateSet* set = haveCandidates ? &candidates.Set() : nullptr;
    const char* name = options.factorFile.c_str();

    // The totals over every piece; each piece's lines are printed as it is
    // checked, numbered from the start of the file.
    uint64_t lines = 0, factorLines = 0, otherLines = 0, survivorChecks = 0, beyondResume = 0, bad = 0, cut = 0;
    uint64_t provenBelow64 = 0, provenBelow33e24 = 0, probableBpsw = 0;
    std::map<int32_t, std::pair<uint64_t, uint64_t>> perExponent;
    auto take = [&](std::string_view text, const VerifyReport& r) {
        for (const VerifyProblem& p : r.bad)
            std::fprintf(out, "%s:%" PRIu64 ": %s: %s\n", name, lines + p.line, LineFaultText(p.fault),
                         ShownLine(text.substr(p.offset, p.length)).c_str());
        for (const VerifyProblem& p : r.cut)
            std::fprintf(out, "%s:%" PRIu64 ": cut short by an interrupted run (sieved again after it): %s\n", name,
                         lines + p.line, ShownLine(text.substr(p.offset, p.length)).c_str());
        lines += r.lines;
        factorLines += r.factorLines;
        otherLines += r.otherLines;
        survivorChecks += r.survivorChecks;
        beyondResume += r.beyondResume;
        provenBelow64 += r.provenBelow64;
        provenBelow33e24 += r.provenBelow33e24;
        probableBpsw += r.probableBpsw;
        bad += r.bad.size();
        cut += r.cut.size();
        for (const ExponentTally& t : r.perExponent) {
            perExponent[t.exponent].first += t.lines;
            perExponent[t.exponent].second += t.bad;
        }
    };

    const auto t0 = std::chrono::steady_clock::now();
    if (file.Mapped()) {
        take(file.Text(), VerifyFactorText(file.Text(), set, threads));
    } else {
        // A cut line at the end of a piece is judged without the lines of
        // the next piece; only pipes and devices are read this way.
        std::string piece;
        for (;;) {
            uint64_t longLines = 0;
            const int got = file.NextPiece(piece, &longLines);
            for (; longLines > 0; --longLines) {
                ++lines;
                ++factorLines;
                ++bad;
                std::fprintf(out, "%s:%" PRIu64 ": %s: a line longer than %zu bytes\n", name, lines,
                             LineFaultText(LineFault::Malformed), FactorFileText::kPieceBytes);
            }
            if (got < 0) {
                std::fprintf(err, "Unable to read factor file %s after line %" PRIu64 ".\n", name, lines);
                return 2;
            }
            if (got == 0) break;
            take(piece, VerifyFactorText(piece, set, threads));
        }
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();

    std::fprintf(out, "%s: %" PRIu64 " lines: %" PRIu64 " factor lines checked, %" PRIu64
                      " other lines skipped (banner, continuation, blank)",
                 name, lines, factorLines, otherLines);
    if (cut) std::fprintf(out, ", %" PRIu64 " cut short by an interrupted run", cut);
    std::fputs(".\n", out);
    for (const auto& [exponent, tally] : perExponent)
        std::fprintf(out, "  N = %d: %" PRIu64 " factor lines, %" PRIu64 " bad\n", exponent, tally.first,
                     tally.second);
    if (provenBelow33e24 || probableBpsw)
        std::fprintf(out,
                     "Primality of p: %" PRIu64 " lines below 2^64 and %" PRIu64
                     " below 3.3e24 proven (deterministic Miller-Rabin, 12 and 13 bases); %" PRIu64
                     " from 3.3e24 on probable primes (BPSW, no proof).\n",
                     provenBelow64, provenBelow33e24, probableBpsw);
    if (haveCandidates) {
        const CandidateSet& c = candidates.Set();
        std::fprintf(out, "%s: %d bases with N = %d; %" PRIu64 " factor lines of that N looked up.\n",
                     options.candidateFile.c_str(), candidates.Count(), c.exponent, survivorChecks);
        if (beyondResume)
            std::fprintf(out,
                         "%" PRIu64 " factor lines lie beyond the candidate file's resume point %s: found after its "
                         "last save; the next resume removes their bases\n",
                         beyondResume, FormatUInt128(c.resumeP).c_str());
    }
    const double rate = seconds > 0 ? static_cast<double>(lines) / seconds : 0;
    std::fprintf(out, "Checked in %.2f s with %d threads: %.2f million lines per second.\n", seconds, threads,
                 rate / 1e6);
    if (bad == 0)
        std::fprintf(out, "All %" PRIu64 " factor lines hold.\n", factorLines);
    else
        std::fprintf(out, "%" PRIu64 " bad lines.\n", bad);
    std::fflush(out);
    return bad == 0 ? 0 : 1;
}

}  // namespace

}  // namespace varnesk::cli
