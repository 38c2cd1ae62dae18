// The device the OpenCL tests run on: the first that OpenCL offers (PoCL on
// a machine without a GPU), its program built and checked once per test
// process, and the reason the tests are skipped without one (said, never
// silent).
#pragma once
#include <gtest/gtest.h>

#include <cstdio>
#include <memory>
#include <string>

#include "gpu/opencl.h"
#include "gpu/selfcheck.h"

namespace varnesk::gpu::testing {

// Why OpenCL tests cannot run here, or empty.
inline std::string SkipReason() {
    std::string why;
    if (ListDevices(&why).empty()) return "no OpenCL device here (" + why + ")";
    return {};
}

// Never released: at exit a runtime's own statics (oclgrind's) may be gone
// before ours, and releasing into them corrupts the heap.
inline Program* OpenTestProgram(bool testHooks) {
    Program* p = nullptr;
    if (!SkipReason().empty()) return p;
    ProgramOptions options;
    options.testHooks = testHooks;
    std::string error;
    p = OpenCheckedProgram(ListDevices().front(), options, nullptr, &error).release();
    if (!p) std::fprintf(stderr, "The test device's program did not open: %s\n", error.c_str());
    return p;
}

// The shipped kernels.
inline Program* TestProgram() {
    static Program* program = OpenTestProgram(false);
    return program;
}

// The tests' build, whose walks can be made to go astray.
inline Program* FaultProgram() {
    static Program* program = OpenTestProgram(true);
    return program;
}

// The kernels' source with the first `from` after `after` replaced by `to`;
// empty when either is missing (the test then says so).
inline std::string Mutated(const std::string& after, const std::string& from, const std::string& to) {
    std::string source = SieveSource();
    const size_t anchor = source.find(after);
    const size_t at = anchor == std::string::npos ? anchor : source.find(from, anchor);
    if (at == std::string::npos) return {};
    return source.replace(at, from.size(), to);
}

// The walk leaves out the hits b = 3 (mod 7), one in seven.
inline std::string DropsHits() {
    return Mutated("void hit(", "const uint at = atomic_inc(hitCount);",
                   "if (b % 7 == 3) return;\n    const uint at = atomic_inc(hitCount);");
}

}  // namespace varnesk::gpu::testing

// Skips the test with the reason printed, so that a skip is never silent.
#define VARNESK_NEED_DEVICE()                                                         \
    do {                                                                              \
        const std::string reason_ = ::varnesk::gpu::testing::SkipReason();            \
        if (!reason_.empty()) {                                                       \
            std::fprintf(stderr, "Skipped: %s.\n", reason_.c_str());                  \
            GTEST_SKIP() << reason_;                                                  \
        }                                                                             \
        ASSERT_NE(::varnesk::gpu::testing::TestProgram(), nullptr);                   \
    } while (0)
