#include "files/rangerecord.h"

#include <cerrno>
#include <fstream>
#include <sstream>
#include <string>

#include "files/textfile.h"
#include "platform/fs.h"
#include "platform/post.h"

namespace varnesk {

namespace {

constexpr std::string_view kFirstLine = "varnesk range 1";
constexpr uint64_t kFnvOffset = 14695981039346656037ULL;
constexpr uint64_t kFnvPrime = 1099511628211ULL;

inline void Feed(uint64_t& h, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        h ^= (v >> (8 * i)) & 0xffu;
        h *= kFnvPrime;
    }
}

bool AllDigits(std::string_view s) {
    return !s.empty() && s.find_first_not_of("0123456789") == std::string_view::npos;
}

}  // namespace

uint64_t CandidateFingerprint(const SieveJob& job) {
    uint64_t h = kFnvOffset;
    Feed(h, static_cast<uint32_t>(job.exponent));
    // The writer's walk, a word at a time: the bitmap may be billions of bits.
    const int64_t first = job.bMin >= 0 ? job.bMin : (job.bMin & 1);
    int64_t last = static_cast<int64_t>(job.candidateBitmap.size()) * 32 - 1;
    if (job.bMax < last) last = job.bMax;
    for (int64_t word = first / 32; word * 32 <= last; ++word) {
        for (uint32_t bits = job.candidateBitmap[static_cast<size_t>(word)]; bits != 0; bits &= bits - 1) {
            const int64_t b = word * 32 + __builtin_ctz(bits);
            if (b >= first && b <= last && ((b ^ first) & 1) == 0) Feed(h, static_cast<uint32_t>(b));
        }
    }
    return h;
}

std::string SievedRangePath(const std::string& factorFile) { return factorFile + ".range"; }

std::string FormatSievedRange(const SievedRange& r) {
    return std::string(kFirstLine) + "\nN " + std::to_string(r.exponent) + "\nfingerprint " +
           std::to_string(r.fingerprint) + "\nsaved " + std::to_string(r.saved) + "\nfrom " +
           FormatUInt128(r.from) + "\nto " + FormatUInt128(r.to) + "\n";
}

bool ParseSievedRange(std::string_view text, SievedRange* out, std::string* error) {
    std::istringstream in{std::string(text)};
    std::string line;
    if (!std::getline(in, line) || line != kFirstLine) {
        *error = "its first line is not \"" + std::string(kFirstLine) + "\"";
        return false;
    }
    SievedRange r;
    unsigned seen = 0;
    for (int number = 2; std::getline(in, line); ++number) {
        if (line.empty()) continue;
        const size_t space = line.find(' ');
        const std::string key = line.substr(0, space);
        const std::string value = space == std::string::npos ? std::string() : line.substr(space + 1);
        static constexpr const char* kKeys[] = {"N", "fingerprint", "saved", "from", "to"};
        unsigned bit = 0;
        for (unsigned i = 0; i < 5; ++i)
            if (key == kKeys[i]) bit = 1u << i;
        const std::string where = "line " + std::to_string(number);
        if (bit == 0) {
            *error = where + " is none of N, fingerprint, saved, from, to";
            return false;
        }
        if (seen & bit) {
            *error = where + " gives " + key + " a second time";
            return false;
        }
        seen |= bit;
        bool ok = AllDigits(value);
        if (ok && key == "N") {
            const ParsedNumber n = ParseInt32(value);
            ok = !n.overflow && ExponentLog2(n.value) != 0;
            r.exponent = static_cast<int32_t>(n.value);
        } else if (ok && (key == "fingerprint" || key == "saved")) {
            const ParsedNumber n = ParseUInt64(value);
            ok = !n.overflow;
            (key == "saved" ? r.saved : r.fingerprint) = static_cast<uint64_t>(n.value);
        } else if (ok) {
            const ParsedWide n = ParseUInt128(value);
            ok = !n.overflow && n.value < kWideLimitP;
            (key == "to" ? r.to : r.from) = n.value;
        }
        if (!ok) {
            *error = where + ": '" + value + "' is no value of " + key;
            return false;
        }
    }
    if (seen != 31) {
        *error = "it lacks one of N, fingerprint, saved, from, to";
        return false;
    }
    if (r.from > r.to) {
        *error = "from lies above to";
        return false;
    }
    *out = r;
    return true;
}

RangeRead ReadSievedRange(const std::string& path, SievedRange* range, std::string* error) {
    const PathState s = InspectPath(path);
    if (s.kind == PathKind::Missing) return RangeRead::kMissing;
    // A record is a few lines: anything longer is no record.
    constexpr size_t kMaxBytes = 4096;
    std::ifstream in(path, std::ios::binary);
    std::string text(kMaxBytes + 1, '\0');
    in.read(text.data(), static_cast<std::streamsize>(text.size()));
    text.resize(static_cast<size_t>(in.gcount()));
    if (s.kind != PathKind::Regular || !in.is_open() || in.bad() || text.size() > kMaxBytes) {
        *error = s.kind != PathKind::Regular ? "it is not a regular file"
                 : text.size() > kMaxBytes   ? "it is too long for a range record"
                                             : "it cannot be read";
        return RangeRead::kBad;
    }
    return ParseSievedRange(text, range, error) ? RangeRead::kRead : RangeRead::kBad;
}

bool WriteSievedRange(const std::string& path, const SievedRange& range, std::string* error) {
    int code = 0;
    if (ReplaceFileText(path, FormatSievedRange(range), &code)) return true;
    *error = ErrorText(code);
    return false;
}

SievedRange ContinueSievedRange(const SievedRange* e, int32_t exponent, uint64_t input, UInt128 from) {
    if (e && e->exponent == exponent && e->from <= from && from <= e->to &&
        (input == e->saved || input == e->fingerprint)) {
        SievedRange r = *e;
        r.saved = input;
        r.to = from;
        return r;
    }
    SievedRange r;
    r.exponent = exponent;
    r.fingerprint = r.saved = input;
    r.from = r.to = from;
    return r;
}

}  // namespace varnesk
