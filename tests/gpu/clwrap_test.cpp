// The OpenCL wrapper: a kernel called with typed buffers computes, and a
// failed call is kept with its name and place while every later call
// through the same check is skipped, so that one test at the end of a
// sequence says what went wrong first.
#include <gtest/gtest.h>

#include "gpu/clwrap.h"
#include "tests/gpu/gpu_fixture.h"

namespace varnesk::gpu {
namespace {

TEST(GpuWrapper, AKernelIsCalledAndTheFirstFailureIsKept) {
    VARNESK_NEED_DEVICE();
    Program& program = *testing::TestProgram();
    ocl::Kernel* arith = program.Find("arith64");
    ASSERT_NE(arith, nullptr);
    EXPECT_EQ(program.Find("no_such_kernel"), nullptr);

    // One row (p, a, b, e): a*b mod p, a^e mod p, a + b mod p, the Fermat test.
    const uint64_t p = 1000000007, a = 123456789, b = 987654321;
    const std::vector<uint64_t> row = {p, a, b, 2};
    ocl::Buffer<uint64_t> in, out;
    ocl::Check check;
    in.Write(program.Context(), program.Queue(), row, check);
    out.Reserve(program.Context(), 4, check);
    (*arith)(program.Queue(), 1, 64, check, in, uint32_t{1}, out);
    std::vector<uint64_t> got(4, 0);
    out.Read(program.Queue(), got.data(), got.size(), check);
    ASSERT_TRUE(check.Ok()) << check.What();
    EXPECT_EQ(got[0], static_cast<uint64_t>(static_cast<unsigned __int128>(a) * b % p));
    EXPECT_EQ(got[1], static_cast<uint64_t>(static_cast<unsigned __int128>(a) * a % p));
    EXPECT_EQ(got[2], (a + b) % p);
    EXPECT_EQ(got[3], 1u);

    // An argument of the wrong size fails the call; the read after it does
    // not run, and the check names the call, the kernel and where.
    ocl::Check failing;
    (*arith)(program.Queue(), 1, 64, failing, in, uint64_t{1}, out);
    std::vector<uint64_t> untouched(4, 7);
    out.Read(program.Queue(), untouched.data(), untouched.size(), failing);
    EXPECT_FALSE(failing.Ok());
    EXPECT_EQ(failing.Status(), CL_INVALID_ARG_SIZE);
    EXPECT_EQ(untouched, std::vector<uint64_t>(4, 7));
    EXPECT_NE(failing.What().find("clSetKernelArg arith64: "), std::string::npos) << failing.What();
    EXPECT_NE(failing.What().find("(gpu/clwrap_test.cpp:"), std::string::npos) << failing.What();
    // A read beyond a buffer is refused before OpenCL sees it.
    ocl::Check beyond;
    out.Read(program.Queue(), untouched.data(), 4, beyond, out.Capacity());
    EXPECT_EQ(beyond.What(), "a read beyond a device buffer");
}

}  // namespace
}  // namespace varnesk::gpu
