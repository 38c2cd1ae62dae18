#include "engine/sievestats.h"

#include <cinttypes>
#include <cmath>

#include "platform/post.h"

namespace varnesk {

namespace {
double Ln(double p) { return std::log(p > 3 ? p : 3); }
}  // namespace

std::string FormatRate(double v) {
    if (v >= 100) return StringPrintf("%.0f", v);
    if (v >= 1) return StringPrintf("%.2f", v);
    return StringPrintf("%.3g", v);
}

std::string FormatDuration(double seconds) {
    if (!(seconds >= 0)) seconds = 0;
    if (seconds > 1e9) return "a very long time";
    int64_t s = static_cast<int64_t>(seconds + 0.5);
    int64_t d = s / 86400;
    s %= 86400;
    std::string hms = StringPrintf("%02d:%02d:%02d", static_cast<int>(s / 3600), static_cast<int>(s / 60 % 60),
                                   static_cast<int>(s % 60));
    return d ? StringPrintf("%" PRId64 "d ", d) + hms : hms;
}

std::string SummaryLine(UInt128 fromP, UInt128 toP, int32_t exponent, int64_t removed, double seconds,
                        double pPerDay) {
    // Primes p = k*2N+1 have density 1/(N ln p) among the integers.
    const double primes =
        exponent > 0 && toP > fromP
            ? static_cast<double>(toP - fromP) /
                  (exponent * std::log((static_cast<double>(fromP) + static_cast<double>(toP)) / 2 + 3))
            : 0;
    return StringPrintf("Summary: P %s to %s, about %.0f primes, %" PRId64 " bases removed, %s, average %s P/day",
                        FormatUInt128(fromP).c_str(), FormatUInt128(toP).c_str(), primes, removed,
                        FormatDuration(seconds).c_str(), FormatRate(pPerDay).c_str());
}

SieveRates RatesBetween(const ProgressPoint& from, const ProgressPoint& to, int32_t exponent) {
    SieveRates r;
    const double dt = to.t - from.t;
    if (!(dt > 0) || to.p < from.p) return r;
    r.valid = true;
    r.seconds = dt;
    r.pPerSecond = (to.p - from.p) / dt;
    r.pPerDay = r.pPerSecond * 86400.0 / 1e15;
    // Primes p = k*2N+1 near p have density 1/(N ln p) among the integers.
    if (exponent > 0) r.primesPerSecond = r.pPerSecond / (exponent * Ln((from.p + to.p) / 2));
    r.removedPerHour = static_cast<double>(from.left - to.left) / dt * 3600.0;
    return r;
}

SieveHistory::SieveHistory(int32_t exponent, size_t maxPoints)
    : exponent_(exponent), maxPoints_(maxPoints < 8 ? 8 : maxPoints) {}

void SieveHistory::Clear() {
    points_.clear();
    firstLeft_ = 0;
}

void SieveHistory::Add(const ProgressPoint& point) {
    if (!points_.empty() && (point.t <= points_.back().t || point.p < points_.back().p)) Clear();
    if (points_.empty()) firstLeft_ = point.left;
    points_.push_back(point);
    if (points_.size() > maxPoints_) Thin();
}

void SieveHistory::Thin() {
    // Every other point of the older half goes; the first stays.
    const size_t older = points_.size() / 2;
    size_t kept = 1;
    for (size_t i = 2; i < older; i += 2) points_[kept++] = points_[i];
    for (size_t i = older; i < points_.size(); ++i) points_[kept++] = points_[i];
    points_.resize(kept);
}

SieveRates SieveHistory::Recent(double window) const {
    if (points_.size() < 2) return {};
    const ProgressPoint& last = points_.back();
    // From the last record at or before the window's start, so that a pause
    // inside the window counts.
    size_t from = 0;
    if (window > 0) {
        from = points_.size() - 2;
        while (from > 0 && points_[from].t > last.t - window) --from;
    }
    return RatesBetween(points_[from], last, exponent_);
}

double SieveHistory::SecondsTo(double endP, double window) const {
    const SieveRates r = Recent(window);
    if (!r.valid || !(r.pPerSecond > 0)) return -1;
    const double p = points_.back().p;
    return p >= endP ? 0 : (endP - p) / r.pPerSecond;
}

double SieveHistory::ExpectedSurvivors(double p) const {
    if (points_.size() < 2) return 0;
    // The law holds once p is well above the first primes, so the fit
    // skips the points below the square root of the latest p (among them
    // the record at a new sieve's start, p = 0, which would outweigh the
    // rest since its 1 / ln p is largest).
    const double floor = std::sqrt(points_.back().p);
    double num = 0, den = 0;
    for (const ProgressPoint& q : points_) {
        if (q.p < floor) continue;
        const double w = 1 / Ln(q.p);
        num += static_cast<double>(q.left - q.algebraic) * w;
        den += w * w;
    }
    return num / den / Ln(p);
}

StopAdvice SieveHistory::Advise(double testSeconds) const {
    StopAdvice a;
    if (!(testSeconds > 0) || Removed() < kAdviceRemovals || Elapsed() < kAdviceSeconds) return a;
    // Removals come at C / (p ln p) per second; C by matching the bases
    // removed to the integral of that rate over the recent part of the
    // history. While p is small a prime strikes so many bases that the
    // sieve walks fewer primes a second: a fit over the whole run would
    // carry that phase, which dominates the integral, for days.
    const size_t last = points_.size() - 1;
    const double since = points_[last].t - (points_[last].t - points_.front().t) * kAdviceRecentShare;
    size_t from = last;
    while (from > 0 && (points_[from].t > since || points_[from].left - points_[last].left < kAdviceFitRemovals)) --from;
    double exposure = 0;
    for (size_t i = from + 1; i <= last; ++i) {
        const double mid = (points_[i - 1].p + points_[i].p) / 2;
        exposure += (points_[i].t - points_[i - 1].t) / (mid * Ln(mid));
    }
    if (!(exposure > 0)) return a;
    const double c = static_cast<double>(points_[from].left - points_[last].left) / exposure;
    const double p = points_.back().p;
    a.removalSeconds = p * Ln(p) / c;
    // p* ln p* = c T by Newton's iteration from the present p.
    const double target = c * testSeconds;
    double x = p;
    for (int i = 0; i < 60; ++i) x = (x + target) / (Ln(x) + 1);
    a.crossingP = x;
    a.kind = a.removalSeconds < testSeconds ? StopAdvice::kKeepSieving : StopAdvice::kStopSieving;
    if (a.kind == StopAdvice::kKeepSieving) {
        // p rises by about N ln p per prime at a steady rate of primes.
        const SieveRates r = RatesBetween(points_[from], points_[last], exponent_);
        if (r.valid && r.pPerSecond > 0)
            a.secondsToCrossing = (x - p) / r.pPerSecond * Ln(p) / Ln((x + p) / 2);
    }
    return a;
}

}  // namespace varnesk
