#include "platform/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tests/support/scratch.h"

namespace varnesk {
namespace {

using testsupport::ReadAll;
using testsupport::ScratchFolder;
using testsupport::WriteAll;

// Only what a save killed midway left is removed: not a temporary file that
// is still open, not another name that merely looks alike, not a link or a
// folder under the pattern, not what stands beside another file.
TEST(StaleTemps, OnlyTheUnheldTemporaryFilesOfThatNameGo) {
    ScratchFolder dir;
    const std::string out = dir / "out.abc";
    WriteAll(out, "the output\n");
    std::string left, held, other;
    const int leftFd = CreateTempBeside(out, left);
    const int heldFd = CreateTempBeside(out, held);
    const int otherFd = CreateTempBeside(dir / "other.abc", other);
    ASSERT_TRUE(leftFd >= 0 && heldFd >= 0 && otherFd >= 0);
    ASSERT_EQ(::write(leftFd, "partial", 7), 7);
    ::close(leftFd);  // as a kill leaves it
    ::close(otherFd);
    ASSERT_EQ(left.rfind(out + ".varnesk-tmp-", 0), 0u) << left;
    WriteAll(out + ".backup", "a user's file\n");
    WriteAll(out + ".varnesk-tmp-12345", "five letters\n");
    ASSERT_EQ(::symlink(out.c_str(), (out + ".varnesk-tmp-linked").c_str()), 0);
    ASSERT_EQ(::mkdir((out + ".varnesk-tmp-folder").c_str(), 0700), 0);

    EXPECT_EQ(RemoveStaleTempsBeside(out), 1);
    EXPECT_FALSE(PathExists(left));
    EXPECT_TRUE(PathExists(held));
    EXPECT_TRUE(PathExists(other));
    EXPECT_EQ(ReadAll(out), "the output\n");
    EXPECT_EQ(ReadAll(out + ".backup"), "a user's file\n");
    EXPECT_EQ(dir.Entries().size(), 7u);
    ::close(heldFd);
    EXPECT_EQ(RemoveStaleTempsBeside(out), 1);  // closed now: left behind like the first
    EXPECT_EQ(RemoveStaleTempsBeside(dir / "missing/out.abc"), 0);
}

}  // namespace
}  // namespace varnesk
