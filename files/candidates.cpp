#include "files/candidates.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cinttypes>
#include <algorithm>
#include <cstdio>
#include <new>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "files/file_hooks.h"
#include "files/textfile.h"
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

// Opens the input file for one pass and says which pass it is.
bool OpenForPass(SieveJob& job, TextFileC& file, const char* passText) {
    if (!file.Open("rt")) {
        PostText(job.form, "Unable to open input candidate file %s.", job.inputFileName.c_str());
        return false;
    }
    PostString(job.form, StringPrintf(passText, job.inputFileName.c_str()));
    return true;
}

// Pass 1: range, exponent and resume point. 0 after posting a message.
int ReadRange(SieveJob& job) {
    const char* path = job.inputFileName.c_str();
    TextFileC file(job.inputFileName);
    if (!OpenForPass(job, file, "Getting range of candidates in input file %s.")) return 0;

    ParsedWide resumePoint;
    std::string resumeText;
    std::string line;
    for (;;) {
        file.ReadLine(line);
        if (line.empty()) break;
        ParsedWide header;
        std::string text;
        if (ReadHeader(line, &header, &text)) {
            resumePoint = header;
            resumeText = std::move(text);
            continue;
        }
        int32_t v = LeadingBase(line);
        if (v <= 0) continue;
        // Larger bases would overflow the bitmap size and the b + 2 walk.
        if (v >= kMaxBase) {
            PostText(job.form, "Base %d in input file %s is too large; bases must be below %d.", v, path,
                     kMaxBase);
            return 0;
        }
        if (v > job.bMax) job.bMax = v;
        if (v < job.bMin) job.bMin = v;
        if (job.exponent <= 0) {
            size_t space = line.find(' ', 1);
            if (space != std::string::npos)
                job.exponent = static_cast<int32_t>(ParseInt32(std::string_view(line).substr(space + 1)).value);
        }
    }
    file.Close();

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
    TextFileC file(job.inputFileName);
    if (!OpenForPass(job, file, "Loading input file %s.")) return 0;

    std::string line;
    ParsedWide header;
    for (;;) {
        file.ReadLine(line);
        if (line.empty()) break;
        if (ReadHeader(line, &header)) continue;
        int32_t v = LeadingBase(line);
        // A base beyond the first pass's range can only come from a file that
        // changed in between; it has no place in the bitmap.
        if (v <= 0 || v > job.bMax) continue;
        if (!BitTestAndSet(v, job.candidateBitmap.data())) ++job.candidateCount;
    }
    file.Close();
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

void SyncFolderOf(const std::string& path) {
    size_t slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    // Some file systems refuse fsync on a folder; the rename has happened.
    ::fsync(fd);
    ::close(fd);
}

// Writes beside the old file and renames over it, so that the old file stays
// whole until the new one is on disk.
bool ReplaceCandidateFile(const SieveJob& job, int32_t* count) {
    const std::string& path = job.outputFileName;
    if (path.empty() || Fault(SaveStep::Open)) return false;
    std::string tempPath = path + ".tmp";
    TextFileC temp(tempPath);
    if (!temp.Open("wt")) return false;
    FILE* out = temp.Stream();

    struct stat old;
    if (::stat(path.c_str(), &old) == 0) ::fchmod(::fileno(out), old.st_mode & 07777);

    bool ok = WriteCandidateLines(out, job, count);
    ok = ok && !Fault(SaveStep::Flush) && std::fflush(out) == 0;
    ok = ok && !Fault(SaveStep::Sync) && ::fsync(::fileno(out)) == 0;
    ok = temp.Close() && ok && !Fault(SaveStep::Close);
    ok = ok && !Fault(SaveStep::Rename) && std::rename(tempPath.c_str(), path.c_str()) == 0;
    if (!ok) {
        std::remove(tempPath.c_str());
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
    TextFileC file(path);
    if (!file.Open("rt")) return false;
    p = 0;
    ResumePointScan seen;
    std::string line;
    for (file.ReadLine(line); !line.empty(); file.ReadLine(line)) {
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
