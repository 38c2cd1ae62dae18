// The self-test's device row on the test device (PoCL will do): the
// shipped kernels agree with the plain reference at every size of p, and
// kernels whose walk leaves out one base in seven, which the walks' end
// checks let pass, disagree with the prime and its bases named.
#include <gtest/gtest.h>

#include "gpu/selftest.h"
#include "tests/gpu/gpu_fixture.h"
#include "tests/support/scratch.h"

namespace varnesk::gpu {
namespace {

TEST(GpuSelfTest, TheShippedKernelsAgreeAndAWalkThatDropsBasesIsNamed) {
    VARNESK_NEED_DEVICE();
    const SelfTestPlan plan = MakeSelfTestPlan(true);
    const SelfTestRow shipped = RunDeviceSelfTest(*testing::TestProgram(), plan);
    EXPECT_TRUE(shipped.Agrees()) << shipped.firstDisagreement;
    for (const SelfTestCell& cell : shipped.cells) EXPECT_TRUE(cell.ran && cell.agrees);

    const std::string drops = testing::DropsHits();
    ASSERT_FALSE(drops.empty()) << "the kernels no longer count hits in hit(): mend DropsHits";
    testsupport::ScratchFolder dir;
    ProgramOptions options;
    options.cacheDir = dir.Path();
    options.source = drops;
    std::string error;
    // Opened without its self-check: the self-test alone must catch it.
    const std::unique_ptr<Program> program = Program::Open(testing::TestProgram()->Device(), options, nullptr, &error);
    ASSERT_NE(program, nullptr) << error;
    const SelfTestRow broken = RunDeviceSelfTest(*program, plan);
    EXPECT_FALSE(broken.Agrees());
    EXPECT_NE(broken.firstDisagreement.find("where the reference has"), std::string::npos)
        << broken.firstDisagreement;
}

}  // namespace
}  // namespace varnesk::gpu
