#include <gtest/gtest.h>

#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include "ui/formrules.h"
#include "ui_test_support.h"

namespace varnesk {
namespace {

TEST(ExponentTest, PowersOfTwoFromTwoToTwoToThirtyPass) {
    for (int32_t n = 1; n <= 30; ++n) {
        int32_t got = 0;
        ASSERT_TRUE(ExponentTest(int32_t{1} << n, &got)) << n;
        EXPECT_EQ(got, n);
    }
    for (int32_t bad : {1, 0, 3, 6, -2, 24, 1073741823, INT32_MIN, INT32_MAX}) EXPECT_FALSE(ExponentTest(bad, nullptr)) << bad;
}

TEST(SideFilePath, BesideTheProgramWithItsName) {
    EXPECT_EQ(SideFilePath("/opt/v/varnesk", "ini"), "/opt/v/varnesk.ini");
    EXPECT_EQ(SideFilePath("/opt/v/varnesk", "log"), "/opt/v/varnesk.log");
    EXPECT_EQ(SideFilePath("/opt/v/Varnesk.exe", "ini"), "/opt/v/Varnesk.ini");
    // A dot in a folder name or a short extension is not the program's.
    EXPECT_EQ(SideFilePath("/opt/v.1.0/varnesk", "log"), "/opt/v.1.0/varnesk.log");
    EXPECT_EQ(SideFilePath("/opt/v/varnesk.x", "ini"), "/opt/v/varnesk.x.ini");
    EXPECT_EQ(SideFilePath("", "ini"), "");
}

TEST(SettingsAndLogPaths, BesideAProgramInAWritableFolderElseInTheUserFolders) {
    QTemporaryDir build;
    const std::string program = build.filePath("varnesk").toStdString();
    SettingsAndLogPaths p = ChooseSettingsAndLogPaths(program, "/home/u/.config/varnesk", "/home/u/.local/state/varnesk");
    EXPECT_TRUE(p.besideProgram);
    EXPECT_EQ(p.settings, program + ".ini");
    EXPECT_EQ(p.log, program + ".log");

    // Installed: root may write /usr/bin, the program still must not.
    for (const char* installed : {"/usr/bin/varnesk", "/usr/local/bin/varnesk", "/bin/varnesk", "/usr/bin/../bin/varnesk",
                                  "/no/such/folder/varnesk"}) {
        p = ChooseSettingsAndLogPaths(installed, "/home/u/.config/varnesk", "/home/u/.local/state/varnesk");
        EXPECT_FALSE(p.besideProgram) << installed;
        EXPECT_EQ(p.settings, "/home/u/.config/varnesk/varnesk.ini") << installed;
        EXPECT_EQ(p.log, "/home/u/.local/state/varnesk/varnesk.log") << installed;
    }
    // A program without a path writes nothing, as before.
    p = ChooseSettingsAndLogPaths("", "/c", "/s");
    EXPECT_TRUE(p.besideProgram);
    EXPECT_EQ(p.settings, "");
    EXPECT_EQ(p.log, "");
}

TEST(SettingsAndLogPaths, AReadOnlyFolderIsNotTheProgramsToWrite) {
    if (::geteuid() == 0) GTEST_SKIP() << "root writes a read-only folder";
    QTemporaryDir dir;
    const QString folder = dir.filePath("opt");
    ASSERT_TRUE(QDir().mkpath(folder));
    ASSERT_TRUE(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    const SettingsAndLogPaths p = ChooseSettingsAndLogPaths((folder + "/varnesk").toStdString(), "/c", "/s");
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    EXPECT_FALSE(p.besideProgram);
    EXPECT_EQ(p.log, "/s/varnesk.log");
}

TEST(SystemProgramFolder, OnlyTheInstallationFolders) {
    EXPECT_TRUE(IsSystemProgramFolder("/usr/bin"));
    EXPECT_TRUE(IsSystemProgramFolder("/usr/bin/"));
    EXPECT_TRUE(IsSystemProgramFolder("/usr/local/bin"));
    EXPECT_FALSE(IsSystemProgramFolder("/usr"));
    EXPECT_FALSE(IsSystemProgramFolder("/usr/bin/varnesk-build"));
    EXPECT_FALSE(IsSystemProgramFolder(QDir::tempPath().toStdString()));
}

TEST(DirectoryOfChosenFile, DropsTheLastComponent) {
    EXPECT_EQ(DirectoryOfChosenFile("/data/pk/ln13pi00000.pkk"), "/data/pk");
    EXPECT_EQ(DirectoryOfChosenFile("/ln13pi00000.pkk"), "/");
    EXPECT_EQ(DirectoryOfChosenFile("ln13pi00000.pkk"), "");
    EXPECT_EQ(DirectoryOfChosenFile(""), "");
}

TEST(DocumentTitle, NamesVendorAndFamilyModelStep) {
    EXPECT_EQ(BuildDocumentTitle("GenuineIntel", 6, 15, 11),
              "64 Bit Hollowmere - CPU=GenuineIntel Family.Model.Step=6.15.11");
    EXPECT_EQ(BuildDocumentTitle("", 0, 0, 0), "64 Bit Hollowmere - CPU= Family.Model.Step=0.0.0");
    // The vendor ends at its first zero byte, and after 12 characters when
    // it has none.
    const char cut[] = {'A', 'b', 'c', '\0', 'x', 'y', 'z', 'z', 'z', 'z', 'z', 'z'};
    EXPECT_EQ(BuildDocumentTitle(cut, 1, 2, 3), "64 Bit Hollowmere - CPU=Abc Family.Model.Step=1.2.3");
    const char full[] = {'A', 'u', 't', 'h', 'e', 'n', 't', 'i', 'c', 'A', 'M', 'D', '!', '!', '\0'};
    EXPECT_EQ(BuildDocumentTitle(full, 15, 1, 2), "64 Bit Hollowmere - CPU=AuthenticAMD Family.Model.Step=15.1.2");
    const std::string here = DocumentTitleForThisCpu();
    EXPECT_EQ(here.rfind("64 Bit Hollowmere - CPU=", 0), 0u);
    EXPECT_NE(here.find(" Family.Model.Step="), std::string::npos);
}

TEST(ProfileText, UpdatesKeyByKeyAndKeepsTheRest) {
    std::string t = UpdateProfileText("", "Parameters", "BMax", "10");
    EXPECT_EQ(t, "[Parameters]\nBMax=10\n");
    t = UpdateProfileText(t, "Parameters", "BMin", "2");
    EXPECT_EQ(t, "[Parameters]\nBMax=10\nBMin=2\n");

    const std::string other = "; mine\r\n[Other]\r\nBMax=keep\r\n\r\n[parameters]\r\n bmax = 5\r\nExtra=1\r\n\r\n[Last]\r\nx=y\r\n";
    t = UpdateProfileText(other, "Parameters", "BMax", "99");
    EXPECT_EQ(t, "; mine\n[Other]\nBMax=keep\n\n[parameters]\nBMax=99\nExtra=1\n\n[Last]\nx=y\n");
    t = UpdateProfileText(t, "Parameters", "Exponent", "1024");
    EXPECT_EQ(t, "; mine\n[Other]\nBMax=keep\n\n[parameters]\nBMax=99\nExtra=1\nExponent=1024\n\n[Last]\nx=y\n");
}

TEST(ProfileFile, WritesThroughATemporaryFileAndKeepsOtherSections) {
    QTemporaryDir dir;
    const QString path = dir.filePath("varnesk.ini");
    testing::WriteText(path, "[Window]\nx=1\n");
    ASSERT_TRUE(WriteProfileString(path.toStdString(), "Parameters", "SaveFileMinutes", "60"));
    EXPECT_EQ(testing::ReadAll(path), "[Window]\nx=1\n[Parameters]\nSaveFileMinutes=60\n");
    EXPECT_EQ(QDir(dir.path()).entryList(QDir::Files).size(), 1);  // no temporary left behind
    EXPECT_FALSE(WriteProfileString(dir.filePath("missing/varnesk.ini").toStdString(), "Parameters", "BMax", "1"));
}

}  // namespace
}  // namespace varnesk
