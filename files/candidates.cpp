#include "files/candidates.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_hooks.h"
#include "platform/fs.h"
#include "kernels/kernels.h"
#include "platform/numparse.h"
#include "platform/post.h"

namespace varnesk {

namespace files_internal {
SaveFaultHook gSaveFault = nullptr;
size_t gAllocationLimitWords = 0;
}  // namespace files_internal

using files_internal::SaveStep;

namespace {

constexpr int32_t kInitialBMin = 1000000000;
// A line this long is no candidate line; it is refused rather than held.
constexpr size_t kMaxLineBytes = size_t{64} << 20;

// The lines of a candidate file. The sieve's header and its "b N" lines are
// read with any blanks around and between their parts (tabs, a CR before the
// newline, a byte order mark before the first line); every other line that
// is not blank is refused, since a line read as something it is not would
// resume from a wrong P or sieve bases no one asked for.
enum class LineKind { kBlank, kHeader, kCandidate, kOther };

struct Line {
    LineKind kind = LineKind::kOther;
    ParsedWide p;        // the header's resume point
    std::string pText;   // that number as written, for messages
    int64_t base = 0;    // a candidate's b (saturated far beyond kMaxBase)
    int64_t exponent = 0;
};

constexpr std::string_view kBlanks = " \t\v\f\r";
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

std::string_view SkipBlanks(std::string_view s) {
    const size_t at = s.find_first_not_of(kBlanks);
    return at == std::string_view::npos ? std::string_view() : s.substr(at);
}

// Leading decimal digits (at least one) of s, removed from it.
bool TakeDigits(std::string_view& s, std::string_view* digits) {
    size_t n = 0;
    while (n < s.size() && s[n] >= '0' && s[n] <= '9') ++n;
    if (n == 0) return false;
    *digits = s.substr(0, n);
    s.remove_prefix(n);
    return true;
}

bool TakeText(std::string_view& s, std::string_view text) {
    if (s.substr(0, text.size()) != text) return false;
    s.remove_prefix(text.size());
    return true;
}

int64_t SmallValue(std::string_view digits) {
    // Anything this long is far beyond every bound the callers check.
    if (digits.size() > 12) return INT64_MAX;
    return ParseInt64(digits).value;
}

Line ClassifyLine(std::string_view text, bool first) {
    Line line;
    if (first) TakeText(text, kByteOrderMark);
    std::string_view s = SkipBlanks(text);
    if (s.empty()) {
        line.kind = LineKind::kBlank;
        return line;
    }
    std::string_view digits;
    if (TakeText(s, "ABC")) {
        // "ABC $a^$b+1 // p"; a sign is read so that a negative p gets its
        // own refusal.
        const std::string_view afterAbc = s;
        s = SkipBlanks(s);
        if (s.size() == afterAbc.size() || !TakeText(s, "$a^$b+1")) return line;
        s = SkipBlanks(s);
        if (!TakeText(s, "//")) return line;
        s = SkipBlanks(s);
        const std::string_view number = s;
        if (!s.empty() && (s[0] == '+' || s[0] == '-')) s.remove_prefix(1);
        if (!TakeDigits(s, &digits) || !SkipBlanks(s).empty()) return line;
        const std::string_view written = number.substr(0, number.size() - s.size());
        line.kind = LineKind::kHeader;
        line.p = ParseUInt128(written);
        line.pText = std::string(written.substr(0, 60)) + (written.size() > 60 ? "..." : "");
        return line;
    }
    std::string_view base, exponent;
    if (!TakeDigits(s, &base)) return line;
    const size_t before = s.size();
    s = SkipBlanks(s);
    if (s.size() == before || !TakeDigits(s, &exponent) || !SkipBlanks(s).empty()) return line;
    line.base = SmallValue(base);
    line.exponent = SmallValue(exponent);
    if (line.base > 0 && line.exponent > 0) line.kind = LineKind::kCandidate;
    return line;
}

// A line as shown in a refusal: printable, and short.
std::string Shown(const std::string& line) {
    std::string out;
    for (char c : line.substr(0, 60)) out += (c >= 32 && c < 127) ? c : '?';
    if (line.size() > 60) out += "...";
    return out;
}

// Replaces v with `words` zero words. False (and v empty) when memory is refused.
bool AllocateWords(std::vector<uint32_t>& v, size_t words) {
    try {
        if (files_internal::gAllocationLimitWords != 0 && words > files_internal::gAllocationLimitWords)
            throw std::bad_alloc();
        std::vector<uint32_t>(words).swap(v);
        return true;
    } catch (const std::bad_alloc&) {
    } catch (const std::length_error&) {
    }
    std::vector<uint32_t>().swap(v);
    return false;
}

// Lines of any length, NUL bytes included, so that nothing in a line can end
// the reading early or split a line into two.
class LineSource {
public:
    enum Result { kLine, kEnd, kTooLong, kError };
    explicit LineSource(std::FILE* in) : in_(in), buffer_(size_t{1} << 16) {}

    Result Next(std::string& line) {
        line.clear();
        bool any = false;
        for (;;) {
            if (pos_ == len_) {
                len_ = std::fread(buffer_.data(), 1, buffer_.size(), in_);
                pos_ = 0;
                if (len_ == 0) {
                    if (std::ferror(in_)) return kError;
                    return any ? kLine : kEnd;
                }
            }
            any = true;
            const char* start = buffer_.data() + pos_;
            const void* nl = std::memchr(start, '\n', len_ - pos_);
            const size_t take = nl ? static_cast<size_t>(static_cast<const char*>(nl) - start) : len_ - pos_;
            if (line.size() + take > kMaxLineBytes) return kTooLong;
            line.append(start, take);
            pos_ += take;
            if (nl) {
                ++pos_;
                return kLine;
            }
        }
    }

private:
    std::FILE* in_;
    std::vector<char> buffer_;
    size_t pos_ = 0, len_ = 0;
};

// Opens the input file for one pass: a regular file only, since the file is
// read twice and a pipe or a device would not give the same lines again (or
// would never end). Null after posting.
std::FILE* OpenForPass(SieveJob& job, const char* passText) {
    const char* path = job.inputFileName.c_str();
    // O_NONBLOCK: opening a pipe with no writer must not hang.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        PostText(job.form, "Unable to open input candidate file %s.", path);
        return nullptr;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool folder = S_ISDIR(st.st_mode);
        ::close(fd);
        PostText(job.form,
                 folder ? "Input file %s is a folder, not a candidate file."
                        : "Input file %s is not a regular file (a pipe or a device); a candidate file must be one.",
                 path);
        return nullptr;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    std::FILE* in = ::fdopen(fd, "r");
    if (!in) {
        ::close(fd);
        PostText(job.form, "Unable to open input candidate file %s.", path);
        return nullptr;
    }
    PostString(job.form, StringPrintf(passText, path));
    return in;
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using InputFile = std::unique_ptr<std::FILE, FileCloser>;

// The refusals of a line that no sieve may read on from. False after posting.
bool LineReadable(SieveJob& job, LineSource::Result r, const std::string& line, int64_t number) {
    const char* path = job.inputFileName.c_str();
    switch (r) {
    case LineSource::kError:
        PostText(job.form, "Input file %s could not be read after line %" PRId64 ".", path, number - 1);
        return false;
    case LineSource::kTooLong:
        PostText(job.form, "Line %" PRId64 " of input file %s is longer than %zu bytes; the file is refused.", number,
                 path, kMaxLineBytes);
        return false;
    default:
        break;
    }
    if (line.find('\0') != std::string::npos) {
        PostText(job.form, "Line %" PRId64 " of input file %s holds a NUL byte; the file is refused.", number, path);
        return false;
    }
    return true;
}

// Pass 1: range, exponent and resume point, and every check that the file
// can be resumed from as it stands. 0 after posting a message. A header
// alone is a file whose every base was struck: read, with exponent 0.
int ReadRange(SieveJob& job) {
    const char* path = job.inputFileName.c_str();
    InputFile in(OpenForPass(job, "Getting range of candidates in input file %s."));
    if (!in) return 0;

    ParsedWide resumePoint;
    std::string resumeText;
    int64_t headerLine = 0, exponentLine = 0, firstBaseLine = 0;
    int32_t firstBase = 0;
    LineSource lines(in.get());
    std::string text;
    for (int64_t number = 1;; ++number) {
        const LineSource::Result r = lines.Next(text);
        if (r == LineSource::kEnd) break;
        if (!LineReadable(job, r, text, number)) return 0;
        const Line line = ClassifyLine(text, number == 1);
        switch (line.kind) {
        case LineKind::kBlank: continue;
        case LineKind::kOther:
            PostText(job.form,
                     "Line %" PRId64 " of input file %s is neither the header \"ABC $a^$b+1 // p\" nor a candidate "
                     "line \"b N\": %s",
                     number, path, Shown(text).c_str());
            return 0;
        case LineKind::kHeader:
            // Two resume points: no way to know which P the bases were
            // sieved to.
            if (headerLine != 0) {
                PostText(job.form,
                         "Line %" PRId64 " of input file %s is a second header (the first is line %" PRId64
                         "); a candidate file has one.",
                         number, path, headerLine);
                return 0;
            }
            headerLine = number;
            resumePoint = line.p;
            resumeText = line.pText;
            continue;
        case LineKind::kCandidate: break;
        }
        // Larger bases would overflow the bitmap size and the b + 2 walk.
        if (line.base >= kMaxBase) {
            PostText(job.form, "Base %" PRId64 " in input file %s is too large; bases must be below %d.", line.base,
                     path, kMaxBase);
            return 0;
        }
        const int32_t v = static_cast<int32_t>(line.base);
        // The sieves walk bMin, bMin + 2, ...: a base of the other parity
        // would be dropped from the next save without a proof.
        if (firstBaseLine == 0) {
            firstBase = v;
            firstBaseLine = number;
        } else if ((v & 1) != (firstBase & 1)) {
            PostText(job.form,
                     "Base %d on line %" PRId64 " of input file %s is not of the parity of base %d on line %" PRId64
                     "; a sieve walks bases of one parity only.",
                     v, number, path, firstBase, firstBaseLine);
            return 0;
        }
        if (v > job.bMax) job.bMax = v;
        if (v < job.bMin) job.bMin = v;
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(line.exponent, INT32_MAX));
        if (job.exponent <= 0) {
            job.exponent = n;
            exponentLine = number;
        } else if (n != job.exponent) {
            // Every save writes the file's one exponent on every line.
            PostText(job.form,
                     "Exponent %d on line %" PRId64 " of input file %s differs from exponent %d on line %" PRId64
                     "; a candidate file holds one exponent.",
                     n, number, path, job.exponent, exponentLine);
            return 0;
        }
    }
    in.reset();

    if (headerLine == 0) {
        PostText(job.form,
                 firstBaseLine == 0
                     ? "Input file %s is empty; it is not a candidate file."
                     : "Input file %s has no header line \"ABC $a^$b+1 // p\" with the P sieved so far; add one (p 0 "
                       "when none was sieved) to resume from it.",
                 path);
        return 0;
    }
    if (firstBaseLine != 0) {
        int n = ExponentLog2(job.exponent);
        if (n == 0) {
            PostText(job.form, "Exponent %d is not a proper power of 2 for GFN testing.", job.exponent);
            return 0;
        }
        job.exponentLog2 = n;
    }

    // The sieves cannot start below k = 0 nor go on from 2^96.
    if (resumePoint.negative) {
        PostText(job.form, "Resume point %s in input file %s is negative.", resumeText.c_str(), path);
        return 0;
    }
    if (resumePoint.overflow || resumePoint.value >= kWideLimitP) {
        PostText(job.form, "Resume point %s in input file %s is 2^96 or more, beyond the end of the sieve.",
                 resumeText.c_str(), path);
        return 0;
    }
    job.currentP = resumePoint.value;
    return 1;
}

// Pass 2: the candidates into the bitmap.
int LoadCandidates(SieveJob& job) {
    InputFile in(OpenForPass(job, "Loading input file %s."));
    if (!in) return 0;

    LineSource lines(in.get());
    std::string text;
    for (int64_t number = 1;; ++number) {
        const LineSource::Result r = lines.Next(text);
        if (r == LineSource::kEnd) break;
        // The file changed since the first pass: nothing read from it counts.
        if (!LineReadable(job, r, text, number)) return 0;
        const Line line = ClassifyLine(text, number == 1);
        if (line.kind != LineKind::kCandidate) continue;
        // A base beyond the first pass's range can only come from a file that
        // changed in between; it has no place in the bitmap.
        if (line.base > job.bMax || line.base < job.bMin || ((line.base ^ job.bMin) & 1)) continue;
        if (!BitTestAndSet(static_cast<int32_t>(line.base), job.candidateBitmap.data())) ++job.candidateCount;
    }
    return 1;
}

bool Fault(SaveStep step) { return files_internal::gSaveFault && files_internal::gSaveFault(step); }

}  // namespace

bool WriteCandidateLines(FILE* out, const SieveJob& job, int32_t* count) {
    if (std::fprintf(out, "ABC $a^$b+1 // %s\n", FormatUInt128(job.currentP).c_str()) < 0) return false;
    if (Fault(SaveStep::Write)) return false;
    // Only bases that the bitmap holds; a set-up that went wrong must not
    // make the save read outside it.
    int64_t last = static_cast<int64_t>(job.candidateBitmap.size()) * 32 - 1;
    if (job.bMax < last) last = job.bMax;
    int64_t b = job.bMin >= 0 ? job.bMin : (job.bMin & 1);
    for (; b <= last; b += 2) {
        if (!BitTest(static_cast<int32_t>(b), job.candidateBitmap.data())) continue;
        if (std::fprintf(out, "%d %d\n", static_cast<int32_t>(b), job.exponent) < 0) return false;
        ++*count;
    }
    return true;
}

namespace {

// Writes beside the old file and renames over it, so that the old file stays
// whole until the new one is on disk. The temporary name is unique and made
// with O_EXCL: nothing that already exists beside the output is written
// through or renamed away.
bool ReplaceCandidateFile(const SieveJob& job, int32_t* count) {
    const std::string& path = job.outputFileName;
    if (path.empty() || Fault(SaveStep::Open)) return false;
    std::string tempPath;
    int fd = CreateTempBeside(path, tempPath);
    if (fd < 0) return false;
    std::FILE* out = ::fdopen(fd, "w");
    if (!out) {
        ::close(fd);
        ::unlink(tempPath.c_str());
        return false;
    }

    struct stat old;
    ::fchmod(fd, (::stat(path.c_str(), &old) == 0 ? old.st_mode : NewFileMode()) & 07777);

    bool ok = WriteCandidateLines(out, job, count);
    ok = ok && !Fault(SaveStep::Flush) && std::fflush(out) == 0;
    ok = ok && !Fault(SaveStep::Sync) && ::fsync(fd) == 0;
    ok = (std::fclose(out) == 0) && ok && !Fault(SaveStep::Close);
    ok = ok && !Fault(SaveStep::Rename) && std::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        ::unlink(tempPath.c_str());
        return false;
    }
    SyncFolderOf(path);
    return true;
}

}  // namespace

int ReadCandidateFile(SieveJob& job) {
    job.bMin = kInitialBMin;
    job.bMax = 0;
    job.exponent = 0;
    job.exponentLog2 = 0;
    job.currentP = 0;
    job.candidateCount = 0;
    if (!ReadRange(job)) return 0;
    if (job.exponent == 0) {
        // Every base was struck: an empty set with its resume point, and no
        // range, since no line names N.
        job.bMin = job.bMax = 0;
        job.candidateBitmap.assign(1, 0);
        job.rootList.clear();
        job.rootCapacity = job.rootCount = 0;
        job.kCursor = 0;
        job.kCursorWide = 0;
        return 1;
    }

    PostRange(job.form, job.bMin, job.bMax, job.exponent);

    // bMax < kMaxBase, so neither size overflows.
    size_t words = static_cast<size_t>(job.bMax + 31) / 32 + 1;
    job.candidateCount = 0;
    if (!AllocateWords(job.candidateBitmap, words)) {
        PostText(job.form, "Not enough memory for the candidate bitmap of input file %s (b max %d).",
                 job.inputFileName.c_str(), job.bMax);
        return 0;
    }
    size_t roots = static_cast<size_t>(job.exponent) + 4;
    if (!AllocateWords(job.rootList, roots)) {
        std::vector<uint32_t>().swap(job.candidateBitmap);
        PostText(job.form, "Not enough memory for the root list of input file %s (exponent %d).",
                 job.inputFileName.c_str(), job.exponent);
        return 0;
    }
    job.rootCapacity = static_cast<int32_t>(roots);
    job.rootCount = 0;

    if (!LoadCandidates(job)) return 0;

    job.exponent64 = job.exponent;
    // p = 2Nk + 1 gives back k; the 64-bit streams saturate (and the
    // standard sieve refuses a resume point from 2^63 on).
    const UInt128 k = job.currentP > 1 ? (job.currentP - 1) / (2 * static_cast<UInt128>(job.exponent64)) : 0;
    job.kCursorWide = k;
    job.kCursor = k > static_cast<UInt128>(INT64_MAX) ? INT64_MAX : static_cast<int64_t>(k);
    job.currentP = 0;
    return 1;
}

bool ReadResumePoint(const std::string& path, UInt128& p, ResumePointScan* scan) {
    // A regular file only, opened without waiting for a pipe's writer.
    int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    struct stat st;
    if (fd >= 0 && (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        ::close(fd);
        fd = -1;
    }
    InputFile in(fd < 0 ? nullptr : ::fdopen(fd, "r"));
    if (!in) {
        if (fd >= 0) ::close(fd);
        return false;
    }
    p = 0;
    ResumePointScan seen;
    LineSource lines(in.get());
    std::string text;
    for (int64_t number = 1;; ++number) {
        const LineSource::Result r = lines.Next(text);
        if (r == LineSource::kEnd) break;
        if (r != LineSource::kLine) return false;
        const Line line = ClassifyLine(text, number == 1);
        if (line.kind == LineKind::kHeader) {
            p = line.p.value;
            seen.header = true;
            seen.overflow = line.p.overflow || line.p.negative || line.p.value >= kWideLimitP;
        } else if (line.kind == LineKind::kCandidate) {
            seen.candidates = true;
        }
    }
    if (scan) *scan = seen;
    return true;
}

CandidateFileScan ScanCandidateFile(const std::string& path) {
    class Keep : public TextSink {
    public:
        void PostWorkerText(std::unique_ptr<std::string> text) override {
            if (text) last = std::move(*text);
        }
        std::string last;
    } sink;
    SieveJob job;
    job.inputFileName = path;
    job.form = &sink;
    job.bMin = kInitialBMin;
    job.bMax = 0;
    job.exponent = 0;
    job.currentP = 0;
    CandidateFileScan scan;
    if (!ReadRange(job)) {
        scan.refusal = sink.last;
        return scan;
    }
    scan.exponent = job.exponent;
    scan.exponentLog2 = job.exponentLog2;
    scan.resumeP = job.currentP;
    return scan;
}

std::string CheckCandidateFile(const std::string& path) { return ScanCandidateFile(path).refusal; }

int WriteCandidateFile(SieveJob& job, int32_t* written) {
    int32_t count = 0;
    if (!ReplaceCandidateFile(job, &count)) {
        PostText(job.form, "Unable to open output file %s.", job.outputFileName.c_str());
        return 0;
    }
    if (written) *written = count;
    if (count != job.candidateCount)
        PostText(job.form, "Consistency error, found %d candidates, expected %d candidates.", count,
                 job.candidateCount);
    PostText(job.form, "%d items %s p value written to %s.", count, FormatUInt128(job.currentP).c_str(),
             job.outputFileName.c_str());
    return 1;
}

}  // namespace varnesk
