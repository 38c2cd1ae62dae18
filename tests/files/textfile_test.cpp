#include "files/textfile.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "tests/files/test_support.h"

namespace varnesk {
namespace {

using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;

size_t OpenDescriptors() {
    size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

TEST(DosObjCTest, ExistsForFilesAndFoldersOnly) {
    ScratchFolder dir;
    WriteBytes(dir.File("a.txt"), "x");
    EXPECT_EQ(DosObjC("").Exists(), 0);
    EXPECT_EQ(DosObjC(dir.File("a.txt")).Exists(), 1);
    EXPECT_EQ(DosObjC(dir.Path()).Exists(), 1);
    EXPECT_EQ(DosObjC(dir.File("missing.txt")).Exists(), 0);
}

TEST(TextFileCTest, NeverOpenedReadsNothing) {
    TextFileC file("whatever");
    std::string text = "stale";
    EXPECT_EQ(file.ReadLine(text), 0);
    EXPECT_EQ(text, "");
}

TEST(TextFileCTest, FailedOpenHoldsNoStream) {
    ScratchFolder dir;
    TextFileC file(dir.File("missing.txt"));
    EXPECT_FALSE(file.Open("rt"));
    EXPECT_EQ(file.Stream(), nullptr);
    std::string text = "stale";
    EXPECT_EQ(file.ReadLine(text), 0);
    EXPECT_EQ(text, "");
}

TEST(TextFileCTest, BlankLineInTheMiddleDoesNotEndReading) {
    ScratchFolder dir;
    WriteBytes(dir.File("t.txt"), "first\n\nthird");  // last line without newline
    TextFileC file(dir.File("t.txt"));
    ASSERT_TRUE(file.Open("rt"));
    std::string text;
    ASSERT_EQ(file.ReadLine(text), 1);
    EXPECT_EQ(text, "first\n");
    ASSERT_EQ(file.ReadLine(text), 1);
    EXPECT_EQ(text, "\n");
    ASSERT_EQ(file.ReadLine(text), 1);
    EXPECT_EQ(text, "third");
    ASSERT_EQ(file.ReadLine(text), 1);
    EXPECT_EQ(text, "");
    ASSERT_EQ(file.ReadLine(text), 1);  // stays at the end
    EXPECT_EQ(text, "");
}

TEST(TextFileCTest, LongLineComesInPiecesOf389) {
    ScratchFolder dir;
    std::string line;
    for (int i = 0; i < 500; ++i) line += static_cast<char>('a' + i % 26);
    WriteBytes(dir.File("long.txt"), line + "\nnext\n");
    TextFileC file(dir.File("long.txt"));
    ASSERT_TRUE(file.Open("rt"));
    std::string text;
    file.ReadLine(text);
    EXPECT_EQ(text, line.substr(0, 389));
    file.ReadLine(text);
    EXPECT_EQ(text, line.substr(389) + "\n");
    EXPECT_EQ(text.size(), 112u);
    file.ReadLine(text);
    EXPECT_EQ(text, "next\n");
    file.ReadLine(text);
    EXPECT_EQ(text, "");
}

TEST(TextFileCTest, ReopeningClosesTheFirstStream) {
    ScratchFolder dir;
    WriteBytes(dir.File("t.txt"), "old\n");
    TextFileC file(dir.File("t.txt"));
    size_t before = OpenDescriptors();
    ASSERT_TRUE(file.Open("rt"));
    EXPECT_EQ(OpenDescriptors(), before + 1);
    ASSERT_TRUE(file.Open("a+t"));
    EXPECT_EQ(OpenDescriptors(), before + 1);
    std::fputs("added\n", file.Stream());
    EXPECT_TRUE(file.Close());
    EXPECT_EQ(file.Stream(), nullptr);
    EXPECT_EQ(OpenDescriptors(), before);
    EXPECT_EQ(ReadBytes(dir.File("t.txt")), "old\nadded\n");

    ASSERT_TRUE(file.Open("wt"));  // truncates
    file.Close();
    EXPECT_EQ(ReadBytes(dir.File("t.txt")), "");
}

}  // namespace
}  // namespace varnesk
