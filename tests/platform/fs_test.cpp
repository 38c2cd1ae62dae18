#include "platform/fs.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <iterator>

#include "tests/support/scratch.h"

namespace varnesk {
namespace {

using testsupport::ReadAll;
using testsupport::ScratchFolder;
using testsupport::WriteAll;

bool OursBegin(std::string_view head) { return BeginsAs(head, "ABC $a^$b+1 // "); }

// Only what a save killed midway left is removed: a temporary of ours,
// unheld, that begins as that kind of file does, or is empty. Not one still
// open, not one of ours that holds other text, not a user's file under a
// look-alike name (even one our pattern fits, empty or not), not a link or
// a folder, not what stands beside another file.
TEST(StaleTemps, OnlyUnheldTemporariesThatBeginAsOursGo) {
    ScratchFolder dir;
    const std::string out = dir / "out.abc";
    WriteAll(out, "the output\n");
    const struct {
        const char* what;
        const char* content;
        bool close;  // as a kill leaves it; else still being written
        bool removed;
    } cases[] = {
        {"a whole header and lines", "ABC $a^$b+1 // 5\n2 32\n", true, true},
        {"a header cut short", "ABC $a^$b", true, true},
        {"still being written", "ABC $a^$b+1 // 5\n", false, false},
        {"another kind of text", "my notes\n", true, false},
        {"nothing written yet", "", true, true},
    };
    std::vector<std::string> temps;
    std::vector<int> open;
    for (const auto& c : cases) {
        std::string temp;
        const int fd = CreateTempBeside(out, temp);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(temp.rfind(out + ".varnesk-tmp-", 0), 0u) << temp;
        ASSERT_EQ(::write(fd, c.content, std::strlen(c.content)), static_cast<ssize_t>(std::strlen(c.content)));
        temps.push_back(temp);
        if (c.close)
            ::close(fd);
        else
            open.push_back(fd);
    }
    std::string other;
    const int otherFd = CreateTempBeside(dir / "other.abc", other);
    ASSERT_EQ(::write(otherFd, "ABC $a^$b+1 // 5\n", 17), 17);
    ::close(otherFd);
    // A user's own files under names of the pattern.
    WriteAll(out + ".varnesk-tmp-123456", "a user's file\n");
    WriteAll(out + ".varnesk-tmp-Ab12Cd", "");
    WriteAll(out + ".varnesk-tmp-12345", "ABC $a^$b+1 // 5\n");  // not six letters
    ASSERT_EQ(::symlink(out.c_str(), (out + ".varnesk-tmp-linked").c_str()), 0);
    ASSERT_EQ(::mkdir((out + ".varnesk-tmp-folder").c_str(), 0700), 0);

    EXPECT_EQ(RemoveStaleTempsBeside(out, OursBegin), 3);
    for (size_t i = 0; i < std::size(cases); ++i) EXPECT_EQ(PathExists(temps[i]), !cases[i].removed) << cases[i].what;
    EXPECT_TRUE(PathExists(other));
    EXPECT_EQ(ReadAll(out), "the output\n");
    EXPECT_EQ(ReadAll(out + ".varnesk-tmp-123456"), "a user's file\n");
    EXPECT_TRUE(PathExists(out + ".varnesk-tmp-Ab12Cd"));
    EXPECT_EQ(dir.Entries().size(), 9u);
    for (int fd : open) ::close(fd);
    EXPECT_EQ(RemoveStaleTempsBeside(out, OursBegin), 1);  // closed now: left behind like the first
    EXPECT_EQ(RemoveStaleTempsBeside(dir / "missing/out.abc", OursBegin), 0);
}

// A failed replacement leaves the old file and no temporary; errno says why.
TEST(CommitTemp, ReplacesWholeOrLeavesTheOldFile) {
    ScratchFolder dir;
    const std::string out = dir / "out";
    WriteAll(out, "old\n");
    std::string temp;
    int fd = CreateTempBeside(out, temp);
    ASSERT_EQ(::write(fd, "new\n", 4), 4);
    errno = ENOSPC;
    EXPECT_FALSE(CommitTempBeside(fd, temp, out, false));
    EXPECT_EQ(errno, ENOSPC);
    EXPECT_EQ(ReadAll(out), "old\n");
    fd = CreateTempBeside(out, temp);
    ASSERT_EQ(::write(fd, "new\n", 4), 4);
    EXPECT_TRUE(CommitTempBeside(fd, temp, out));
    EXPECT_EQ(ReadAll(out), "new\n");
    EXPECT_EQ(dir.Entries(), std::vector<std::string>{"out"});
}

}  // namespace
}  // namespace varnesk
