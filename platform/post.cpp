#include "platform/post.h"

#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <vector>

namespace varnesk {

namespace {
std::string VFormat(const char* format, va_list args) {
    va_list copy;
    va_copy(copy, args);
    char small[256];
    int need = std::vsnprintf(small, sizeof small, format, copy);
    va_end(copy);
    if (need < 0) return std::string();
    if (static_cast<size_t>(need) < sizeof small) return std::string(small, static_cast<size_t>(need));
    std::vector<char> big(static_cast<size_t>(need) + 1);
    std::vsnprintf(big.data(), big.size(), format, args);
    return std::string(big.data(), static_cast<size_t>(need));
}
}  // namespace

std::string StringPrintf(const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::string s = VFormat(format, args);
    va_end(args);
    return s;
}

void PostString(TextSink* sink, std::string text) {
    if (sink) sink->PostWorkerText(std::make_unique<std::string>(std::move(text)));
}

void PostText(TextSink* sink, const char* format, ...) {
    if (!sink) return;
    va_list args;
    va_start(args, format);
    std::string s = VFormat(format, args);
    va_end(args);
    PostString(sink, std::move(s));
}

void PostProgress(TextSink* sink, int32_t basesLeft, UInt128 p) {
    if (sink) sink->PostProgressRecord(basesLeft, p);
}

void PostAlgebraic(TextSink* sink, int32_t algebraicLeft) {
    if (sink) sink->PostAlgebraicRecord(algebraicLeft);
}

void PostRange(TextSink* sink, int32_t bMin, int32_t bMax, int32_t exponent) {
    if (sink) sink->PostRangeRecord(bMin, bMax, exponent);
}

void PostEnd(TextSink* sink, JobOutcome outcome) {
    if (sink) sink->PostEndMarker(outcome);
}

void PostReading(TextSink* sink, const ReadingProgress& reading) {
    if (sink) sink->PostReadingRecord(reading);
}

std::string FormatReading(const ReadingProgress& r) {
    const double rate = r.seconds > 0 ? static_cast<double>(r.bytesRead) / r.seconds / 1e6 : 0;
    // GB once there is more than one of them, so that the figures move.
    const bool giga = r.bytesTotal >= 2000000000;
    const double unit = giga ? 1e9 : 1e6;
    return StringPrintf("reading the input file (%s), %.1f of %.1f %s, %.0f MB/s",
                        r.pass == 1 ? "checking its lines" : "loading its bases",
                        static_cast<double>(r.bytesRead) / unit, static_cast<double>(r.bytesTotal) / unit,
                        giga ? "GB" : "MB", rate);
}

WorkerRecord WorkerRecord::Reading(const ReadingProgress& reading) {
    WorkerRecord r;
    r.kind = kReading;
    r.reading = reading;
    return r;
}

WorkerRecord WorkerRecord::LogLine(std::string text) {
    WorkerRecord r;
    r.text = std::move(text);
    return r;
}

WorkerRecord WorkerRecord::Progress(int32_t basesLeft, UInt128 p) {
    WorkerRecord r;
    r.kind = kProgress;
    r.basesLeft = basesLeft;
    r.p = p;
    return r;
}

WorkerRecord WorkerRecord::Algebraic(int32_t algebraicLeft) {
    WorkerRecord r;
    r.kind = kAlgebraic;
    r.basesLeft = algebraicLeft;
    return r;
}

WorkerRecord WorkerRecord::Range(int32_t bMin, int32_t bMax, int32_t exponent) {
    WorkerRecord r;
    r.kind = kRange;
    r.bMin = bMin;
    r.bMax = bMax;
    r.exponent = exponent;
    return r;
}

WorkerRecord WorkerRecord::End(JobOutcome outcome) {
    WorkerRecord r;
    r.kind = kEnd;
    r.outcome = outcome;
    return r;
}

std::string FormatProgressP(UInt128 p) {
    constexpr int64_t kSplit = 1000000000000;  // 10^12
    std::string digits = FormatUInt128(p);
    if (p < kSplit) return digits;
    return digits.substr(0, digits.size() - 12) + "," + digits.substr(digits.size() - 12);
}

std::string LogTimeStamp() {
    std::time_t now = std::time(nullptr);
    std::tm local{};
    if (!localtime_r(&now, &local)) return std::string();
    char buf[64];
    size_t n = std::strftime(buf, sizeof buf, " %m/%d %H:%M", &local);
    return std::string(buf, n);
}

}  // namespace varnesk
