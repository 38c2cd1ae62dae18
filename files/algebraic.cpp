#include "files/algebraic.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <limits>

#include "files/textfile.h"
#include "kernels/kernels.h"
#include "platform/fs.h"
#include "platform/numparse.h"
#include "platform/post.h"

namespace varnesk {

namespace {

// r^k <= x, without overflow: the product stops as soon as it passes x.
bool PowerAtMost(uint64_t r, unsigned k, uint64_t x) {
    unsigned __int128 p = 1;
    for (unsigned i = 0; i < k; ++i) {
        p *= r;
        if (p > x) return false;
    }
    return true;
}

// r^k == x exactly.
bool PowerIs(uint64_t r, unsigned k, uint64_t x) {
    unsigned __int128 p = 1;
    for (unsigned i = 0; i < k; ++i) {
        p *= r;
        if (p > x) return false;
    }
    return p == x;
}

constexpr unsigned kPrimeExponents[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37, 41, 43, 47, 53, 59, 61};

uint64_t PowerOf(uint64_t r, unsigned k) {
    uint64_t p = 1;
    for (unsigned i = 0; i < k; ++i) p *= r;
    return p;
}

bool Literal(std::string_view s, size_t* i, std::string_view lit) {
    if (s.substr(*i, lit.size()) != lit) return false;
    *i += lit.size();
    return true;
}

std::string Shown(std::string_view line) {
    std::string s;
    for (char c : line.substr(0, 200)) s += (static_cast<unsigned char>(c) < 32 && c != '\t') ? '?' : c;
    if (line.size() > 200) s += "...";
    return s;
}

}  // namespace

uint64_t IntegerRoot(uint64_t x, unsigned k) {
    if (k <= 1 || x < 2) return x;
    if (k >= 64) return 1;
    // The root has at most ceil(64 / k) bits; each is kept when the power
    // stays at or below x.
    const unsigned bits = (64 + k - 1) / k;
    uint64_t r = 0;
    for (int bit = static_cast<int>(bits) - 1; bit >= 0; --bit) {
        const uint64_t candidate = r | (uint64_t{1} << bit);
        if (PowerAtMost(candidate, k, x)) r = candidate;
    }
    return r;
}

PerfectPowerForm PerfectPower(uint64_t b) {
    PerfectPowerForm f{b, 1};
    if (b < 4) return f;
    // Taking prime roots while one is exact ends at the root that is no
    // power itself, whatever the order: every form of b is a power of it.
    for (bool found = true; found;) {
        found = false;
        for (unsigned k : kPrimeExponents) {
            if (f.root < (uint64_t{1} << k)) break;  // no k-th root of 2 or more
            const uint64_t r = IntegerRoot(f.root, k);
            if (PowerIs(r, k, f.root)) {
                f.root = r;
                f.exponent *= k;
                found = true;
                break;
            }
        }
    }
    return f;
}

BaseForms FormsOf(uint64_t b) {
    BaseForms forms;
    forms.b = b;
    if (b < 4) return forms;
    const PerfectPowerForm p = PerfectPower(b);
    const unsigned t = static_cast<unsigned>(__builtin_ctz(p.exponent));
    const unsigned odd = p.exponent >> t;
    if (odd > 1) {
        forms.c = PowerOf(p.root, 1u << t);
        forms.m = odd;
    }
    if (t > 0) {
        forms.s = PowerOf(p.root, odd);
        forms.t = t;
    }
    return forms;
}

std::vector<BaseForms> PowerBasesIn(int64_t lo, int64_t hi) {
    std::vector<uint64_t> powers;
    if (hi < 4 || hi < lo) return {};
    const uint64_t top = static_cast<uint64_t>(hi);
    // Prime exponents reach every perfect power: x^(ab) = (x^a)^b.
    for (unsigned k : kPrimeExponents) {
        if (top < (uint64_t{1} << k)) break;
        const uint64_t last = IntegerRoot(top, k);
        for (uint64_t x = 2; x <= last; ++x) {
            const uint64_t b = PowerOf(x, k);
            if (static_cast<int64_t>(b) >= lo && ((b ^ static_cast<uint64_t>(lo)) & 1) == 0) powers.push_back(b);
        }
    }
    std::sort(powers.begin(), powers.end());
    powers.erase(std::unique(powers.begin(), powers.end()), powers.end());
    std::vector<BaseForms> out;
    out.reserve(powers.size());
    for (uint64_t b : powers) out.push_back(FormsOf(b));
    return out;
}

std::vector<BaseForms> PowerCandidates(const std::vector<BaseForms>& powers, const SieveJob& job) {
    std::vector<BaseForms> out;
    const uint32_t* bits = job.candidateBitmap.data();
    for (const BaseForms& f : powers) {
        if (f.b > static_cast<uint64_t>(job.bMax)) break;
        if (static_cast<int64_t>(f.b) >= job.bMin && BitTest(static_cast<int32_t>(f.b), bits)) out.push_back(f);
    }
    return out;
}

void AlgebraicBases::Collect(const SieveJob& job) {
    bases_.clear();
    if (job.candidateBitmap.empty() || job.bMax < job.bMin) return;
    for (const BaseForms& f : PowerCandidates(PowerBasesIn(job.bMin, job.bMax), job))
        if (f.OddPower()) bases_.push_back(f);
}

int32_t AlgebraicBases::Left(const SieveJob& job) const {
    int32_t left = 0;
    if (job.candidateBitmap.empty()) return 0;
    for (const BaseForms& f : bases_)
        if (BitTest(static_cast<int32_t>(f.b), job.candidateBitmap.data())) ++left;
    return left;
}

std::string AlgebraicRecordPath(const std::string& file) { return file + ".algebraic"; }

std::string AlgebraicLine(const BaseForms& base, int32_t exponent) {
    return StringPrintf("%" PRIu64 "^%d+1 | %" PRIu64 "^%d+1\n", base.c, exponent, base.b, exponent);
}

bool WriteAlgebraicRecord(const std::string& path, const std::vector<BaseForms>& bases, int32_t exponent,
                          std::string* error) {
    std::string text;
    for (const BaseForms& f : bases)
        if (f.OddPower()) text += AlgebraicLine(f, exponent);
    int e = 0;
    if (ReplaceFileText(path, text, &e)) return true;
    *error = ErrorText(e);
    return false;
}

bool AlgebraicRecordBegins(std::string_view head) {
    const size_t end = head.find('\n');
    AlgebraicFault fault;
    bool blank = false;
    return end != std::string_view::npos && CheckAlgebraicLine(head.substr(0, end), &fault, &blank);
}

const char* AlgebraicFaultText(AlgebraicFault fault) {
    switch (fault) {
    case AlgebraicFault::Malformed: return "not an algebraic line \"c^N+1 | b^N+1\"";
    case AlgebraicFault::OutOfRange: return "a number out of range (c, b and N below 2^31)";
    case AlgebraicFault::NotPowerOfTwo: return "N is not a power of two from 2 to 2^30";
    case AlgebraicFault::ExponentsDiffer: return "the two exponents differ";
    case AlgebraicFault::NotAPower: return "b is not c^m for any m above 1";
    case AlgebraicFault::EvenPower: return "b is c^m with m even, and c^N+1 does not divide b^N+1";
    case AlgebraicFault::TooLong:
        static_assert(kAlgebraicLineBytes == 4096);
        return "a line longer than 4096 bytes";
    }
    return "";
}

bool CheckAlgebraicLine(std::string_view line, AlgebraicFault* fault, bool* blank) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    *blank = line.find_first_not_of(" \t") == std::string_view::npos;
    if (*blank) return false;
    *fault = AlgebraicFault::Malformed;
    constexpr uint64_t kCap = std::numeric_limits<int32_t>::max();
    uint64_t c = 0, n1 = 0, b = 0, n2 = 0;
    bool over = false;
    size_t i = 0;
    if (!ReadDigits(line, &i, kCap, &c, &over) || !Literal(line, &i, "^") || !ReadDigits(line, &i, kCap, &n1, &over) ||
        !Literal(line, &i, "+1 | ") || !ReadDigits(line, &i, kCap, &b, &over) || !Literal(line, &i, "^") ||
        !ReadDigits(line, &i, kCap, &n2, &over) || !Literal(line, &i, "+1") || i != line.size())
        return false;
    if (over) {
        *fault = AlgebraicFault::OutOfRange;
        return false;
    }
    if (n1 < 2 || (n1 & (n1 - 1)) != 0 || n1 > (uint64_t{1} << 30)) {
        *fault = AlgebraicFault::NotPowerOfTwo;
        return false;
    }
    if (n1 != n2) {
        *fault = AlgebraicFault::ExponentsDiffer;
        return false;
    }
    // b = c^m, found by multiplying up: nothing is rounded.
    unsigned m = 0;
    if (c >= 2) {
        uint64_t p = 1;
        while (p < b) {
            p *= c;
            ++m;
        }
        if (p != b) m = 0;
    }
    if (m < 2) {
        *fault = AlgebraicFault::NotAPower;
        return false;
    }
    if (m % 2 == 0) {
        *fault = AlgebraicFault::EvenPower;
        return false;
    }
    return true;
}

namespace {

void TakeAlgebraicLine(std::string_view line, AlgebraicCheck& check) {
    ++check.lines;
    AlgebraicFault fault = AlgebraicFault::Malformed;
    bool blank = false;
    if (CheckAlgebraicLine(line, &fault, &blank))
        ++check.algebraic;
    else if (!blank)
        check.bad.push_back({check.lines, Shown(line.substr(0, line.size() - (line.ends_with('\r') ? 1 : 0))), fault});
}

}  // namespace

AlgebraicCheck CheckAlgebraicText(std::string_view text) {
    AlgebraicCheck check;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t nl = text.find('\n', pos);
        const size_t end = nl == std::string_view::npos ? text.size() : nl;
        TakeAlgebraicLine(text.substr(pos, end - pos), check);
        pos = end + 1;
    }
    return check;
}

bool CheckAlgebraicRecord(const std::string& path, AlgebraicCheck* check, std::string* error) {
    *check = AlgebraicCheck{};
    // Opened without waiting for a pipe's writer; a folder reads nothing and
    // a device may never end (/dev/zero).
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        *error = StringPrintf("Unable to open algebraic record %s.", path.c_str());
        return false;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        *error = StringPrintf(S_ISDIR(st.st_mode) ? "Algebraic record %s is a folder, not a file."
                                                  : "Algebraic record %s is not a regular file (a pipe or a "
                                                    "device); a record must be one.",
                              path.c_str());
        ::close(fd);
        return false;
    }
    // A line is kept up to the bound; the rest of a longer one is skipped.
    std::string line;
    bool tooLong = false;
    auto take = [&] {
        if (tooLong) {
            ++check->lines;
            check->bad.push_back({check->lines, Shown(line), AlgebraicFault::TooLong});
        } else {
            TakeAlgebraicLine(line, *check);
        }
        line.clear();
        tooLong = false;
    };
    std::vector<char> buffer(size_t{1} << 16);
    for (;;) {
        const ssize_t got = ::read(fd, buffer.data(), buffer.size());
        if (got < 0 && errno == EINTR) continue;
        if (got < 0) {
            *error = StringPrintf("Unable to read algebraic record %s after line %" PRIu64 ".", path.c_str(),
                                  check->lines);
            ::close(fd);
            return false;
        }
        if (got == 0) break;
        std::string_view chunk(buffer.data(), static_cast<size_t>(got));
        for (;;) {
            const size_t nl = chunk.find('\n');
            const std::string_view part = chunk.substr(0, nl);
            if (!tooLong) {
                tooLong = line.size() + part.size() > kAlgebraicLineBytes;
                line.append(part.substr(0, kAlgebraicLineBytes - line.size()));
            }
            if (nl == std::string_view::npos) break;
            take();
            chunk.remove_prefix(nl + 1);
        }
    }
    ::close(fd);
    if (tooLong || !line.empty()) take();
    return true;
}

}  // namespace varnesk
