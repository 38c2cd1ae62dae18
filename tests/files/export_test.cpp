// The export of a candidate file for primality testers: genefer's limits,
// the three formats on small hand-made files, the bases each drops, the
// files beside it, and the atomic output file.
#include "files/export.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdio>

#include "files/candidates.h"
#include "platform/post.h"
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

TEST(GeneferLimits, SquaresAndTheCpuProgramsLimits) {
    const struct {
        int32_t b, exponent;
        const char* note;
    } squares[] = {
        {1156, 4096, "1156^4096+1 = 34^8192+1"},
        {65536, 4096, "65536^4096+1 = 2^65536+1"},           // the fourth powers at 4N, and beyond
        {4096, 8388608, "4096^8388608+1 = 8^33554432+1"},
        {2147395600, 1 << 30, "2147395600^1073741824+1 = 46340^2147483648+1"},
        {1000, 4096, ""},                                    // an odd power only
        {1026, 4096, ""},
        {2, 4096, ""},
    };
    for (const auto& c : squares) EXPECT_EQ(SquareNote(c.b, c.exponent), c.note) << c.b;
    const std::pair<int32_t, int64_t> limits[] = {{11, 0},           {12, 2000000000}, {15, 2000000000},
                                                  {16, 1500000000},  {17, 1000000000}, {18, 1000000000},
                                                  {19, 65000000},    {20, 50000000},   {21, 40000000},
                                                  {22, 30000000},    {23, 20000000},   {24, 0}};
    for (const auto& [n, limit] : limits) EXPECT_EQ(GeneferCpuLimit(n), limit) << n;
}

class ExportTest : public ::testing::Test {
protected:
    // Loads `candidates` with the reader and exports it; the text written.
    std::string Export(const std::string& candidates, ExportFormat format, const ExportOptions& options = {},
                       bool expectOk = true) {
        WriteBytes(input_, candidates);
        ExportSource source;
        EXPECT_TRUE(LoadExportSource(input_, &source, &error_)) << error_;
        std::FILE* out = std::tmpfile();
        report_ = {};
        EXPECT_EQ(WriteExport(out, source, format, options, &report_, &error_), expectOk) << error_;
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

// The script's head (up to its first "#" line alone) and its list of bases
// (from "bases() {" to "}").
struct ScriptParts {
    std::string head, bases;
};
ScriptParts Split(const std::string& script) {
    ScriptParts parts;
    const size_t headEnd = script.find("\n#\n");
    parts.head = headEnd == std::string::npos ? script : script.substr(0, headEnd + 3);
    const size_t from = script.find("bases() {\n");
    if (from != std::string::npos) parts.bases = script.substr(from, script.find("\n}\n", from) + 3 - from);
    return parts;
}

TEST_F(ExportTest, GeneferScriptRunsWhatGeneferTakesAndCommentsTheRest) {
    const std::string script = Export(kMixed, ExportFormat::Genefer);
    const ScriptParts parts = Split(script);
    EXPECT_EQ(parts.head,
              "#!/bin/sh\n"
              "# genefer tests of the candidate file " + input_ + "\n"
              "# N = 4096 (genefer -n 12), resume point p = 100000007, 7 candidates:\n"
              "#   2 tests;\n"
              "#   3 bases that genefer refuses, named with the reason;\n"
              "#   2 odd powers b = c^m (m odd) dropped: c^N+1 divides b^N+1 (--keep-algebraic keeps them);\n"
              "#   1 square b = s^2 kept: b^N+1 = s^(2N)+1 is also base s at exponent 2N (--drop-squares drops "
              "them);\n"
              "# A base b = 2^m gives b^N+1 = 2^(mN)+1, a Fermat number or a number with an\n"
              "# algebraic factor; the sieve strikes it only when it finds a factor, as any\n"
              "# other base. genefer refuses them.\n"
              "#\n");
    EXPECT_EQ(parts.bases,
              "bases() {\n"
              "\t:\n"
              "\t# genefer refuses b = 2: below 1024, a power of two (2^4096+1 is the Fermat number F12)\n"
              "\t# genefer refuses b = 4: below 1024, a power of two (4^4096+1 = 2^8192+1 is the Fermat number F13)\n"
              "\t# genefer refuses b = 1022: below 1024\n"
              "\t# b = 1024 dropped: 4^4096+1 divides 1024^4096+1, composite\n"
              "\ttest_base 1026\n"
              "\t# b = 2048 dropped: 2^4096+1 divides 2048^4096+1, composite\n"
              "\ttest_base 3000\n"
              "}\n");
    EXPECT_THAT(script, HasSubstr("\nGENEFER=${GENEFER:-genefer}\nGENEFER_OPTS=${GENEFER_OPTS-}\n"));
    EXPECT_THAT(script, HasSubstr("\nN=4096\nn=12\n"));
    EXPECT_THAT(script, ::testing::Not(HasSubstr("> results.txt")));
    EXPECT_EQ(report_.candidates, 7);
    EXPECT_EQ(report_.written, 2);
    EXPECT_EQ(report_.refused, 3);
    EXPECT_EQ(report_.oddPowers, 2);
    EXPECT_EQ(report_.oddPowersDropped, 2);
    EXPECT_EQ(report_.squares, 1);
    EXPECT_EQ(report_.notes.size(), 2u);  // the dropped powers of two need no note

    // Kept, the odd powers say why they cannot be prime; squares dropped say
    // where their number lives; odd bases are composite, not refused, but
    // 1^N+1 = 2 is prime.
    ExportOptions options;
    options.keepAlgebraic = true;
    options.dropSquares = true;
    const std::string oddScript = Export("ABC $a^$b+1 // 9\n1 4096\n1001 4096\n1331 4096\n3025 4096\n3375 4096\n",
                                         ExportFormat::Genefer, options);
    const ScriptParts odd = Split(oddScript);
    EXPECT_EQ(odd.bases, "");
    EXPECT_THAT(odd.head, HasSubstr("\n#   b = 1: 1^N+1 = 2, prime, nothing to test;\n"
                                    "#   3 odd bases: b^N+1 is even, composite;\n"));
    EXPECT_EQ(report_.oddBases, 3);
    EXPECT_EQ(report_.written, 0);
    EXPECT_THAT(oddScript, HasSubstr("\n# Nothing here for genefer to test.\n"));
    EXPECT_THAT(oddScript, HasSubstr("\n# b = 1: 1^4096+1 = 2, prime; nothing to test\n"
                                     "# b = 1001: 1001^4096+1 is even, composite\n"
                                     "# b = 1331: 1331^4096+1 is even, composite\n"
                                     "# b = 3025 dropped: 3025^4096+1 = 55^8192+1\n"
                                     "# b = 3375: 3375^4096+1 is even, composite\n"));
    EXPECT_THAT(oddScript, ::testing::Not(HasSubstr("Run it")));

    const ScriptParts even =
        Split(Export("ABC $a^$b+1 // 9\n8000 4096\n1030 4096\n46656 4096\n", ExportFormat::Genefer, options));
    EXPECT_EQ(even.bases,
              "bases() {\n"
              "\t:\n"
              "\ttest_base 1030\n"
              "\ttest_base 8000  # composite: 20^4096+1 divides it\n"
              "\t# b = 46656 dropped: 46656^4096+1 = 216^8192+1\n"
              "}\n");
    // 46656 = 36^3 = 216^2 goes as a square: of the odd powers only 8000 is kept.
    EXPECT_THAT(even.head, HasSubstr("\n#   1 odd power b = c^m (m odd) kept, though c^N+1 divides b^N+1;\n"));
    EXPECT_EQ(report_.droppedSquares, std::vector<std::string>{"46656^4096+1 = 216^8192+1"});
}

// Above the CPU program's b limit for n, the tests come last, with the reason.
TEST_F(ExportTest, GeneferBasesAboveTheCpuLimitComeInASectionOfTheirOwn) {
    const ScriptParts parts = Split(
        Export("ABC $a^$b+1 // 9\n1026 524288\n64999998 524288\n65000000 524288\n65000002 524288\n"
               "70000000 524288\n",
               ExportFormat::Genefer));
    EXPECT_THAT(parts.head,
                HasSubstr("#   5 tests, 2 of them above 65000000, the b limit of genefer's CPU program for n = 19, "
                          "in a section of their own;\n"));
    EXPECT_EQ(parts.bases,
              "bases() {\n"
              "\t:\n"
              "\ttest_base 1026\n"
              "\ttest_base 64999998\n"
              "\ttest_base 65000000\n"
              "\n"
              "\t# Above 65000000, the b limit for n = 19 of genefer's CPU program, which warns\n"
              "\t# that these tests may fail; a failed validation still exits 0, so check them.\n"
              "\ttest_base 65000002\n"
              "\ttest_base 70000000\n"
              "}\n");
    EXPECT_EQ(report_.beyondCpuLimit, 2);
    EXPECT_EQ(report_.written, 5);
}

// An n outside 12..23 comments out the whole file, with the reason.
TEST_F(ExportTest, GeneferCommentsEverythingWhenNIsOutOfRange) {
    for (int32_t exponent : {2048, 1 << 24}) {
        const std::string n = std::to_string(ExponentLog2(exponent));
        const std::string script = Export("ABC $a^$b+1 // 0\n1026 " + std::to_string(exponent) + "\n4 " +
                                              std::to_string(exponent) + "\n",
                                          ExportFormat::Genefer);
        EXPECT_THAT(script, HasSubstr("#   genefer refuses n = " + n +
                                      ": it takes n from 12 to 23 (N = 4096 to 8388608). Every line is\n"));
        EXPECT_THAT(script, HasSubstr("\n# test_base 1026\n"));
        EXPECT_THAT(script, HasSubstr("\n# genefer refuses b = 4: below 1024, a power of two"));
        EXPECT_THAT(script, HasSubstr("\n# Nothing here for genefer to test.\n"));
        for (const std::string& line : testsupport::Lines(script))
            EXPECT_TRUE(line[0] == '#' || line.rfind("echo ", 0) == 0) << line;
        EXPECT_EQ(report_.written, 0);
        EXPECT_EQ(report_.refused, 2);
    }
}

// Every even base up to 10^6: the odd powers and squares that each choice
// drops, counted, and the named bases among them.
TEST_F(ExportTest, EachChoiceDropsExactlyItsBases) {
    std::string all = "ABC $a^$b+1 // 1000003\n";
    for (int32_t b = 2; b <= 1000000; b += 2) all += std::to_string(b) + " 4096\n";
    const struct {
        bool keepAlgebraic, dropSquares;
        int32_t written, oddPowersDropped, squaresDropped;
        std::vector<int32_t> present;  // of the named bases below
    } cases[] = {
        {false, false, 499937, 63, 0, {1026, 1156, 65536, 250000, 999998}},
        {false, true, 499444, 63, 493, {1026, 999998}},
        {true, false, 500000, 0, 0, {1000, 1024, 1026, 1156, 4096, 32768, 46656, 65536, 250000, 999998, 1000000}},
        {true, true, 499500, 0, 500, {1000, 1026, 32768, 999998}},
    };
    const int32_t named[] = {1000, 1024, 1026, 1156, 4096, 32768, 46656, 65536, 250000, 999998, 1000000};
    for (const auto& c : cases) {
        ExportOptions options;
        options.keepAlgebraic = c.keepAlgebraic;
        options.dropSquares = c.dropSquares;
        const std::string list = Export(all, ExportFormat::List, options);
        EXPECT_EQ(report_.written, c.written) << c.keepAlgebraic << c.dropSquares;
        EXPECT_EQ(report_.oddPowers, 63);
        EXPECT_EQ(report_.oddPowersDropped, c.oddPowersDropped);
        EXPECT_EQ(report_.squaresDropped, c.squaresDropped);
        EXPECT_EQ(static_cast<int32_t>(report_.droppedSquares.size()), c.squaresDropped);
        EXPECT_EQ(static_cast<int32_t>(testsupport::Lines(list).size()), c.written);
        std::vector<int32_t> present;
        for (int32_t b : named)
            if (list.find(StringPrintf("\n%d\n", b)) != std::string::npos) present.push_back(b);
        EXPECT_EQ(present, c.present) << c.keepAlgebraic << c.dropSquares;
    }
}

// Beside the export: the odd powers in the algebraic record, the bases
// genefer refuses as an ABC file; each written when it has a line, or an
// earlier one of its name is there to be replaced.
TEST_F(ExportTest, CompanionFilesHoldTheRecordAndTheRefusedBases) {
    WriteBytes(input_, kMixed);
    ExportSource source;
    ASSERT_TRUE(LoadExportSource(input_, &source, &error_));
    ExportOptions options;
    options.companionBase = dir_.File("g.sh");
    ASSERT_TRUE(WriteExportCompanions(source, ExportFormat::Genefer, options, &report_, &error_)) << error_;
    EXPECT_EQ(report_.algebraicRecord, dir_.File("g.sh.algebraic"));
    EXPECT_EQ(report_.refusedFile, dir_.File("g.sh.refused.abc"));
    EXPECT_EQ(ReadBytes(dir_.File("g.sh.algebraic")), "4^4096+1 | 1024^4096+1\n2^4096+1 | 2048^4096+1\n");
    EXPECT_EQ(ReadBytes(dir_.File("g.sh.refused.abc")), "ABC $a^$b+1 // 100000007\n2 4096\n4 4096\n1022 4096\n");
    std::FILE* out = std::tmpfile();
    ASSERT_TRUE(WriteExport(out, source, ExportFormat::Genefer, options, &report_, &error_));
    std::fclose(out);
    EXPECT_EQ(report_.algebraicRecord, dir_.File("g.sh.algebraic"));  // kept through the export

    // Nothing to hold: no new file, an old one emptied; list exports have no refused file.
    WriteBytes(input_, "ABC $a^$b+1 // 5\n1026 4096\n3000 4096\n");
    ASSERT_TRUE(LoadExportSource(input_, &source, &error_));
    ASSERT_TRUE(WriteExportCompanions(source, ExportFormat::Genefer, options, &report_, &error_));
    EXPECT_EQ(ReadBytes(dir_.File("g.sh.algebraic")), "");
    EXPECT_EQ(ReadBytes(dir_.File("g.sh.refused.abc")), "ABC $a^$b+1 // 5\n");
    options.companionBase = dir_.File("l.txt");
    report_ = {};
    ASSERT_TRUE(WriteExportCompanions(source, ExportFormat::List, options, &report_, &error_));
    EXPECT_EQ(report_.algebraicRecord, "");
    EXPECT_THAT(dir_.Entries(), ElementsAre("c.txt", "g.sh.algebraic", "g.sh.refused.abc"));

    options.companionBase = dir_.File("no/such/folder/g.sh");
    WriteBytes(input_, kMixed);
    ASSERT_TRUE(LoadExportSource(input_, &source, &error_));
    EXPECT_FALSE(WriteExportCompanions(source, ExportFormat::Genefer, options, &report_, &error_));
    EXPECT_THAT(error_, HasSubstr("Unable to write " + dir_.File("no/such/folder/g.sh.algebraic")));
}

TEST_F(ExportTest, ListAndAbcHoldEveryBase) {
    ExportOptions keep;
    keep.keepAlgebraic = true;
    EXPECT_EQ(Export(kMixed, ExportFormat::List, keep), "2\n4\n1022\n1024\n1026\n2048\n3000\n");
    EXPECT_EQ(report_.written, 7);
    EXPECT_EQ(report_.notes.size(), 4u);  // the powers of two are named in every format
    // By default without the odd powers 1024 = 4^5 and 2048 = 2^11.
    EXPECT_EQ(Export(kMixed, ExportFormat::List), "2\n4\n1022\n1026\n3000\n");
    EXPECT_EQ(Export(kMixed, ExportFormat::Abc), "ABC $a^$b+1 // 100000007\n2 4096\n4 4096\n1022 4096\n1026 4096\n"
                                                 "3000 4096\n");
    EXPECT_EQ(report_.written, 5);

    // The writer's text, which the reader reads back.
    const std::string even = "ABC $a^$b+1 // 77\n1026 4096\n2 4096\n1026 4096\n\n64 4096\n";
    EXPECT_EQ(Export(even, ExportFormat::Abc, keep), "ABC $a^$b+1 // 77\n2 4096\n64 4096\n1026 4096\n");
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

    EXPECT_FALSE(WriteExportFile(dir_.File("out.txt/x"), source, ExportFormat::Abc, {}, &report_, &error_));
    EXPECT_EQ(ReadBytes(out), "previous export\n");
    EXPECT_THAT(dir_.Entries(), ElementsAre("c.txt", "out.txt"));  // no temporary file left

    ASSERT_TRUE(WriteExportFile(out, source, ExportFormat::List, {}, &report_, &error_)) << error_;
    EXPECT_EQ(ReadBytes(out), "2\n4\n1022\n1026\n3000\n");
    EXPECT_THAT(dir_.Entries(), ElementsAre("c.txt", "out.txt"));
    struct stat st;
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0640u);

    EXPECT_FALSE(WriteExportFile(dir_.File("no/such/folder/out.txt"), source, ExportFormat::List, {}, &report_, &error_));
    EXPECT_THAT(error_, HasSubstr("Unable to create"));
}

}  // namespace
}  // namespace varnesk
