// The number reader of the form and the files against the C library's
// decimal conversion: the same value, the same "no number" and the same
// overflow, for every text.
#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "fuzz_support.h"
#include "platform/numparse.h"

using namespace varnesk;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    // The C functions stop at the first NUL, and so does the reader: a NUL
    // is neither a blank, a sign nor a digit.
    const std::string s(text);
    const char* begin = s.c_str();
    char* end = nullptr;

    errno = 0;
    const long long ll = std::strtoll(begin, &end, 10);
    const bool llDigits = end != begin, llOver = errno == ERANGE;
    const ParsedNumber i64 = ParseInt64(text);
    FUZZ_CHECK(i64.hasDigits == llDigits);
    FUZZ_CHECK(i64.value == (llDigits ? ll : 0));
    FUZZ_CHECK(i64.overflow == llOver);

    // 32 bits: the 64-bit reading saturated at the narrower limits.
    const ParsedNumber i32 = ParseInt32(text);
    const bool over32 = llOver || ll > INT32_MAX || ll < INT32_MIN;
    const long long want32 = !llDigits ? 0 : over32 ? (ll < 0 ? INT32_MIN : INT32_MAX) : ll;
    FUZZ_CHECK(i32.hasDigits == llDigits);
    FUZZ_CHECK(i32.value == want32);
    FUZZ_CHECK(i32.overflow == over32);

    errno = 0;
    const unsigned long long ull = std::strtoull(begin, &end, 10);
    const bool ullDigits = end != begin, ullOver = errno == ERANGE;
    const ParsedNumber u64 = ParseUInt64(text);
    FUZZ_CHECK(u64.hasDigits == ullDigits);
    FUZZ_CHECK(static_cast<uint64_t>(u64.value) == (ullDigits ? ull : 0));
    FUZZ_CHECK(u64.overflow == ullOver);
    return 0;
}
