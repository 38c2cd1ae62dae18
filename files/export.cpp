#include "files/export.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cinttypes>
#include <cstring>
#include <memory>

#include "files/candidates.h"
#include "kernels/kernels.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

namespace {

// Calls fn(b) for every base of the candidate set in ascending order,
// skipping empty words: a bitmap may span 2^31 bits.
template <typename Fn>
void ForEachBase(const SieveJob& job, Fn fn) {
    const std::vector<uint32_t>& words = job.candidateBitmap;
    for (size_t w = 0; w < words.size(); ++w) {
        for (uint32_t bits = words[w]; bits != 0; bits &= bits - 1) {
            int64_t b = static_cast<int64_t>(w) * 32 + __builtin_ctz(bits);
            if (b > job.bMax) return;
            fn(static_cast<int32_t>(b));
        }
    }
}

int32_t PowerOfTwoLog2(int32_t b) {
    if (b < 2 || (b & (b - 1)) != 0) return 0;
    return __builtin_ctz(static_cast<uint32_t>(b));
}

// A path in a comment line must not end the comment.
std::string Printable(const std::string& text) {
    std::string s = text;
    for (char& c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7f) c = '?';
    return s;
}

std::string RefusalText(unsigned refusals, int32_t b, int32_t exponent) {
    std::string s;
    auto add = [&](const std::string& reason) {
        if (!s.empty()) s += ", ";
        s += reason;
    };
    if (refusals & kRefusedOdd) add("odd");
    if (refusals & kRefusedBelowMin) add(StringPrintf("below %d", kGeneferMinBase));
    if (refusals & kRefusedAboveMax) add(StringPrintf("above %d", kGeneferMaxBase));
    if (refusals & kRefusedPowerOfTwo) add("a power of two (" + PowerOfTwoNote(b, exponent) + ")");
    return s;
}

bool WriteGenefer(std::FILE* out, const ExportSource& source, ExportReport* report) {
    const SieveJob& job = source.job;
    const int32_t n = job.exponentLog2;
    const bool exponentTaken = GeneferTakesExponentLog2(n);
    int32_t refusedBases = 0;
    bool anyPowerOfTwo = false;
    ForEachBase(job, [&](int32_t b) {
        unsigned r = GeneferRefusals(b);
        if (r != 0) ++refusedBases;
        if (r & kRefusedPowerOfTwo) anyPowerOfTwo = true;
    });

    std::string head = "#!/bin/sh\n";
    head += "# genefer tests of the candidate file " + Printable(source.path) + "\n";
    if (source.empty) {
        head += StringPrintf("# N unknown, resume point p = %s, 0 candidates.\n",
                             FormatUInt128(source.resumePoint).c_str());
        head += "# The sieve struck every base: nothing is left to test.\n";
        return std::fputs(head.c_str(), out) >= 0;
    }
    head += StringPrintf("# N = %d (genefer -n %d), resume point p = %s, %d candidates:\n", job.exponent, n,
                         FormatUInt128(source.resumePoint).c_str(), job.candidateCount);
    if (exponentTaken) {
        head += StringPrintf("# %d genefer lines; %d bases that genefer refuses are commented out with the reason.\n",
                             job.candidateCount - refusedBases, refusedBases);
    } else {
        head += StringPrintf(
            "# genefer refuses n = %d: it takes n from %d to %d (N = %d to %d). Every line is\n"
            "# commented out; test these candidates with another program.\n",
            n, kGeneferMinLog2, kGeneferMaxLog2, 1 << kGeneferMinLog2, 1 << kGeneferMaxLog2);
    }
    if (anyPowerOfTwo)
        head +=
            "# A base b = 2^m gives b^N+1 = 2^(mN)+1, a Fermat number or a number with an\n"
            "# algebraic factor. The sieve does not strike such bases; genefer refuses them.\n";
    head += "# Run: sh THIS_FILE > results.txt 2>&1; genefer's output lines are the results.\n";
    if (std::fputs(head.c_str(), out) < 0) return false;

    bool ok = true;
    ForEachBase(job, [&](int32_t b) {
        if (!ok) return;
        unsigned r = GeneferRefusals(b);
        if (r == 0) {
            ok = std::fprintf(out, "%sgenefer -q -b %d -n %d\n", exponentTaken ? "" : "# ", b, n) >= 0;
            ++(exponentTaken ? report->written : report->refused);
        } else {
            ok = std::fprintf(out, "# genefer refuses b = %d: %s\n", b, RefusalText(r, b, job.exponent).c_str()) >= 0;
            ++report->refused;
        }
    });
    return ok;
}

bool WriteList(std::FILE* out, const ExportSource& source, ExportReport* report) {
    bool ok = true;
    ForEachBase(source.job, [&](int32_t b) {
        if (ok && std::fprintf(out, "%d\n", b) < 0) ok = false;
        ++report->written;
    });
    return ok;
}

// The writer walks b min's parity only, as the sieve does.
bool BothParities(const SieveJob& job) {
    bool mixed = false;
    const int32_t parity = job.bMin & 1;
    ForEachBase(job, [&](int32_t b) { mixed = mixed || (b & 1) != parity; });
    return mixed;
}

std::string WriteErrorText(int errorNumber) { return "write error: " + ErrorText(errorNumber); }

// Keeps the reader's failure messages, not its pass announcements.
class ReaderMessages : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override {
        const std::string& t = *text;
        if (t.empty() || t.rfind("Getting range", 0) == 0 || t.rfind("Loading", 0) == 0) return;
        if (!joined.empty()) joined += ' ';
        joined += t;
    }
    std::string joined;
};

}  // namespace

bool ParseExportFormat(std::string_view name, ExportFormat* format) {
    if (name == "genefer")
        *format = ExportFormat::Genefer;
    else if (name == "list")
        *format = ExportFormat::List;
    else if (name == "abc")
        *format = ExportFormat::Abc;
    else
        return false;
    return true;
}

unsigned GeneferRefusals(int32_t b) {
    unsigned r = 0;
    if (b & 1) r |= kRefusedOdd;
    if (b < kGeneferMinBase) r |= kRefusedBelowMin;
    if (b > kGeneferMaxBase) r |= kRefusedAboveMax;
    if (PowerOfTwoLog2(b) != 0) r |= kRefusedPowerOfTwo;
    return r;
}

std::string PowerOfTwoNote(int32_t b, int32_t exponent) {
    const int32_t m = PowerOfTwoLog2(b);
    if (m == 0 || exponent < 1) return {};
    const uint64_t total = static_cast<uint64_t>(m) * static_cast<uint32_t>(exponent);  // below 2^36
    std::string s = StringPrintf("%d^%d+1", b, exponent);
    if (b != 2) s += StringPrintf(" = 2^%" PRIu64 "+1", total);
    const int shift = __builtin_ctzll(total);
    const uint64_t odd = total >> shift;
    if (odd == 1) return s + StringPrintf(" is the Fermat number F%d", shift);
    // 2^(qx)+1 with q odd is divisible by 2^x+1.
    return s + StringPrintf(" has the algebraic factor 2^%" PRIu64 "+1", total / odd);
}

bool LoadExportSource(const std::string& path, ExportSource* source, std::string* error) {
    ExportSource s;
    s.path = path;
    ReaderMessages messages;
    s.job.inputFileName = path;
    s.job.form = &messages;
    const int loaded = ReadCandidateFile(s.job);
    s.job.form = nullptr;

    ResumePointScan scan;
    if (!ReadResumePoint(path, s.resumePoint, &scan)) {
        *error = StringPrintf("Unable to open input candidate file %s.", path.c_str());
        return false;
    }
    if (!loaded) {
        *error = messages.joined;
        return false;
    }
    // A header alone: the sieve struck every base.
    s.empty = s.job.exponent == 0;
    // The reader's tables for sieving are not needed here.
    std::vector<uint32_t>().swap(s.job.rootList);
    s.job.currentP = s.resumePoint;
    *source = std::move(s);
    return true;
}

bool WriteExport(std::FILE* out, const ExportSource& source, ExportFormat format, ExportReport* report,
                 std::string* error) {
    ExportReport r;
    r.candidates = source.job.candidateCount;
    ForEachBase(source.job, [&](int32_t b) {
        std::string note = PowerOfTwoNote(b, source.job.exponent);
        if (!note.empty()) r.notes.push_back(note);
    });

    bool ok = false;
    errno = 0;
    switch (format) {
    case ExportFormat::Genefer: ok = WriteGenefer(out, source, &r); break;
    case ExportFormat::List: ok = WriteList(out, source, &r); break;
    case ExportFormat::Abc:
        if (BothParities(source.job)) {
            *error = StringPrintf(
                "%s holds even and odd bases; the ABC writer, like the sieve, walks only the parity of b min %d. "
                "Use --format list.",
                source.path.c_str(), source.job.bMin);
            return false;
        }
        ok = WriteCandidateLines(out, source.job, &r.written);
        break;
    }
    int saved = errno;
    if (std::fflush(out) != 0 && ok) {
        ok = false;
        saved = errno;
    }
    if (!ok || std::ferror(out)) {
        *error = WriteErrorText(saved != 0 ? saved : EIO);
        return false;
    }
    *report = std::move(r);
    return true;
}

bool WriteExportFile(const std::string& path, const ExportSource& source, ExportFormat format,
                     ExportReport* report, std::string* error) {
    // Unique per process and call, so that two exports to one name never
    // share a temporary file; O_EXCL refuses anything already there.
    static std::atomic<unsigned> serial{0};
    std::string temp;
    int fd = -1;
    for (int attempt = 0; attempt < 100 && fd < 0; ++attempt) {
        auto ticks = std::chrono::steady_clock::now().time_since_epoch().count();
        temp = path + StringPrintf(".tmp-%d-%u-%x", static_cast<int>(::getpid()), serial.fetch_add(1),
                                   static_cast<unsigned>(ticks));
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST) break;
    }
    if (fd < 0) {
        *error = StringPrintf("Unable to create %s: %s", temp.c_str(), ErrorText(errno).c_str());
        return false;
    }
    struct stat old;
    if (::stat(path.c_str(), &old) == 0) ::fchmod(fd, old.st_mode & 07777);
    std::FILE* out = ::fdopen(fd, "w");
    if (!out) {
        *error = StringPrintf("Unable to write %s: %s", temp.c_str(), ErrorText(errno).c_str());
        ::close(fd);
        ::unlink(temp.c_str());
        return false;
    }

    bool ok = WriteExport(out, source, format, report, error);
    if (ok && ::fsync(fd) != 0) {
        *error = "sync failed: " + ErrorText(errno);
        ok = false;
    }
    if (std::fclose(out) != 0 && ok) {
        *error = WriteErrorText(errno);
        ok = false;
    }
    if (ok && std::rename(temp.c_str(), path.c_str()) != 0) {
        *error = StringPrintf("Unable to rename %s to %s: %s", temp.c_str(), path.c_str(), ErrorText(errno).c_str());
        ok = false;
    }
    if (!ok) {
        ::unlink(temp.c_str());
        return false;
    }
    // The rename reaches the disk with the folder.
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int dir = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
    return true;
}

}  // namespace varnesk
