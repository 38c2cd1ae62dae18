#include "platform/joblock.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>

#include "platform/fs.h"
#include "tests/support/scratch.h"

namespace varnesk {
namespace {

using testsupport::ReadAll;
using testsupport::ScratchFolder;
using testsupport::WriteAll;

void Replace(const std::string& path, const std::string& text) {
    std::string temp;
    const int fd = CreateTempBeside(path, temp);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
    ASSERT_TRUE(CommitTempBeside(fd, temp, path));
}

// A hard link made at any time meets the job's lock: the lock goes on with
// each file that replaces the job's file, whether the file was there when
// the job began or its first save made it, and the replaced file is let go.
TEST(JobLockTest, EveryNameOfTheFileMeetsTheLockAcrossReplacements) {
    for (const bool existed : {true, false}) {
        SCOPED_TRACE(existed ? "the file was there" : "the first save makes it");
        ScratchFolder dir;
        const std::string path = dir / "c";
        if (existed) WriteAll(path, "ABC $a^$b+1 // 0\n");
        JobLock lock;
        std::string message;
        ASSERT_TRUE(lock.LockFile(path, "Output File", message)) << message;
        for (int save = 1; save <= 3; ++save) {
            const std::string number = std::to_string(save);
            Replace(path, "save " + number);
            const std::string link = dir / ("c" + number);
            ASSERT_EQ(::link(path.c_str(), link.c_str()), 0);
            EXPECT_TRUE(JobLock::IsHeld(link)) << "save " << save;
            EXPECT_EQ(testsupport::DeletedFilesHeld(dir.Path()), 0) << "save " << save;
        }
        // A name of an earlier save no longer names the job's file.
        EXPECT_FALSE(JobLock::IsHeld(dir / "c1"));
        EXPECT_EQ(ReadAll(dir / "c1"), "save 1");
        lock.Release();
        EXPECT_FALSE(JobLock::IsHeld(dir / "c3"));
    }
}

TEST(JobLockTest, OriginIsWhatTheFileWasWhenTheLockWasTaken) {
    const struct {
        bool existed;
        bool replaced;
        JobLock::Origin origin;
    } cases[] = {
        {false, false, JobLock::Origin::kNew},
        {true, false, JobLock::Origin::kExisting},
        {true, true, JobLock::Origin::kNew},
    };
    for (const auto& c : cases) {
        ScratchFolder dir;
        const std::string path = dir / "f";
        if (c.existed) WriteAll(path, "");
        EXPECT_EQ(JobLock::OriginOf(path), JobLock::Origin::kUnknown);
        JobLock lock;
        std::string message;
        ASSERT_TRUE(lock.LockFile(path, "Factor output file", message)) << message;
        WriteAll(path, "");  // what the job's preparation may do
        if (c.replaced) JobLock::NoteReplaced(path);
        EXPECT_EQ(JobLock::OriginOf(path), c.origin) << c.existed << c.replaced;
        lock.Release();
        EXPECT_EQ(JobLock::OriginOf(path), JobLock::Origin::kUnknown);
    }
}

}  // namespace
}  // namespace varnesk
