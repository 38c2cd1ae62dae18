#include "cli/export.h"

#include <cerrno>
#include <string>
#include <utility>
#include <vector>

#include "cli/job.h"
#include "engine/jobcheck.h"
#include "platform/joblock.h"
#include "engine/messages.h"
#include "files/export.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk::cli {

namespace {

int Refuse(std::FILE* err, const std::string& message) {
    std::fprintf(err, "%s\n", message.c_str());
    return 2;
}

int UsageError(std::FILE* err, const char* text) {
    std::fprintf(err, "varnesk-cli: %s\nTry 'varnesk-cli --help'.\n", text);
    return 2;
}

const char* FormatName(ExportFormat f) {
    switch (f) {
    case ExportFormat::Genefer: return "genefer";
    case ExportFormat::List: return "list";
    case ExportFormat::Abc: return "abc";
    }
    return "";
}

}  // namespace

int RunExport(const CliOptions& o, std::FILE* out, std::FILE* err) {
    if (o.inputFile.empty()) return UsageError(err, "export needs --input FILE");
    ExportFormat format;
    if (!ParseExportFormat(o.format, &format)) return UsageError(err, "export needs --format genefer|list|abc");
    if (!PathExists(o.inputFile)) return Refuse(err, StringPrintf(messages::kInputFileMissing, o.inputFile.c_str()));
    const bool toFile = !o.outputFile.empty();
    ExportOptions options;
    options.keepAlgebraic = o.keepAlgebraic;
    options.dropSquares = o.dropSquares;
    // The record and the refused bases go beside what the user will look at.
    options.companionBase = toFile ? o.outputFile : o.inputFile;
    // Beside an input that may sit in a folder the user cannot write, they
    // are left out with a note rather than stopping the export.
    options.companionsOptional = !toFile;
    std::vector<std::pair<std::string, const char*>> written;
    if (toFile) written.emplace_back(o.outputFile, "Output File");
    written.emplace_back(AlgebraicCompanion(options), "Algebraic record");
    if (format == ExportFormat::Genefer) written.emplace_back(RefusedCompanion(options), "Refused bases file");
    for (const auto& [path, role] : written) {
        // The genefer and list formats would replace the candidates themselves.
        if (SameFile(o.inputFile, path))
            return Refuse(err, "The export must not replace its input file " + o.inputFile + ".");
        // Replacing a device or a FIFO by a regular file, or writing a
        // running job's file, is never what an export means.
        const std::string unwritable = CheckWritableFile(path, role);
        if (!unwritable.empty()) return Refuse(err, unwritable);
    }
    // Every file the export would replace, its companions too, may hold the
    // user's own text: only --force replaces it.
    for (const auto& [path, role] : written)
        if (!o.force && PathExists(path))
            return Refuse(err, StringPrintf("%s %s already exists; use --force to overwrite it.", role, path.c_str()));
    JobLock lock;
    std::vector<std::string> notes;
    for (const auto& [path, role] : written) {
        std::string why;
        if (lock.LockFile(path, role, why)) continue;
        const int error = errno;
        if (error == EWOULDBLOCK || !options.companionsOptional) return Refuse(err, why);
        notes.push_back(StringPrintf("%s %s is not written: %s.", role, path.c_str(), ErrorText(error).c_str()));
        options.leaveOut.push_back(path);
    }
    RemoveStaleExportTemps(toFile ? o.outputFile : std::string(), options);

    ExportSource source;
    std::string error;
    if (!LoadExportSource(o.inputFile, &source, &error)) {
        std::fprintf(err, "%s\n%s: not a candidate file that a sieve can resume from.\n", error.c_str(),
                     o.inputFile.c_str());
        return 1;
    }
    ExportReport report;
    bool done = WriteExportCompanions(source, format, options, &report, &error);
    if (done)
        done = toFile ? WriteExportFile(o.outputFile, source, format, options, &report, &error)
                      : WriteExport(out, source, format, options, &report, &error);
    if (!done) {
        std::fprintf(err, "Export of %s failed: %s\n", o.inputFile.c_str(), error.c_str());
        return 1;
    }

    notes.insert(notes.end(), report.skipped.begin(), report.skipped.end());
    for (const std::string& note : notes) std::fprintf(err, "Note: %s\n", note.c_str());
    for (const std::string& note : report.notes) std::fprintf(err, "Note: %s.\n", note.c_str());
    if (!report.notes.empty())
        std::fprintf(err,
                     "A base b = 2^m gives b^N+1 = 2^(mN)+1, a Fermat number or a number with an algebraic "
                     "factor; the sieve strikes such a base only when it finds a factor, as any other.\n");
    for (const std::string& square : report.droppedSquares) std::fprintf(err, "Dropped %s.\n", square.c_str());

    // One summary: what was written, then each kind left out or kept.
    const std::string where = toFile ? o.outputFile : std::string("standard output");
    std::string summary = o.inputFile + ": ";
    if (format == ExportFormat::Genefer) {
        summary += StringPrintf("%d candidates, %d genefer tests", report.candidates, report.written);
        if (report.beyondCpuLimit > 0)
            summary += StringPrintf(" (%d above the b limit of genefer's CPU program)", report.beyondCpuLimit);
        summary += StringPrintf(", %d refused by genefer", report.refused);
        if (!report.refusedFile.empty() && report.refused > 0) summary += " (in " + report.refusedFile + ")";
        if (report.oddBases > 0) summary += StringPrintf(", %d odd (composite)", report.oddBases);
    } else {
        summary += StringPrintf("%d of %d candidates written as %s", report.written, report.candidates,
                                FormatName(format));
    }
    auto count = [](int32_t n, const char* one, const char* many) {
        return StringPrintf("%d %s", n, n == 1 ? one : many);
    };
    const std::string listed = report.algebraicRecord.empty() ? "" : "listed in " + report.algebraicRecord;
    if (report.oddPowersDropped > 0)
        summary += ", " + count(report.oddPowersDropped, "odd power", "odd powers") +
                   " dropped (composite: c^N+1 divides b^N+1" + (listed.empty() ? "" : "; " + listed) + ")";
    else if (report.oddPowersKept > 0)
        summary += ", " + count(report.oddPowersKept, "odd power", "odd powers") + " kept" +
                   (listed.empty() ? "" : " (" + listed + ")");
    if (report.squaresDropped > 0) summary += ", " + count(report.squaresDropped, "square", "squares") + " dropped";
    if (report.squares - report.squaresDropped > 0)
        summary += ", " + count(report.squares - report.squaresDropped, "square", "squares") + " kept";
    summary += "; written to " + where + ".";
    std::fprintf(err, "%s\n", summary.c_str());
    std::fflush(err);
    return 0;
}

}  // namespace varnesk::cli
