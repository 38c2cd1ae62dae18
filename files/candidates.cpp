#include "files/candidates.h"

#include <fcntl.h>
#include <errno.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <algorithm>
#include <charconv>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
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
thread_local const SieveJob* gSavingJob = nullptr;
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
std::string Shown(std::string_view line) {
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
// the reading early or split a line into two. Large reads straight from the
// descriptor; a line is handed out as a view into the buffer, and copied
// only when it runs across the end of one read.
class LineSource {
public:
    enum Result { kLine, kEnd, kTooLong, kError };
    explicit LineSource(int fd) : fd_(fd), buffer_(new char[kReadBytes + kPadding]()) {}

    // The line stays valid until the next call.
    Result Next(std::string_view& line) {
        for (;;) {
            if (pos_ == len_) {
                ssize_t n;
                do n = ::read(fd_, buffer_.get(), kReadBytes);
                while (n < 0 && errno == EINTR);
                if (n < 0) return kError;
                pos_ = 0;
                len_ = static_cast<size_t>(n);
                bytes_ += static_cast<int64_t>(n);
                if (n == 0) {
                    if (!carrying_) return kEnd;
                    carrying_ = false;
                    line = carry_;
                    return kLine;
                }
            }
            const char* start = buffer_.get() + pos_;
            const char* nl = static_cast<const char*>(std::memchr(start, '\n', len_ - pos_));
            if (nl && !carrying_) {
                line = std::string_view(start, static_cast<size_t>(nl - start));
                pos_ += line.size() + 1;
                return kLine;
            }
            const size_t take = nl ? static_cast<size_t>(nl - start) : len_ - pos_;
            if (!carrying_) carry_.clear();
            if (carry_.size() + take > kMaxLineBytes) return kTooLong;
            carrying_ = true;
            carry_.append(start, take);
            pos_ += take;
            if (nl) {
                ++pos_;
                carrying_ = false;
                line = carry_;
                return kLine;
            }
        }
    }
    // The writer's own line, "b N" with one space and nothing else, read in
    // place when it lies whole in the buffer: nearly every line of a big
    // file is one. False, with nothing taken, for anything else, which
    // Next and the general classification then read as before (a zero and a
    // number too long to be a base included).
    bool NextPlain(int64_t* base, int64_t* exponent) {
        if (carrying_) return false;
        const char* p = buffer_.get() + pos_;
        const char* const end = buffer_.get() + len_;
        int digits = 0;
        const uint64_t b = Digits(p, &digits);
        p += digits;
        // The bytes past the end of the read are stale; a line must end
        // before it.
        if (digits == 0 || digits > 12 || b == 0 || p >= end || *p != ' ') return false;
        // Every line of a save has the same " N\n"; it is compared, not read.
        if (suffixLength_ != 0 && end - p >= suffixLength_ && SameSuffix(p)) {
            p += suffixLength_;
            *exponent = suffixValue_;
        } else {
            const char* const space = p++;
            const uint64_t n = Digits(p, &digits);
            p += digits;
            if (digits == 0 || digits > 12 || n == 0 || p >= end || *p != '\n') return false;
            ++p;
            if (p - space <= 16) {
                suffixLength_ = p - space;
                char text[16] = {};
                std::memcpy(text, space, static_cast<size_t>(suffixLength_));
                std::memcpy(suffix_, text, 16);
                suffixMask_[0] = suffixMask_[1] = 0;
                for (ptrdiff_t i = 0; i < suffixLength_; ++i) suffixMask_[i / 8] |= uint64_t{0xFF} << (8 * (i % 8));
                suffixValue_ = static_cast<int64_t>(n);
            }
            *exponent = static_cast<int64_t>(n);
        }
        *base = static_cast<int64_t>(b);
        pos_ = static_cast<size_t>(p - buffer_.get());
        return true;
    }
    int64_t BytesRead() const { return bytes_; }

private:
    // The leading decimal digits at p, eight at a time; *digits counts them
    // up to 16, and the value is that of the first 16 at most. Reads 16
    // bytes from p, which the buffer's padding allows.
    static uint64_t Digits(const char* p, int* digits) {
        uint64_t value = 0;
        *digits = 0;
        for (int half = 0; half < 2; ++half) {
            uint64_t chunk;
            std::memcpy(&chunk, p + 8 * half, 8);
            // A byte is a digit when its high nibble is 3 and its low one
            // at most 9; a carry out of a byte that is no digit only spoils
            // the bytes after it, which are not looked at.
            const uint64_t nonDigit = ((chunk & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u) |
                                      (((chunk + 0x0606060606060606u) & 0xF0F0F0F0F0F0F0F0u) ^ 0x3030303030303030u);
            const int count = nonDigit == 0 ? 8 : __builtin_ctzll(nonDigit) / 8;
            if (count > 0) {
                // The digits to the top bytes, zeros before them, then pairs,
                // fours and eights summed with their weights.
                uint64_t v = (chunk - 0x3030303030303030u) << (8 * (8 - count));
                v = (v * 10 + (v >> 8)) & 0x00FF00FF00FF00FFu;
                v = (v * 100 + (v >> 16)) & 0x0000FFFF0000FFFFu;
                v = (v * 10000 + (v >> 32)) & 0xFFFFFFFFu;
                static constexpr uint64_t kScale[9] = {1, 10, 100, 1000, 10000, 100000, 1000000, 10000000, 100000000};
                value = value * kScale[count] + v;
                *digits += count;
            }
            if (count < 8) break;
        }
        return value;
    }

    // The 16 bytes at p (the padding allows them) begin with the suffix.
    bool SameSuffix(const char* p) const {
        uint64_t a, b;
        std::memcpy(&a, p, 8);
        std::memcpy(&b, p + 8, 8);
        return (((a ^ suffix_[0]) & suffixMask_[0]) | ((b ^ suffix_[1]) & suffixMask_[1])) == 0;
    }

    static constexpr size_t kReadBytes = size_t{4} << 20;
    static constexpr size_t kPadding = 16;
    int fd_;
    std::unique_ptr<char[]> buffer_;
    size_t pos_ = 0, len_ = 0;
    int64_t bytes_ = 0;
    std::string carry_;
    bool carrying_ = false;
    uint64_t suffix_[2] = {}, suffixMask_[2] = {};
    ptrdiff_t suffixLength_ = 0;
    int64_t suffixValue_ = 0;
};

// Where a pass over a big input file has got to, for the front ends: at
// most once a second, and never for a file read within the first second.
class ReadingReport {
public:
    ReadingReport(TextSink* form, int pass, int64_t size) : form_(form), size_(size) {
        progress_.pass = pass;
        progress_.bytesTotal = size;
    }
    void Update(const LineSource& lines) {
        if (++calls_ % 65536 != 0 || size_ < kMinBytes) return;
        const double seconds = std::chrono::duration<double>(Clock::now() - start_).count();
        if (seconds < next_) return;
        next_ = seconds + 1;
        progress_.bytesRead = lines.BytesRead();
        progress_.seconds = seconds;
        PostReading(form_, progress_);
    }

private:
    using Clock = std::chrono::steady_clock;
    static constexpr int64_t kMinBytes = int64_t{16} << 20;
    TextSink* form_;
    int64_t size_;
    ReadingProgress progress_;
    Clock::time_point start_ = Clock::now();
    double next_ = 1;
    uint64_t calls_ = 0;
};

// An open input file for one pass, closed when it goes.
struct InputFile {
    InputFile() = default;
    explicit InputFile(int descriptor) : fd(descriptor) {}
    ~InputFile() { reset(); }
    InputFile(const InputFile&) = delete;
    InputFile& operator=(const InputFile&) = delete;
    void reset() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    explicit operator bool() const { return fd >= 0; }
    int fd = -1;
    int64_t size = 0;
    struct stat st {};
};

// Opens the input file for one pass: a regular file only, since the file is
// read twice and a pipe or a device would not give the same lines again (or
// would never end). Empty after posting.
void OpenForPass(SieveJob& job, const char* passText, InputFile& in) {
    const char* path = job.inputFileName.c_str();
    // O_NONBLOCK: opening a pipe with no writer must not hang.
    int fd = ::open(path, O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        PostText(job.form, "Unable to open input candidate file %s.", path);
        return;
    }
    struct stat st;
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const bool folder = S_ISDIR(st.st_mode);
        ::close(fd);
        PostText(job.form,
                 folder ? "Input file %s is a folder, not a candidate file."
                        : "Input file %s is not a regular file (a pipe or a device); a candidate file must be one.",
                 path);
        return;
    }
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
    // One read from start to end: the kernel may read far ahead.
    ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    in.fd = fd;
    in.size = static_cast<int64_t>(st.st_size);
    in.st = st;
    PostString(job.form, StringPrintf(passText, path));
}

// The refusals of a line that no sieve may read on from. False after posting.
bool LineReadable(SieveJob& job, LineSource::Result r, std::string_view line, int64_t number) {
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
    if (line.find('\0') != std::string_view::npos) {
        PostText(job.form, "Line %" PRId64 " of input file %s holds a NUL byte; the file is refused.", number, path);
        return false;
    }
    return true;
}

// The lines of one pass over in: the writer's plain "b N" lines read in
// place, every other one through the refusals and the classification.
// onCandidate(number, base, exponent) takes each candidate line and
// onOther(number, line, text) each header and unreadable one; either
// returns false, after posting, to end the pass. 0 after a refusal.
template <typename OnCandidate, typename OnOther>
int ReadLines(SieveJob& job, const InputFile& in, int pass, OnCandidate&& onCandidate, OnOther&& onOther) {
    LineSource lines(in.fd);
    ReadingReport report(job.form, pass, in.size);
    std::string_view text;
    for (int64_t number = 1;; ++number) {
        report.Update(lines);
        int64_t base = 0, exponent = 0;
        if (number == 1 || !lines.NextPlain(&base, &exponent)) {
            const LineSource::Result r = lines.Next(text);
            if (r == LineSource::kEnd) return 1;
            if (!LineReadable(job, r, text, number)) return 0;
            const Line line = ClassifyLine(text, number == 1);
            if (line.kind == LineKind::kBlank) continue;
            if (line.kind != LineKind::kCandidate) {
                if (!onOther(number, line, text)) return 0;
                continue;
            }
            base = line.base;
            exponent = line.exponent;
        }
        if (!onCandidate(number, base, exponent)) return 0;
    }
}

// What the last pass 1 that succeeded found, and the file it read as it
// was then. A front end checks a resume's input before the job starts and
// the job reads it again at once: a big file is then read once for both.
struct RangeMemo {
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = -1;
    struct timespec modified {}, changed {};
    int32_t bMin = 0, bMax = 0, exponent = 0, exponentLog2 = 0;
    UInt128 resumeP = 0;
};
std::mutex gRangeMemoMutex;
RangeMemo gRangeMemo;

bool SameFile(const RangeMemo& m, const struct stat& st) {
    return m.device == st.st_dev && m.inode == st.st_ino && m.size == st.st_size &&
           m.modified.tv_sec == st.st_mtim.tv_sec && m.modified.tv_nsec == st.st_mtim.tv_nsec &&
           m.changed.tv_sec == st.st_ctim.tv_sec && m.changed.tv_nsec == st.st_ctim.tv_nsec;
}

int ReadRangeOnce(SieveJob& job, InputFile& in);

// Pass 1: range, exponent and resume point, and every check that the file
// can be resumed from as it stands. 0 after posting a message. A header
// alone is a file whose every base was struck: read, with exponent 0.
int ReadRange(SieveJob& job) {
    InputFile in;
    OpenForPass(job, "Getting range of candidates in input file %s.", in);
    if (!in) return 0;
    {
        std::lock_guard<std::mutex> lock(gRangeMemoMutex);
        const RangeMemo& m = gRangeMemo;
        // Small files are read again: it costs nothing and keeps the memo
        // out of every test of a file rewritten within a clock tick.
        if (in.size >= (int64_t{16} << 20) && SameFile(m, in.st)) {
            job.bMin = m.bMin;
            job.bMax = m.bMax;
            job.exponent = m.exponent;
            job.exponentLog2 = m.exponentLog2;
            job.currentP = m.resumeP;
            return 1;
        }
    }
    const struct stat before = in.st;
    const int32_t bMin = job.bMin, bMax = job.bMax;
    if (!ReadRangeOnce(job, in)) return 0;
    // Kept only when nothing changed the file while it was read.
    struct stat after;
    if (::stat(job.inputFileName.c_str(), &after) == 0 && after.st_dev == before.st_dev &&
        after.st_ino == before.st_ino && after.st_size == before.st_size &&
        after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec &&
        bMin == kInitialBMin && bMax == 0) {
        std::lock_guard<std::mutex> lock(gRangeMemoMutex);
        RangeMemo& m = gRangeMemo;
        m.device = before.st_dev;
        m.inode = before.st_ino;
        m.size = before.st_size;
        m.modified = before.st_mtim;
        m.changed = after.st_ctim;
        m.bMin = job.bMin;
        m.bMax = job.bMax;
        m.exponent = job.exponent;
        m.exponentLog2 = job.exponentLog2;
        m.resumeP = job.currentP;
    }
    return 1;
}

int ReadRangeOnce(SieveJob& job, InputFile& in) {
    const char* path = job.inputFileName.c_str();

    ParsedWide resumePoint;
    std::string resumeText;
    int64_t headerLine = 0, exponentLine = 0, firstBaseLine = 0;
    int32_t firstBase = 0;
    auto other = [&](int64_t number, const Line& line, std::string_view text) {
        if (line.kind != LineKind::kHeader) {
            PostText(job.form,
                     "Line %" PRId64 " of input file %s is neither the header \"ABC $a^$b+1 // p\" nor a candidate "
                     "line \"b N\": %s",
                     number, path, Shown(text).c_str());
            return false;
        }
        // Two resume points: no way to know which P the bases were sieved to.
        if (headerLine != 0) {
            PostText(job.form,
                     "Line %" PRId64 " of input file %s is a second header (the first is line %" PRId64
                     "); a candidate file has one.",
                     number, path, headerLine);
            return false;
        }
        headerLine = number;
        resumePoint = line.p;
        resumeText = line.pText;
        return true;
    };
    auto candidate = [&](int64_t number, int64_t base, int64_t exponent) {
        // Larger bases would overflow the bitmap size and the b + 2 walk.
        if (base >= kMaxBase) {
            PostText(job.form, "Base %" PRId64 " in input file %s is too large; bases must be below %d.", base, path,
                     kMaxBase);
            return false;
        }
        const int32_t v = static_cast<int32_t>(base);
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
            return false;
        }
        if (v > job.bMax) job.bMax = v;
        if (v < job.bMin) job.bMin = v;
        const int32_t n = static_cast<int32_t>(std::min<int64_t>(exponent, INT32_MAX));
        if (job.exponent <= 0) {
            job.exponent = n;
            exponentLine = number;
        } else if (n != job.exponent) {
            // Every save writes the file's one exponent on every line.
            PostText(job.form,
                     "Exponent %d on line %" PRId64 " of input file %s differs from exponent %d on line %" PRId64
                     "; a candidate file holds one exponent.",
                     n, number, path, job.exponent, exponentLine);
            return false;
        }
        return true;
    };
    if (!ReadLines(job, in, 1, candidate, other)) return 0;
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
    InputFile in;
    OpenForPass(job, "Loading input file %s.", in);
    if (!in) return 0;

    uint32_t* const bitmap = job.candidateBitmap.data();
    const int64_t bMin = job.bMin, bMax = job.bMax;
    int32_t count = 0;
    // A refusal now means the file changed since the first pass: nothing
    // read from it counts.
    const int read = ReadLines(
        job, in, 2,
        [&](int64_t, int64_t base, int64_t) {
            // A base beyond the first pass's range can only come from a file
            // that changed in between; it has no place in the bitmap.
            if (base > bMax || base < bMin || ((base ^ bMin) & 1)) return true;
            uint32_t& word = bitmap[base >> 5];
            const uint32_t bit = 1u << (base & 31);
            count += (word & bit) == 0;
            word |= bit;
            return true;
        },
        [](int64_t, const Line&, std::string_view) { return true; });
    if (!read) return 0;
    job.candidateCount += count;
    return 1;
}

// An injected failure reads as the one a full disk gives.
bool Fault(SaveStep step) {
    if (!files_internal::gSaveFault || !files_internal::gSaveFault(step)) return false;
    errno = ENOSPC;
    return true;
}

constexpr size_t kWriteBytes = size_t{4} << 20;

}  // namespace

namespace {

// The candidate lines in large pieces, each handed to emit(data, size),
// which returns false to end the writing. No line is formatted through a
// stream: a file of a billion lines would spend minutes in the formatting.
template <class Emit>
bool FormatCandidateLines(const SieveJob& job, int32_t* count, Emit&& emit) {
    const std::string header = "ABC $a^$b+1 // " + FormatUInt128(job.currentP) + "\n";
    if (!emit(header.data(), header.size())) return false;
    if (Fault(SaveStep::Write)) return false;

    char suffix[16] = {' '};
    char* const suffixEnd = std::to_chars(suffix + 1, suffix + sizeof suffix - 1, job.exponent).ptr;
    *suffixEnd = '\n';
    const size_t suffixLength = static_cast<size_t>(suffixEnd + 1 - suffix);

    // Only bases that the bitmap holds; a set-up that went wrong must not
    // make the save read outside it.
    int64_t last = static_cast<int64_t>(job.candidateBitmap.size()) * 32 - 1;
    if (job.bMax < last) last = job.bMax;
    const int64_t first = job.bMin >= 0 ? job.bMin : (job.bMin & 1);
    if (first > last) return true;

    std::unique_ptr<char[]> buffer(new char[kWriteBytes]);
    char* out = buffer.get();
    char* const end = buffer.get() + kWriteBytes;
    // Below this there is room for one more line: ten digits and the suffix.
    char* const full = end - 32;
    const uint32_t* bitmap = job.candidateBitmap.data();
    // The walk from bMin in steps of 2, a word of the bitmap at a time.
    const uint32_t parity = (first & 1) ? 0xAAAAAAAAu : 0x55555555u;
    const int64_t firstWord = first / 32, lastWord = last / 32;
    int32_t written = 0;
    for (int64_t w = firstWord; w <= lastWord; ++w) {
        uint32_t bits = bitmap[w] & parity;
        if (w == firstWord) bits &= ~0u << (first % 32);
        if (w == lastWord) bits &= (2u << (last % 32)) - 1;
        for (; bits != 0; bits &= bits - 1) {
            const uint32_t b = static_cast<uint32_t>(w * 32 + __builtin_ctz(bits));
            out = std::to_chars(out, end, b).ptr;
            std::memcpy(out, suffix, suffixLength);
            out += suffixLength;
            ++written;
            if (out >= full) {
                if (!emit(buffer.get(), static_cast<size_t>(out - buffer.get()))) return false;
                out = buffer.get();
            }
        }
    }
    *count += written;
    return out == buffer.get() || emit(buffer.get(), static_cast<size_t>(out - buffer.get()));
}

bool WriteAll(int fd, const char* data, size_t size) {
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

}  // namespace

bool WriteCandidateLines(FILE* out, const SieveJob& job, int32_t* count) {
    return FormatCandidateLines(job, count, [out](const char* data, size_t size) {
        return std::fwrite(data, 1, size, out) == size;
    });
}

namespace {

// Writes beside the old file and renames over it, so that the old file stays
// whole until the new one is on disk. The temporary name is unique and made
// with O_EXCL: nothing that already exists beside the output is written
// through or renamed away. False with errno set.
bool ReplaceCandidateFile(const SieveJob& job, int32_t* count) {
    const std::string& path = job.outputFileName;
    if (path.empty()) {
        errno = ENOENT;
        return false;
    }
    if (Fault(SaveStep::Open)) return false;
    std::string tempPath;
    int fd = CreateTempBeside(path, tempPath);
    if (fd < 0) return false;

    struct stat old;
    ::fchmod(fd, (::stat(path.c_str(), &old) == 0 ? old.st_mode : NewFileMode()) & 07777);

    // Each piece is sent on to the disk at once, so that the sync at the end
    // waits for the last pieces only, not for the whole file.
    off_t done = 0;
    errno = 0;
    bool ok = FormatCandidateLines(job, count, [&](const char* data, size_t size) {
        if (!WriteAll(fd, data, size)) return false;
#ifdef SYNC_FILE_RANGE_WRITE
        if (size >= kWriteBytes / 2) ::sync_file_range(fd, done, static_cast<off_t>(size), SYNC_FILE_RANGE_WRITE);
#endif
        done += static_cast<off_t>(size);
        return true;
    });
    if (!ok && errno == 0) errno = EIO;
    ok = ok && !Fault(SaveStep::Flush);
    ok = ok && !Fault(SaveStep::Sync) && ::fsync(fd) == 0;
    ok = ok && !Fault(SaveStep::Close) && !Fault(SaveStep::Rename);
    return CommitTempBeside(fd, tempPath, path, ok);
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
    InputFile in(fd);
    if (!in) return false;
    p = 0;
    ResumePointScan seen;
    LineSource lines(in.fd);
    std::string_view text;
    for (int64_t number = 1;; ++number) {
        int64_t base, exponent;
        if (number > 1 && lines.NextPlain(&base, &exponent)) {
            seen.candidates = true;
            continue;
        }
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
    LastLineSink sink;
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

bool CandidateFileBegins(std::string_view head) { return BeginsAs(head, "ABC $a^$b+1 // "); }

std::string OutputFileError(const std::string& path, int error) {
    return StringPrintf("Output file %s cannot be written: %s.", path.c_str(), ErrorText(error ? error : EIO).c_str());
}

int WriteCandidateFile(SieveJob& job, int32_t* written) {
    int32_t count = 0;
    files_internal::gSavingJob = &job;
    const bool replaced = ReplaceCandidateFile(job, &count);
    files_internal::gSavingJob = nullptr;
    if (!replaced) {
        const int error = errno;
        PostText(job.form, "Unable to open output file %s.", job.outputFileName.c_str());
        PostString(job.form, OutputFileError(job.outputFileName, error));
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
