#include "cli/export.h"

#include <string>

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
    if (toFile) {
        // The genefer and list formats would replace the candidates themselves.
        if (SameFile(o.inputFile, o.outputFile))
            return Refuse(err, "The export must not replace its input file " + o.inputFile + ".");
        if (!o.force && PathExists(o.outputFile))
            return Refuse(err, StringPrintf("Output File %s already exists; use --force to overwrite it.",
                                            o.outputFile.c_str()));
        // Replacing a device or a FIFO by a regular file, or writing a
        // running job's file, is never what an export means.
        const std::string unwritable = CheckWritableFile(o.outputFile, "Output File");
        if (!unwritable.empty()) return Refuse(err, unwritable);
    }
    JobLock lock;
    std::string inUse;
    if (toFile && !lock.LockFile(o.outputFile, "Output File", inUse)) return Refuse(err, inUse);

    ExportSource source;
    std::string error;
    if (!LoadExportSource(o.inputFile, &source, &error)) {
        std::fprintf(err, "%s\n%s: not a candidate file that a sieve can resume from.\n", error.c_str(),
                     o.inputFile.c_str());
        return 1;
    }
    ExportReport report;
    const bool written = toFile ? WriteExportFile(o.outputFile, source, format, &report, &error)
                                : WriteExport(out, source, format, &report, &error);
    if (!written) {
        std::fprintf(err, "Export of %s failed: %s\n", o.inputFile.c_str(), error.c_str());
        return 1;
    }

    for (const std::string& note : report.notes) std::fprintf(err, "Note: %s.\n", note.c_str());
    if (!report.notes.empty())
        std::fprintf(err,
                     "A base b = 2^m gives b^N+1 = 2^(mN)+1, a Fermat number or a number with an algebraic "
                     "factor; the sieve does not strike such bases.\n");
    const std::string where = toFile ? o.outputFile : std::string("standard output");
    if (format == ExportFormat::Genefer)
        std::fprintf(err, "%s: %d candidates, %d genefer lines, %d commented out; written to %s.\n",
                     o.inputFile.c_str(), report.candidates, report.written, report.refused, where.c_str());
    else
        std::fprintf(err, "%s: %d of %d candidates written as %s to %s.\n", o.inputFile.c_str(), report.written,
                     report.candidates, FormatName(format), where.c_str());
    std::fflush(err);
    return 0;
}

}  // namespace varnesk::cli
