// What a running sieve's progress records say when read together: rates,
// time left, the survivors one should expect, and whether sieving still
// removes candidates faster than a primality test would. Both front ends
// feed it the same records (time, p, bases left).
//
// The model: a prime q = k*2N + 1 divides b^N + 1 for N residues b mod q,
// and the primes of that form have density 1/(N ln q), so sieving to p
// leaves a share of the bases that falls like A / ln p (Mertens). At a
// steady rate of primes, p rises by about N ln p per prime, so bases go at
// C / (p ln p) per second: the removal rate falls roughly as 1/p.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/numparse.h"

namespace varnesk {

struct ProgressPoint {
    double t = 0;  // seconds, any fixed origin
    double p = 0;
    int64_t left = 0;  // bases left
    // Of them, bases c^m with m odd and above 1: composite whatever the
    // sieve finds, and struck only when c is.
    int64_t algebraic = 0;
};

struct SieveRates {
    bool valid = false;
    double seconds = 0;  // the span the rates cover
    double pPerSecond = 0;
    double primesPerSecond = 0;  // estimated from the density of primes k*2N+1
    double pPerDay = 0;          // in units of 10^15
    double removedPerHour = 0;
};

struct StopAdvice {
    enum Kind { kNotYet, kKeepSieving, kStopSieving } kind = kNotYet;
    double removalSeconds = 0;  // seconds per base removed now (model)
    double crossingP = 0;       // where removal gets slower than a test
    double secondsToCrossing = 0;
};

// How both front ends write a rate ("23515", "3.81", "0.000123") and a
// span of time ("01:02:03", "2d 00:01:00").
std::string FormatRate(double value);
std::string FormatDuration(double seconds);

// The line both front ends end a sieve with: "Summary: P <from> to <to>,
// about <n> primes, <m> bases removed, <span>, average <rate> P/day", the
// primes of the form k*2N+1 between the two p estimated by their density.
std::string SummaryLine(UInt128 fromP, UInt128 toP, int32_t exponent, int64_t removed, double seconds,
                        double pPerDay);

// Rates between two records of a job with exponent N.
SieveRates RatesBetween(const ProgressPoint& from, const ProgressPoint& to, int32_t exponent);

class SieveHistory {
public:
    // Old points are thinned beyond maxPoints so that a days-long run stays
    // cheap to keep and to draw; the newest half is always kept whole.
    explicit SieveHistory(int32_t exponent, size_t maxPoints = 4000);

    void SetExponent(int32_t exponent) { exponent_ = exponent; }
    // A point whose time does not advance, or whose p falls, starts the
    // history again (a new job or a resume from an earlier file).
    void Add(const ProgressPoint& point);
    void Clear();
    const std::vector<ProgressPoint>& Points() const { return points_; }
    bool Empty() const { return points_.empty(); }
    double Elapsed() const { return points_.size() < 2 ? 0 : points_.back().t - points_.front().t; }
    int64_t Removed() const { return points_.empty() ? 0 : firstLeft_ - points_.back().left; }

    // Over at least the last `window` seconds (from the last point at or
    // before its start); window <= 0: since the first point.
    SieveRates Recent(double window) const;
    SieveRates SinceStart() const { return Recent(0); }
    // Seconds until p reaches endP at the recent rate; negative: unknown.
    double SecondsTo(double endP, double window) const;

    // Survivors expected at p, the algebraic bases left out: A / ln p with
    // A fitted by least squares to the history from the square root of the
    // latest p on. 0 without at least two points.
    double ExpectedSurvivors(double p) const;
    // The verdict for a test taking testSeconds per candidate, from the
    // removal model fitted to the last kAdviceRecentShare of the history
    // (longer when that holds fewer than kAdviceFitRemovals removals).
    StopAdvice Advise(double testSeconds) const;

    // Enough history for a verdict: this many bases removed over this long.
    static constexpr int64_t kAdviceRemovals = 20;
    static constexpr double kAdviceSeconds = 60;
    static constexpr double kAdviceRecentShare = 0.25;
    static constexpr int64_t kAdviceFitRemovals = 100;

private:
    void Thin();

    int32_t exponent_;
    size_t maxPoints_;
    std::vector<ProgressPoint> points_;
    int64_t firstLeft_ = 0;
};

}  // namespace varnesk
