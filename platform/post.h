// Where the worker's texts go: the stand-in for the form's window. A text's
// ownership passes with it; the worker never touches it again.
#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "platform/numparse.h"

namespace varnesk {

class TextSink {
public:
    virtual ~TextSink() = default;
    // Called on the worker thread; must not block on the front end.
    virtual void PostWorkerText(std::unique_ptr<std::string> text) = 0;
};

// printf-style formatting into a new text, posted to sink (nothing when null).
void PostText(TextSink* sink, const char* format, ...) __attribute__((format(printf, 2, 3)));
void PostString(TextSink* sink, std::string text);

std::string StringPrintf(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The progress record "$ count p". From 10^12 on, p is shown as its leading
// digits, a comma and its last twelve digits.
std::string FormatProgressRecord(int32_t count, int64_t p);
// The same for the wide sieve's p (the part before the comma grows).
std::string FormatProgressRecordWide(int32_t count, UInt128 p);

// The form's time stamp " %m/%d %H:%M" for now; empty if local time fails.
std::string LogTimeStamp();

}  // namespace varnesk
