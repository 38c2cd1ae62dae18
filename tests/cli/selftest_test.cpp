// varnesk-cli selftest on this machine: every kernel path its CPU has (each
// one it lacks named as skipped) and the OpenCL device here (PoCL without a
// card) agree with the plain reference; a result changed on purpose in one
// path or on the device fails the test, which names that one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <string>
#include <vector>

#include "gpu/opencl.h"
#include "kernels/kernels.h"
#include "tests/cli/cli_test_support.h"

namespace varnesk::cli {
namespace {

using testing::CliRun;
using testing::RunProgram;

// The first OpenCL device here (PoCL will do), as --device gpu:P:D names it
// and as its row is named; without any the CPU's paths alone are tested,
// and the skip is said.
std::string DeviceRow() {
    const std::vector<gpu::DeviceInfo> devices = gpu::ListDevices();
    if (!devices.empty())
        return "gpu:" + std::to_string(devices.front().platform) + ":" + std::to_string(devices.front().device);
    std::fprintf(stderr, "Skipped: no OpenCL device here; the CPU's paths alone are tested.\n");
    return "";
}

// How many of the row's lines (one a size of p) say `result`.
int RowLines(const std::string& out, const std::string& row, const char* result) {
    const std::string text = "\n" + out, start = "\n" + row + " ";
    int lines = 0;
    for (size_t at = text.find(start); at != std::string::npos; at = text.find(start, at + 1)) {
        const std::string line = text.substr(at + 1, text.find('\n', at + 1) - at - 1);
        if (line.find(" < 2^") != std::string::npos && line.find(result) != std::string::npos) ++lines;
    }
    return lines;
}

TEST(SelfTestCommand, EveryPathOfThisCpuAndTheDeviceAgree) {
    const std::string device = DeviceRow();
    const CliRun run = RunProgram({"selftest", "--quick", "--device", device.empty() ? "cpu" : device});
    EXPECT_EQ(run.status, 0) << run.out << run.err;
    for (KernelPath path : {KernelPath::Scalar, KernelPath::Avx2, KernelPath::Avx512}) {
        const std::string name = KernelPathName(path);
        if (KernelPathAvailable(path))
            EXPECT_EQ(RowLines(run.out, name, " agree"), 6) << name << "\n" << run.out;
        else
            EXPECT_NE(run.out.find(name + ": not on this CPU or build; skipped."), std::string::npos) << run.out;
    }
    if (!device.empty()) {
        EXPECT_EQ(RowLines(run.out, device, " agree"), 6) << run.out;
    }
    EXPECT_EQ(run.out.find("DISAGREE"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("All agree"), std::string::npos) << run.out;
}

TEST(SelfTestCommand, AResultChangedOnPurposeFailsAndIsNamed) {
    const std::string device = DeviceRow();
    struct Case {
        std::string fault, device, row;
    };
    const Case cases[] = {{"scalar", "cpu", "scalar"}, {"device", device, device}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fault);
        if (c.row.empty()) continue;
        setenv("VARNESK_SELFTEST_FAULT", c.fault.c_str(), 1);
        const CliRun run = RunProgram({"selftest", "--quick", "--kernel", "scalar", "--device", c.device});
        unsetenv("VARNESK_SELFTEST_FAULT");
        EXPECT_EQ(run.status, 1) << run.out << run.err;
        EXPECT_NE(run.out.find("DISAGREE: " + c.row + ", N = "), std::string::npos) << run.out;
        EXPECT_NE(run.out.find("where the reference has"), std::string::npos) << run.out;
        EXPECT_EQ(RowLines(run.out, c.row, "DISAGREE"), 1) << run.out;
    }
    // A device that is not there is refused before anything is tested.
    const CliRun refused = RunProgram({"selftest", "--quick", "--device", "gpu:7:7"});
    EXPECT_EQ(refused.status, 2);
    EXPECT_EQ(refused.out, "");
}

}  // namespace
}  // namespace varnesk::cli
