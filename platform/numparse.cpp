#include "platform/numparse.h"

#include <cstddef>
#include <limits>
#include <string>

namespace varnesk {

namespace {
bool IsBlank(char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r'; }

// Magnitude with a cap: digits beyond the cap only set overflow.
struct Magnitude {
    bool negative = false, hasDigits = false, overflow = false;
    uint64_t value = 0;
};

Magnitude ReadMagnitude(std::string_view text, uint64_t cap) {
    Magnitude m;
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        m.negative = text[i] == '-';
        ++i;
    }
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        m.hasDigits = true;
        uint64_t d = static_cast<uint64_t>(text[i] - '0');
        if (m.overflow) continue;
        if (m.value > (cap - d) / 10) {
            m.overflow = true;
            m.value = cap;
        } else {
            m.value = m.value * 10 + d;
        }
    }
    if (!m.hasDigits) m.negative = false;
    return m;
}

ParsedNumber Signed(std::string_view text, int64_t lo, int64_t hi) {
    uint64_t posCap = static_cast<uint64_t>(hi);
    uint64_t negCap = static_cast<uint64_t>(-(lo + 1)) + 1;
    Magnitude m = ReadMagnitude(text, std::numeric_limits<uint64_t>::max());
    ParsedNumber r;
    r.hasDigits = m.hasDigits;
    r.overflow = m.overflow;
    if (m.negative) {
        if (m.overflow || m.value > negCap) {
            r.overflow = true;
            r.value = lo;
        } else {
            r.value = m.value == negCap ? lo : -static_cast<int64_t>(m.value);
        }
    } else if (m.overflow || m.value > posCap) {
        r.overflow = true;
        r.value = hi;
    } else {
        r.value = static_cast<int64_t>(m.value);
    }
    return r;
}
}  // namespace

ParsedNumber ParseInt64(std::string_view text) {
    return Signed(text, std::numeric_limits<int64_t>::min(), std::numeric_limits<int64_t>::max());
}

ParsedNumber ParseInt32(std::string_view text) {
    return Signed(text, std::numeric_limits<int32_t>::min(), std::numeric_limits<int32_t>::max());
}

ParsedNumber ParseUInt64(std::string_view text) {
    Magnitude m = ReadMagnitude(text, std::numeric_limits<uint64_t>::max());
    ParsedNumber r;
    r.hasDigits = m.hasDigits;
    r.overflow = m.overflow;
    uint64_t v = m.overflow ? std::numeric_limits<uint64_t>::max() : m.value;
    if (m.negative && !m.overflow) v = 0 - v;
    r.value = static_cast<int64_t>(v);
    return r;
}

ParsedWide ParseUInt128(std::string_view text) {
    ParsedWide r;
    size_t i = 0;
    while (i < text.size() && IsBlank(text[i])) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    const UInt128 cap = ~UInt128{0};
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        r.hasDigits = true;
        const unsigned d = static_cast<unsigned>(text[i] - '0');
        if (r.overflow) continue;
        if (r.value > (cap - d) / 10) {
            r.overflow = true;
            r.value = cap;
        } else {
            r.value = r.value * 10 + d;
        }
    }
    r.negative = negative && r.hasDigits;
    return r;
}

ParsedWide ParseWholeNumber(std::string_view text) {
    while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
    while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
    std::string_view digits = text;
    if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
    if (digits.empty()) return {};
    // Grouped only when every comma stands before exactly three digits and
    // the first group has one to three.
    std::string plain;
    const size_t firstComma = digits.find(',');
    if (firstComma != std::string_view::npos && (firstComma == 0 || firstComma > 3)) return {};
    for (size_t i = 0; i < digits.size(); ++i) {
        const char c = digits[i];
        if (c >= '0' && c <= '9') {
            plain += c;
        } else if (c == ',' && firstComma != std::string_view::npos) {
            if ((digits.size() - i - 1) % 4 != 3) return {};
        } else {
            return {};
        }
        // Past the first comma digits and commas alternate in fours.
        if (firstComma != std::string_view::npos && i > firstComma && ((i - firstComma) % 4 == 0) != (c == ','))
            return {};
    }
    return ParseUInt128(std::string(text.substr(0, text.size() - digits.size())) + plain);
}

std::string FormatUInt128Grouped(UInt128 value) {
    std::string digits = FormatUInt128(value);
    for (ptrdiff_t i = static_cast<ptrdiff_t>(digits.size()) - 3; i > 0; i -= 3)
        digits.insert(static_cast<size_t>(i), 1, ',');
    return digits;
}

std::string FormatUInt128(UInt128 value) {
    char digits[40];
    size_t at = sizeof digits;
    do {
        digits[--at] = static_cast<char>('0' + static_cast<int>(value % 10));
        value /= 10;
    } while (value != 0);
    return std::string(digits + at, sizeof digits - at);
}

}  // namespace varnesk
