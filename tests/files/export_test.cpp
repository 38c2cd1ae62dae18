// The export of a candidate file for primality testers: genefer's limits,
// the three formats on small hand-made files, and the atomic output file.
#include "files/export.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "files/candidates.h"
#include "test_support.h"

namespace varnesk {
namespace {

using ::testing::ElementsAre;
using ::testing::HasSubstr;
using testing_files::ReadBytes;
using testing_files::ScratchFolder;
using testing_files::WriteBytes;

// Bases on both sides of the lower limits, at N = 4096 (n = 12). The upper
// limit is left to the table below: a base near it costs the reader a
// bitmap of 250 MB.
constexpr const char* kMixed =
    "ABC $a^$b+1 // 100000007\n"
    "2 4096\n4 4096\n1022 4096\n1024 4096\n1026 4096\n2048 4096\n3000 4096\n";

TEST(GeneferLimits, RefusalsOfEachBase) {
    const struct {
        int32_t b;
        unsigned refusals;
    } cases[] = {
        {1026, 0},
        {2000000000, 0},
        {1022, kRefusedBelowMin},
        {1023, kRefusedBelowMin | kRefusedOdd},
        {1025, kRefusedOdd},
        {1, kRefusedBelowMin | kRefusedOdd},  // 2^0 is no power of two here: 1^N+1 = 2
        {2, kRefusedBelowMin | kRefusedPowerOfTwo},
        {1024, kRefusedPowerOfTwo},
        {1 << 30, kRefusedPowerOfTwo},
        {2000000002, kRefusedAboveMax},
        {2000000001, kRefusedAboveMax | kRefusedOdd},
    };
    for (const auto& c : cases) EXPECT_EQ(GeneferRefusals(c.b), c.refusals) << c.b;
    EXPECT_FALSE(GeneferTakesExponentLog2(11));
    EXPECT_TRUE(GeneferTakesExponentLog2(12));
    EXPECT_TRUE(GeneferTakesExponentLog2(23));
    EXPECT_FALSE(GeneferTakesExponentLog2(24));
}

TEST(GeneferLimits, PowerOfTwoNotes) {
    const struct {
        int32_t b, exponent;
        const char* note;
    } cases[] = {
        {2, 4096, "2^4096+1 is the Fermat number F12"},
        {4, 4096, "4^4096+1 = 2^8192+1 is the Fermat number F13"},
        {256, 4096, "256^4096+1 = 2^32768+1 is the Fermat number F15"},
        {8, 4096, "8^4096+1 = 2^12288+1 has the algebraic factor 2^4096+1"},
        {64, 4096, "64^4096+1 = 2^24576+1 has the algebraic factor 2^8192+1"},
        {1 << 30, 1 << 30, "1073741824^1073741824+1 = 2^32212254720+1 has the algebraic factor 2^2147483648+1"},
        {1, 4096, ""},
        {12, 4096, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(PowerOfTwoNote(c.b, c.exponent), c.note) << c.b;
}

class ExportTest : public ::testing::Test {
protected:
    // Loads `candidates` with the reader and exports it; the text written.
    std::string Export(const std::string& candidates, ExportFormat format, bool expectOk = true) {
        WriteBytes(input_, candidates);
        ExportSource source;
        EXPECT_TRUE(LoadExportSource(input_, &source, &error_)) << error_;
        std::FILE* out = std::tmpfile();
        EXPECT_EQ(WriteExport(out, source, format, &report_, &error_), expectOk) << error_;
        std::string text;
        std::rewind(out);
        for (int c; (c = std::fgetc(out)) != EOF;) text += static_cast<char>(c);
        std::fclose(out);
        return text;
    }

    ScratchFolder dir_;
    const std::string input_ = dir_.File("c.txt");
    ExportReport report_;
    std::string error_;
};

TEST_F(ExportTest, GeneferScriptRunsWhatGeneferTakesAndCommentsTheRest) {
    const std::string script = Export(kMixed, ExportFormat::Genefer);
    EXPECT_EQ(script,
              "#!/bin/sh\n"
              "# genefer tests of the candidate file " + input_ + "\n"
              "# N = 4096 (genefer -n 12), resume point p = 100000007, 7 candidates:\n"
              "# 2 genefer lines; 5 bases that genefer refuses are commented out with the reason.\n"
              "# A base b = 2^m gives b^N+1 = 2^(mN)+1, a Fermat number or a number with an\n"
              "# algebraic factor. The sieve does not strike such bases; genefer refuses them.\n"
              "# Run: sh THIS_FILE > results.txt 2>&1; genefer's output lines are the results.\n"
              "# genefer refuses b = 2: below 1024, a power of two (2^4096+1 is the Fermat number F12)\n"
              "# genefer refuses b = 4: below 1024, a power of two (4^4096+1 = 2^8192+1 is the Fermat number F13)\n"
              "# genefer refuses b = 1022: below 1024\n"
              "# genefer refuses b = 1024: a power of two (1024^4096+1 = 2^40960+1 has the algebraic factor "
              "2^8192+1)\n"
              "genefer -q -b 1026 -n 12\n"
              "# genefer refuses b = 2048: a power of two (2048^4096+1 = 2^45056+1 has the algebraic factor "
              "2^4096+1)\n"
              "genefer -q -b 3000 -n 12\n");
    EXPECT_EQ(report_.candidates, 7);
    EXPECT_EQ(report_.written, 2);
    EXPECT_EQ(report_.refused, 5);
    EXPECT_EQ(report_.notes.size(), 4u);
}

// An n outside 12..23 comments out the whole file, with the reason.
TEST_F(ExportTest, GeneferCommentsEverythingWhenNIsOutOfRange) {
    for (int32_t exponent : {2048, 1 << 24}) {
        const std::string n = std::to_string(ExponentLog2(exponent));
        const std::string script = Export("ABC $a^$b+1 // 0\n1026 " + std::to_string(exponent) + "\n4 " +
                                              std::to_string(exponent) + "\n",
                                          ExportFormat::Genefer);
        EXPECT_THAT(script, HasSubstr("# genefer refuses n = " + n +
                                      ": it takes n from 12 to 23 (N = 4096 to 8388608). Every line is\n"));
        EXPECT_THAT(script, HasSubstr("\n# genefer -q -b 1026 -n " + n + "\n"));
        EXPECT_THAT(script, HasSubstr("\n# genefer refuses b = 4: below 1024, a power of two"));
        for (const std::string& line : testsupport::Lines(script)) EXPECT_EQ(line[0], '#') << line;
        EXPECT_EQ(report_.written, 0);
        EXPECT_EQ(report_.refused, 2);
    }
}

TEST_F(ExportTest, ListAndAbcHoldEveryBase) {
    EXPECT_EQ(Export(kMixed, ExportFormat::List), "2\n4\n1022\n1024\n1026\n2048\n3000\n");
    EXPECT_EQ(report_.written, 7);
    EXPECT_EQ(report_.notes.size(), 4u);  // the powers of two are named in every format

    // The writer's text, which the reader reads back.
    const std::string even = "ABC $a^$b+1 // 77\n1026 4096\n2 4096\n1026 4096\n\n64 4096\n";
    EXPECT_EQ(Export(even, ExportFormat::Abc), "ABC $a^$b+1 // 77\n2 4096\n64 4096\n1026 4096\n");
    EXPECT_EQ(report_.written, 3);
}

// A sieve that struck every base leaves the header alone; the reader, which
// wants N from a candidate line, refuses it, but the export is just empty.
TEST_F(ExportTest, EmptySurvivorListGivesEmptyExports) {
    const std::string headerOnly = "ABC $a^$b+1 // 123457\n";
    EXPECT_EQ(Export(headerOnly, ExportFormat::List), "");
    EXPECT_EQ(Export(headerOnly, ExportFormat::Abc), headerOnly);
    const std::string script = Export(headerOnly, ExportFormat::Genefer);
    EXPECT_THAT(script, HasSubstr("# N unknown, resume point p = 123457, 0 candidates.\n"));
    EXPECT_THAT(script, ::testing::Not(HasSubstr("genefer -q")));
    EXPECT_EQ(report_.candidates, 0);
}

TEST_F(ExportTest, FilesThatASieveCannotResumeFromAreRefused) {
    const struct {
        const char* text;
        const char* message;
    } cases[] = {
        {"", "is empty; it is not a candidate file."},
        {"1026\t4096\n", "has no header line"},
        {"ABC $a^$b+1 // 5\n1026 3072\n", "Exponent 3072 is not a proper power of 2 for GFN testing."},
        {"ABC $a^$b+1 // -5\n", "Resume point -5 in input file"},
        // The sieve walks one parity: a file with both is damaged.
        {"ABC $a^$b+1 // 9\n1026 4096\n1027 4096\n", "is not of the parity of base 1026"},
    };
    for (const auto& c : cases) {
        WriteBytes(input_, c.text);
        ExportSource source;
        std::string error;
        EXPECT_FALSE(LoadExportSource(input_, &source, &error)) << c.text;
        EXPECT_THAT(error, HasSubstr(c.message)) << c.text;
    }
    std::string error;
    ExportSource source;
    EXPECT_FALSE(LoadExportSource(dir_.File("missing.txt"), &source, &error));
    EXPECT_THAT(error, HasSubstr("Unable to open input candidate file"));
}

TEST_F(ExportTest, OutputFileIsReplacedOnlyWhenWhole) {
    WriteBytes(input_, kMixed);
    ExportSource source;
    ASSERT_TRUE(LoadExportSource(input_, &source, &error_));
    const std::string out = dir_.File("out.txt");
    WriteBytes(out, "previous export\n");
    ASSERT_EQ(::chmod(out.c_str(), 0640), 0);

    EXPECT_FALSE(WriteExportFile(dir_.File("out.txt/x"), source, ExportFormat::Abc, &report_, &error_));
    EXPECT_EQ(ReadBytes(out), "previous export\n");
    EXPECT_THAT(dir_.Entries(), ElementsAre("c.txt", "out.txt"));  // no temporary file left

    ASSERT_TRUE(WriteExportFile(out, source, ExportFormat::List, &report_, &error_)) << error_;
    EXPECT_EQ(ReadBytes(out), "2\n4\n1022\n1024\n1026\n2048\n3000\n");
    EXPECT_THAT(dir_.Entries(), ElementsAre("c.txt", "out.txt"));
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    EXPECT_FALSE(WriteExportFile(dir_.File("no/such/folder/out.txt"), source, ExportFormat::List, &report_, &error_));
    EXPECT_THAT(error_, HasSubstr("Unable to create"));
}

}  // namespace
}  // namespace varnesk
