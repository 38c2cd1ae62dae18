#include "engine/records.h"

#include <string>

namespace varnesk {

namespace {

// Splits "X rest" after the two-character marker; false without a blank at
// a position above 0 (the form then leaves its fields alone).
bool SplitFirst(std::string_view r, std::string_view* head, std::string_view* rest) {
    size_t sp = r.find(' ');
    if (sp == std::string_view::npos || sp == 0) return false;
    *head = r.substr(0, sp);
    *rest = r.substr(sp + 1);
    return true;
}

}  // namespace

bool ParseProgressRecord(std::string_view text, int32_t* count, UInt128* p) {
    if (text.size() < 2 || text[0] != '$') return false;
    std::string_view head, rest;
    if (!SplitFirst(text.substr(2), &head, &rest) || rest.empty()) return false;
    ParsedNumber c = ParseInt32(head);
    std::string digits;
    for (char ch : rest)
        if (ch != ',') digits += ch;
    ParsedWide v = ParseUInt128(digits);
    if (!c.hasDigits || !v.hasDigits || v.negative || v.overflow) return false;
    *count = static_cast<int32_t>(c.value);
    *p = v.value;
    return true;
}

bool ParseRangeRecord(std::string_view text, int32_t* bMin, int32_t* bMax, int32_t* exponent) {
    if (text.size() < 2 || text[0] != '&') return false;
    std::string_view a, rest, b, c;
    if (!SplitFirst(text.substr(2), &a, &rest) || !SplitFirst(rest, &b, &c)) return false;
    ParsedNumber na = ParseInt32(a), nb = ParseInt32(b), nc = ParseInt32(c);
    if (!na.hasDigits || !nb.hasDigits || !nc.hasDigits) return false;
    *bMin = static_cast<int32_t>(na.value);
    *bMax = static_cast<int32_t>(nb.value);
    *exponent = static_cast<int32_t>(nc.value);
    return true;
}

}  // namespace varnesk
