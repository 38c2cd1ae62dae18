// The kernel paths as a test parameter: a path this CPU or build lacks is
// skipped, and says so.
#pragma once
#include <gtest/gtest.h>

#include <string>

#include "kernels/kernels.h"

namespace varnesk {

class PathTest : public testing::TestWithParam<KernelPath> {
protected:
    void SetUp() override {
        if (!KernelPathAvailable(GetParam()))
            GTEST_SKIP() << "the " << KernelPathName(GetParam()) << " kernels are not available on this CPU or build";
    }
};

// Each instance's name: its path's.
inline std::string PathName(const testing::TestParamInfo<KernelPath>& info) { return KernelPathName(info.param); }

}  // namespace varnesk
