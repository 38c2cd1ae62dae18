// Where the worker's texts and records go: the stand-in for the form's
// window. A log line's text passes with it; the worker never touches it
// again. Progress, the range and the end travel as values, so that no front
// end reads numbers or a job's end back out of a text.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/numparse.h"

namespace varnesk {

// How a job ended, as the worker saw it happen. The front ends derive
// their exit status and their idle state from it, never from a log line.
enum class JobOutcome {
    // Ended by a stop request, its end P, the sieve's limit, every base
    // struck, or (a packed K build) a stop or the 64-bit limit.
    kNormalEnd,
    // A resume whose input holds no candidate: nothing to sieve, no failure.
    kNothingToDo,
    // Refused at its start, or a failure on the way; the log says which.
    kFailed,
};

// Where a read of a big input file has got to, before a job's first prime:
// pass 1 checks every line, pass 2 loads the bases.
struct ReadingProgress {
    int pass = 1;
    int64_t bytesRead = 0;
    int64_t bytesTotal = 0;
    double seconds = 0;  // since the pass began
};

// "reading <what>, 1.2 of 18.0 GB, 640 MB/s" for a status line.
std::string FormatReading(const ReadingProgress& reading);

class TextSink {
public:
    virtual ~TextSink() = default;
    // All called on the worker thread, in the order the worker posts; none
    // may block on the front end.
    // A log line.
    virtual void PostWorkerText(std::unique_ptr<std::string> text) = 0;
    // The progress record: the bases left and the p being sieved. A sink
    // that keeps log lines only leaves these three alone.
    virtual void PostProgressRecord(int32_t /*basesLeft*/, UInt128 /*p*/) {}
    // How many bases of the form c^m (m odd, m > 1) the candidates still
    // hold; posted just before a progress record, when the job has any.
    virtual void PostAlgebraicRecord(int32_t /*algebraicLeft*/) {}
    // The range record of a resume, once its input file's range is known.
    virtual void PostRangeRecord(int32_t /*bMin*/, int32_t /*bMax*/, int32_t /*exponent*/) {}
    // Now and then while a big input file is read, so that a front end is
    // never silent for minutes; a sink may leave it alone.
    virtual void PostReadingRecord(const ReadingProgress& /*reading*/) {}
    // The end marker: exactly once per job, the last thing it posts.
    virtual void PostEndMarker(JobOutcome /*outcome*/) {}
};

// Keeps the last log line only: for a caller that runs one file step
// outside a job and wants its refusal as text.
class LastLineSink : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override {
        if (text) last = std::move(*text);
    }
    std::string last;
};

// One thing a worker posted, for a front end that hands what arrives to
// another thread.
struct WorkerRecord {
    enum Kind { kLogLine, kProgress, kAlgebraic, kRange, kEnd, kReading } kind = kLogLine;
    std::string text;  // kLogLine
    int32_t basesLeft = 0;  // kProgress; kAlgebraic: the algebraic bases left
    UInt128 p = 0;
    int32_t bMin = 0, bMax = 0, exponent = 0;  // kRange
    JobOutcome outcome = JobOutcome::kFailed;  // kEnd
    ReadingProgress reading;                    // kReading

    static WorkerRecord LogLine(std::string text);
    static WorkerRecord Progress(int32_t basesLeft, UInt128 p);
    static WorkerRecord Algebraic(int32_t algebraicLeft);
    static WorkerRecord Range(int32_t bMin, int32_t bMax, int32_t exponent);
    static WorkerRecord End(JobOutcome outcome);
    static WorkerRecord Reading(const ReadingProgress& reading);
};

// printf-style formatting into a new text, posted to sink (nothing when null).
void PostText(TextSink* sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PostString(TextSink* sink, std::string text);
// The records, to a sink that may be null.
void PostProgress(TextSink* sink, int32_t basesLeft, UInt128 p);
void PostAlgebraic(TextSink* sink, int32_t algebraicLeft);
void PostRange(TextSink* sink, int32_t bMin, int32_t bMax, int32_t exponent);
void PostEnd(TextSink* sink, JobOutcome outcome);
void PostReading(TextSink* sink, const ReadingProgress& reading);

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// p as a progress line shows it: from 10^12 on its leading digits, a comma
// and its last twelve digits (a 16-digit p shows its first four digits, a
// comma and its last twelve).
std::string FormatProgressP(UInt128 p);

// The form's time stamp " %m/%d %H:%M" for now; empty if local time fails.
std::string LogTimeStamp();

}  // namespace varnesk
