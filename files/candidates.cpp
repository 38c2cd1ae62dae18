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

constexpr std::string_view kHeaderText = "ABC $a^$b+1 // ";
constexpr int32_t kInitialBMin = 1000000000;
// A line this long is no candidate line; it is refused rather than held.
constexpr size_t kMaxLineBytes = size_t{64} << 20;

// A header line anywhere in the file; *p receives the number after the text
// and *text, when given, that number as written (for messages).
bool ReadHeader(const std::string& line, ParsedWide* p, std::string* text = nullptr) {
    size_t at = line.find(kHeaderText);
    if (at == std::string::npos) return false;
    const std::string_view rest = std::string_view(line).substr(at + kHeaderText.size());
    *p = ParseUInt128(rest);
    if (text) {
        size_t from = rest.find_first_not_of(" \t\n\v\f\r");
        if (from == std::string_view::npos) from = rest.size();
        size_t to = from < rest.size() && (rest[from] == '+' || rest[from] == '-') ? from + 1 : from;
        while (to < rest.size() && rest[to] >= '0' && rest[to] <= '9') ++to;
        *text = std::string(rest.substr(from, std::min<size_t>(to - from, 60)));
        if (to - from > 60) *text += "...";
    }
    return true;
}

// The leading number of a candidate line; 0 or less means "not a candidate".
int32_t LeadingBase(const std::string& line) { return static_cast<int32_t>(ParseInt32(line).value); }

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
// can be resumed from as it stands. 0 after posting a message.
int ReadRange(SieveJob& job) {
    const char* path = job.inputFileName.c_str();
    InputFile in(OpenForPass(job, "Getting range of candidates in input file %s."));
    if (!in) return 0;

    ParsedWide resumePoint;
    std::string resumeText;
    int64_t exponentLine = 0, firstBaseLine = 0, otherLines = 0;
    int32_t firstBase = 0;
    LineSource lines(in.get());
    std::string line;
    for (int64_t number = 1;; ++number) {
        const LineSource::Result r = lines.Next(line);
        if (r == LineSource::kEnd) break;
        if (!LineReadable(job, r, line, number)) return 0;
        ParsedWide header;
        std::string text;
        if (ReadHeader(line, &header, &text)) {
            resumePoint = header;
            resumeText = std::move(text);
            continue;
        }
        int32_t v = LeadingBase(line);
        if (v <= 0) {
            if (line.find_first_not_of(" \t\r") != std::string::npos) ++otherLines;
            continue;
        }
        // Larger bases would overflow the bitmap size and the b + 2 walk.
        if (v >= kMaxBase) {
            PostText(job.form, "Base %d in input file %s is too large; bases must be below %d.", v, path,
                     kMaxBase);
            return 0;
        }
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
        // N follows the first space after the base (blanks before the base
        // are no separator).
        size_t space = line.find_first_not_of(" \t\n\v\f\r");
        space = line.find_first_not_of("+-0123456789", space);
        space = space == std::string::npos ? space : line.find(' ', space);
        if (space == std::string::npos) continue;
        ParsedNumber n = ParseInt32(std::string_view(line).substr(space + 1));
        if (job.exponent <= 0) {
            job.exponent = static_cast<int32_t>(n.value);
            exponentLine = number;
        } else if (n.hasDigits && n.value != job.exponent) {
            // Every save writes the file's one exponent on every line.
            PostText(job.form,
                     "Exponent %d on line %" PRId64 " of input file %s differs from exponent %d on line %" PRId64
                     "; a candidate file holds one exponent.",
                     static_cast<int32_t>(n.value), number, path, job.exponent, exponentLine);
            return 0;
        }
    }
    in.reset();

    if (firstBaseLine == 0 && otherLines > 0) {
        PostText(job.form, "Input file %s holds no candidate line \"b N\"; it is not a candidate file.", path);
        return 0;
    }
    int n = ExponentLog2(job.exponent);
    if (n == 0) {
        PostText(job.form, "Exponent %d is not a proper power of 2 for GFN testing.", job.exponent);
        return 0;
    }
    job.exponentLog2 = n;

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
    std::string line;
    ParsedWide header;
    for (int64_t number = 1;; ++number) {
        const LineSource::Result r = lines.Next(line);
        if (r == LineSource::kEnd) break;
        // The file changed since the first pass: nothing read from it counts.
        if (!LineReadable(job, r, line, number)) return 0;
        if (ReadHeader(line, &header)) continue;
        int32_t v = LeadingBase(line);
        // A base beyond the first pass's range can only come from a file that
        // changed in between; it has no place in the bitmap.
        if (v <= 0 || v > job.bMax || v < job.bMin || ((v ^ job.bMin) & 1)) continue;
        if (!BitTestAndSet(v, job.candidateBitmap.data())) ++job.candidateCount;
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
    job.currentP = 0;
    if (!ReadRange(job)) return 0;

    PostText(job.form, "%c %d %d %d", '&', job.bMin, job.bMax, job.exponent);

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
    std::string line;
    for (LineSource::Result r; (r = lines.Next(line)) != LineSource::kEnd;) {
        if (r != LineSource::kLine) return false;
        ParsedWide header;
        if (ReadHeader(line, &header)) {
            p = header.value;
            seen.header = true;
            seen.overflow = header.overflow || header.negative || header.value >= kWideLimitP;
        } else if (LeadingBase(line) > 0) {
            seen.candidates = true;
        }
    }
    if (scan) *scan = seen;
    return true;
}

std::string CheckCandidateFile(const std::string& path) {
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
    return ReadRange(job) ? std::string() : sink.last;
}

int WriteCandidateFile(SieveJob& job) {
    int32_t count = 0;
    if (!ReplaceCandidateFile(job, &count)) {
        PostText(job.form, "Unable to open output file %s.", job.outputFileName.c_str());
        return 0;
    }
    if (count != job.candidateCount)
        PostText(job.form, "Consistency error, found %d candidates, expected %d candidates.", count,
                 job.candidateCount);
    PostText(job.form, "%d items %s p value written to %s.", count, FormatUInt128(job.currentP).c_str(),
             job.outputFileName.c_str());
    return 1;
}

}  // namespace varnesk
