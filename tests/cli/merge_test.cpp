// varnesk-cli merge: units of a p range sieved apart and merged give the
// files of one run over the whole range; a unit that does not belong, a
// line that does not prove or an output that is the input is refused.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "cli_test_support.h"
#include "platform/joblock.h"
#include "files/rangerecord.h"
#include "platform/numparse.h"

namespace varnesk::cli {
namespace {

using testing::Lines;
using testing::ReadAll;
using testing::WriteAll;

std::vector<std::string> FactorLines(const std::string& path) {
    std::vector<std::string> out;
    for (const std::string& l : Lines(ReadAll(path)))
        if (l.find(" | ") != std::string::npos) out.push_back(l);
    return out;
}

// The resume point of a candidate file, as text.
std::string ResumePoint(const std::string& path) {
    const std::string first = Lines(ReadAll(path)).at(0);
    return first.substr(first.rfind(' ') + 1);
}

SievedRange Record(const std::string& factorFile) {
    SievedRange r;
    std::string error;
    EXPECT_EQ(ReadSievedRange(SievedRangePath(factorFile), &r, &error), RangeRead::kRead) << error;
    return r;
}

// N = 32, even b up to 10^4: a base file sieved to P 20000, then units.
class MergeCommand : public testing::ProgramTest {
protected:
    void SetUp() override {
        ASSERT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "10000", "--factors", F("base.f"), "--output",
                       base_, "--end-p", "20000", "-q"}),
                  0)
            << err_;
        start_ = FormatUInt128(ParseUInt128(ResumePoint(base_)).value + 1);
    }
    std::string F(const std::string& name) const { return dir_.File(name); }
    // A unit as a user runs it: a resume of a copy of the base.
    int RunUnit(const std::string& name, const std::string& from, const std::string& to,
                const std::string& input = "") {
        const std::string copy = F(name + ".in");
        std::filesystem::copy_file(input.empty() ? base_ : input, copy,
                                   std::filesystem::copy_options::overwrite_existing);
        return Run({"resume", "--input", copy, "--output", F(name + ".c"), "--factors", F(name + ".f"), "--start-p",
                    from, "--end-p", to, "-q"});
    }
    int Merge(std::vector<std::string> units, const std::string& output = "") {
        std::vector<std::string> args = {"merge", "--input", base_, "--output", output.empty() ? F("m.c") : output};
        for (const std::string& u : units) args.push_back(F(u + ".f"));
        return Run(args);
    }
    std::string base_ = F("base.c");
    std::string start_;
};

TEST_F(MergeCommand, UnitsMergeToTheFilesOfOneRun) {
    ASSERT_EQ(RunUnit("one", start_, "300000"), 0) << err_;
    const std::vector<std::pair<std::string, std::string>> ranges = {
        {start_, "100000"}, {"100000", "200000"}, {"200000", "300000"}};
    std::vector<std::string> units;
    for (size_t i = 0; i < ranges.size(); ++i) {
        units.emplace_back("u");
        units.back() += std::to_string(i);
        ASSERT_EQ(RunUnit(units.back(), ranges[i].first, ranges[i].second), 0) << err_;
        EXPECT_EQ(FormatUInt128(Record(F(units.back() + ".f")).to), ResumePoint(F(units.back() + ".c")));
    }
    // Named in any order.
    ASSERT_EQ(Merge({"u2", "u0", "u1"}), 0) << err_;
    EXPECT_EQ(ReadAll(F("m.c")), ReadAll(F("one.c")));
    EXPECT_EQ(err_, "");
    EXPECT_NE(out_.find("Merged 3 units into " + F("m.c") + ": "), std::string::npos) << out_;
    EXPECT_NE(out_.find("resume point " + ResumePoint(F("one.c"))), std::string::npos) << out_;

    // The one run's lines are the units' lines in order of p, without the
    // later factors of a base struck before (a base may have one in each
    // unit, and the boundary prime's lines are in two units).
    std::vector<std::pair<uint64_t, std::string>> all;
    for (const std::string& u : units)
        for (const std::string& line : FactorLines(F(u + ".f")))
            all.emplace_back(static_cast<uint64_t>(ParseUInt128(line).value), line);
    std::stable_sort(all.begin(), all.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    std::set<std::string> struck;
    std::vector<std::string> expected;
    for (const auto& [p, line] : all)
        if (struck.insert(line.substr(line.find(" | ") + 3)).second) expected.push_back(line);
    EXPECT_EQ(FactorLines(F("one.f")), expected);
    EXPECT_GT(all.size(), expected.size());
}

TEST_F(MergeCommand, AGapIsNamedAndTheResumePointStopsAtIt) {
    ASSERT_EQ(RunUnit("u0", start_, "100000"), 0) << err_;
    ASSERT_EQ(RunUnit("u2", "200000", "300000"), 0) << err_;
    ASSERT_EQ(Merge({"u0", "u2"}), 0) << err_;
    const std::string end = ResumePoint(F("u0.c"));
    EXPECT_EQ(ResumePoint(F("m.c")), end);
    EXPECT_NE(err_.find("Gap: no unit sieved the primes above P " + end + " up to P "), std::string::npos) << err_;
    EXPECT_NE(err_.find("Units beyond the gap: " + F("u2.f") + " (P "), std::string::npos) << err_;
}

// A unit that ran into its end P, and one that began before the base's
// resume point, record what they did; the overlap of the second is named.
TEST_F(MergeCommand, UnitsRecordWhatTheySieved) {
    ASSERT_EQ(RunUnit("early", start_, "50000"), 0) << err_;
    const SievedRange early = Record(F("early.f"));
    EXPECT_EQ(FormatUInt128(early.to), ResumePoint(F("early.c")));
    EXPECT_EQ(FormatUInt128(early.from), ResumePoint(base_));
    ASSERT_EQ(RunUnit("again", "7", "60000"), 0) << err_;
    EXPECT_EQ(Record(F("again.f")).from, 0u);  // P 7 is the start of the sieve
    ASSERT_EQ(Merge({"again"}), 0) << err_;
    EXPECT_EQ(ResumePoint(F("m.c")), ResumePoint(F("again.c")));
    EXPECT_NE(err_.find("Overlap: " + base_ + " and " + F("again.f") + " (P 0 to "), std::string::npos) << err_;
}

TEST_F(MergeCommand, UnitsOfAnotherJobAreRefusedAndNothingIsWritten) {
    ASSERT_EQ(RunUnit("u0", start_, "100000"), 0) << err_;
    ASSERT_EQ(Run({"sieve", "-N", "64", "--bmin", "2", "--bmax", "10000", "--factors", F("n64.f"), "--output",
                   F("n64.c"), "--end-p", "30000", "-q"}),
              0);
    ASSERT_EQ(Run({"sieve", "-N", "32", "--bmin", "2", "--bmax", "9000", "--factors", F("other.f"), "--output",
                   F("other.c"), "--end-p", "30000", "-q"}),
              0);
    WriteAll(F("bare.f"), ReadAll(F("u0.f")));
    WriteAll(F("forged.f"), ReadAll(F("u0.f")) + "193 | 70^32+1\n");
    WriteAll(F("forged.f.range"), ReadAll(F("u0.f.range")));
    const size_t forgedLine = Lines(ReadAll(F("forged.f"))).size();
    struct Case {
        std::string unit, message;
    };
    const Case cases[] = {
        {"n64", "Unit " + F("n64.f") + " sieved N = 64, but the input file " + base_ + " has N = 32.\n"},
        {"other", "Unit " + F("other.f") + " was sieved from another candidate set than the input file " + base_},
        {"bare", "Unit " + F("bare.f") + " has no range record " + F("bare.f.range") + ": "},
        {"forged", F("forged.f") + ":" + std::to_string(forgedLine) + ": p does not divide b^N+1: 193 | 70^32+1\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.unit);
        EXPECT_EQ(Merge({"u0", c.unit}), 1);
        EXPECT_NE(err_.find(c.message), std::string::npos) << err_;
        EXPECT_NE(err_.find(F("m.c") + " was not written."), std::string::npos) << err_;
        EXPECT_FALSE(std::filesystem::exists(F("m.c")));
    }
}

TEST_F(MergeCommand, NeverReplacesItsInput) {
    ASSERT_EQ(RunUnit("u0", start_, "100000"), 0) << err_;
    const std::string before = ReadAll(base_);
    ASSERT_EQ(::link(base_.c_str(), F("hard.c").c_str()), 0);
    const std::string sameByPath = dir_.Path() + "/./base.c";
    for (const std::string& output : {base_, sameByPath, F("hard.c")}) {
        SCOPED_TRACE(output);
        EXPECT_EQ(Run({"merge", "--input", base_, "--output", output, "--force", F("u0.f")}), 2);
        EXPECT_EQ(err_, "The merge must not replace its input file " + base_ + ".\n");
        EXPECT_EQ(ReadAll(base_), before);
    }
    EXPECT_EQ(Run({"merge", "--input", base_, "--output", F("u0.f"), "--force", F("u0.f")}), 2);
    {
        // A running job's candidate file: its next save would undo the merge.
        WriteAll(F("run.c"), before);
        JobLock job;
        std::string message;
        ASSERT_TRUE(job.LockFile(F("run.c"), "Output File", message)) << message;
        EXPECT_EQ(Run({"merge", "--input", base_, "--output", F("run.c"), "--force", F("u0.f")}), 2);
        EXPECT_EQ(err_, "Output File " + F("run.c") + " is in use by another job; only one job at a time may write it.\n");
        EXPECT_EQ(ReadAll(F("run.c")), before);
    }
    EXPECT_EQ(Run({"merge", "--input", base_, "--output", F("m.c")}), 2);  // no unit
    EXPECT_EQ(Merge({"u0"}), 0);
    EXPECT_EQ(Merge({"u0"}), 2);  // an existing output needs --force
}

}  // namespace
}  // namespace varnesk::cli
