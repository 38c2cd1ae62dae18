// The one check of a job that both front ends make: every rule with its
// message, in its order.
#include <filesystem>
#include <functional>

#include "engine/jobrequest.h"
#include "engine/messages.h"
#include "engine_fixture.h"

namespace varnesk {
namespace {
using namespace varnesk::testing;

enum class Base { kNew, kResume, kBuild };

JobRequest Valid(Base base, const ScratchDir& dir) {
    JobRequest s;
    s.factorFile = dir / "factors.txt";
    s.outputFile = dir / "out.txt";
    switch (base) {
    case Base::kNew:
        s.exponent = 32;
        s.bMin = 2;
        s.bMax = 100;
        break;
    case Base::kResume:
        s.command = kCommandResume;
        s.inputFile = dir / "in.txt";
        break;
    case Base::kBuild:
        s = JobRequest{};
        s.command = kCommandPackedK;
        s.packedKPath = dir.Path();
        s.exponent = 8192;
        break;
    }
    return s;
}

void StartStop(JobRequest& s, UInt128 startP, UInt128 stopP) {
    s.useStartStop = 1;
    s.startP = startP;
    s.stopP = stopP;
}

const UInt128 k2To63 = UInt128{1} << 63;
const UInt128 k2To96 = UInt128{1} << 96;

struct Rule {
    const char* what;
    Base base;
    std::function<void(JobRequest&, const ScratchDir&)> spoil;
    std::function<std::string(const ScratchDir&)> message;  // empty: the job runs
    JobCheck::Verdict verdict = JobCheck::kRefused;
    bool ordered = true;  // false: a rule outside the order of its base
};

std::function<std::string(const ScratchDir&)> Says(std::string m) {
    return [m](const ScratchDir&) { return m; };
}

// Within a base, the rules come in the order the check makes them.
const std::vector<Rule>& Rules() {
    static const std::vector<Rule> rules = {
        {"standard without packed K files", Base::kNew, [](JobRequest& s, auto&) { s.wideMath = 0; },
         Says(messages::kPackedKRequired)},
        {"no factor file", Base::kNew, [](JobRequest& s, auto&) { s.factorFile.clear(); },
         Says("A factoring output file name is required.")},
        {"no output file", Base::kNew, [](JobRequest& s, auto&) { s.outputFile.clear(); },
         Says("An output file name is required.")},
        {"exponent 48", Base::kNew, [](JobRequest& s, auto&) { s.exponent = 48; },
         Says("Exponent 48 is not a proper power of 2 for GFN testing.")},
        {"b min missing", Base::kNew, [](JobRequest& s, auto&) { s.bMin = 0; }, Says("A minimum b value is required.")},
        {"b max missing", Base::kNew, [](JobRequest& s, auto&) { s.bMax = -7; }, Says("A maximum b value is required")},
        {"b max not above b min", Base::kNew, [](JobRequest& s, auto&) { s.bMax = s.bMin; },
         Says("The maximum b value must be greater than the minimum B value.")},
        {"b max at the limit", Base::kNew, [](JobRequest& s, auto&) { s.bMax = kMaxBase; },
         Says("The maximum b value must be less than 2147483583.")},
        // The wide sieve strikes even bases only.
        {"b min odd", Base::kNew, [](JobRequest& s, auto&) { s.bMin = 3; },
         Says("The minimum b value 3 is odd: the wide math sieve strikes even bases only, so this job would strike "
              "nothing. Use 4 as the minimum b value.")},
        {"end P 4", Base::kNew, [](JobRequest& s, auto&) { StartStop(s, 0, 4); },
         Says("Start/Stop P specified.  Ending P must be > 4")},
        {"end P 2^96", Base::kNew, [](JobRequest& s, auto&) { StartStop(s, 0, k2To96); },
         Says("End P 79228162514264337593543950336 is beyond the reach of the sieve: P must be below 2^96 "
              "(79228162514264337593543950336).")},
        {"factor file is the output", Base::kNew, [](JobRequest& s, auto&) { s.factorFile = s.outputFile; },
         Says("The factor output file and the output file must be different files.")},

        {"resume without input", Base::kResume, [](JobRequest& s, auto&) { s.inputFile.clear(); },
         Says("An input file name is required.")},
        {"resume without factor file", Base::kResume, [](JobRequest& s, auto&) { s.factorFile.clear(); },
         Says("A factoring output file name is required.")},
        {"resume without output", Base::kResume, [](JobRequest& s, auto&) { s.outputFile.clear(); },
         Says("An output file name is required.")},
        {"input missing", Base::kResume, [](JobRequest& s, auto& d) { s.inputFile = d / "missing.txt"; },
         [](const ScratchDir& d) { return "Input File " + (d / "missing.txt") + " does not exist."; }},
        {"input a folder", Base::kResume, [](JobRequest& s, auto& d) { s.inputFile = d.Path(); },
         [](const ScratchDir& d) { return "Input File " + d.Path() + " is a folder; a candidate file is needed."; }},
        {"start P 4", Base::kResume, [](JobRequest& s, auto&) { StartStop(s, 4, 100); },
         Says("Start/Stop P specified.  Starting P must be > 4")},
        {"resume end P 4", Base::kResume, [](JobRequest& s, auto&) { StartStop(s, 5, 4); },
         Says("Start/Stop P specified.  Ending P must be > 4")},
        // The limits before the order of start and end; the wide sieve's
        // before the standard sieve's.
        {"start P 2^96", Base::kResume, [](JobRequest& s, auto&) { StartStop(s, k2To96, 5); },
         Says("Start P 79228162514264337593543950336 is beyond the reach of the sieve: P must be below 2^96 "
              "(79228162514264337593543950336).")},
        {"resume end P 2^96", Base::kResume, [](JobRequest& s, auto&) { StartStop(s, 5, k2To96 + 1); },
         Says("End P 79228162514264337593543950337 is beyond the reach of the sieve: P must be below 2^96 "
              "(79228162514264337593543950336).")},
        {"standard end P 2^63", Base::kResume,
         [](JobRequest& s, auto& d) {
             s.wideMath = 0;
             s.packedKPath = d.Path();
             StartStop(s, 5, k2To63);
         },
         Says(messages::kStandardBeyond)},
        {"start P above end P", Base::kResume, [](JobRequest& s, auto&) { StartStop(s, 30000000, 20000000); },
         Says("Start P 30000000 is above end P 20000000; a resume sieves from its start P up to its end P.")},
        {"an end P the input has reached", Base::kResume,
         [](JobRequest& s, auto&) {
             StartStop(s, 0, 5441);
             s.startPGiven = false;
         },
         [](const ScratchDir& d) {
             return "Input file " + (d / "in.txt") +
                    " is already at P 5441, at or beyond end P 5441; nothing is sieved and the file is left as it is.";
         },
         JobCheck::kNothingToDo},
        {"factor file is the input", Base::kResume, [](JobRequest& s, auto&) { s.factorFile = s.inputFile; },
         Says("The factor output file must not be the input or the output file.")},

        {"build without folder", Base::kBuild, [](JobRequest& s, auto&) { s.packedKPath.clear(); },
         Says("A packed file directory name is required.")},
        {"build exponent 24", Base::kBuild, [](JobRequest& s, auto&) { s.exponent = 24; },
         Says("Exponent 24 is not a proper power of 2 for GFN testing.")},
        {"build exponent 4096", Base::kBuild, [](JobRequest& s, auto&) { s.exponent = 4096; },
         Says("The minimum exponent supported by this sieve is 8192.")},
        {"build start P 4", Base::kBuild, [](JobRequest& s, auto&) { StartStop(s, 4, 0); },
         Says("Start/Stop P specified.  Starting P must be > 4")},
        {"build start P 2^63", Base::kBuild, [](JobRequest& s, auto&) { StartStop(s, k2To63, 0); },
         Says("Packed K files hold p below 2^63 only (P 9223372036854775808).")},

        {"no mode", Base::kNew, [](JobRequest& s, auto&) { s.command = -1; }, Says("Invalid Sieve Type selected."),
         JobCheck::kRefused, false},
        {"b given below 1", Base::kNew,
         [](JobRequest& s, auto&) {
             s.bMin = -3;
             s.bMinGiven = true;
         },
         Says("The minimum b value -3 is below 1; bases start at 1."), JobCheck::kRefused, false},
    };
    return rules;
}

TEST(JobCheck, EveryRuleHasItsMessage) {
    for (const Rule& rule : Rules()) {
        SCOPED_TRACE(rule.what);
        ScratchDir dir;
        std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 5441\n4 32\n";
        JobRequest request = Valid(rule.base, dir);
        ASSERT_TRUE(CheckJob(request).Runs()) << CheckJob(request).message;
        rule.spoil(request, dir);
        const JobCheck check = CheckJob(request);
        EXPECT_EQ(check.verdict, rule.verdict);
        EXPECT_EQ(check.message, rule.message(dir));
        EXPECT_FALSE(std::filesystem::exists(dir / "out.txt"));  // nothing touched
    }
}

// Each rule of a base also broken with every later one of that base still
// gives its own message: the order is fixed.
TEST(JobCheck, RulesComeInTheirOrder) {
    const std::vector<Rule>& rules = Rules();
    for (Base base : {Base::kNew, Base::kResume, Base::kBuild}) {
        std::vector<const Rule*> of;
        for (const Rule& r : rules)
            if (r.base == base && r.verdict == JobCheck::kRefused && r.ordered) of.push_back(&r);
        for (size_t first = 0; first < of.size(); ++first) {
            SCOPED_TRACE(of[first]->what);
            ScratchDir dir;
            std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 5441\n4 32\n";
            JobRequest request = Valid(base, dir);
            for (size_t i = of.size(); i-- > first;) of[i]->spoil(request, dir);
            EXPECT_EQ(CheckJob(request).message, of[first]->message(dir));
        }
    }
}

TEST(JobCheck, WhatTheCheckFillsIn) {
    ScratchDir dir;
    std::ofstream(dir / "in.txt") << "ABC $a^$b+1 // 5441\n4 32\n";
    // A new sieve's n; a start P is only noted, and handed over all the same.
    JobRequest s = Valid(Base::kNew, dir);
    s.exponent = 1073741824;
    StartStop(s, 7, 4);
    JobCheck c = CheckJob(s);
    EXPECT_EQ(c.notices, std::vector<std::string>{messages::kStartPIgnored});  // also before a refusal
    EXPECT_EQ(c.message, messages::kEndPTooSmall);
    s.stopP = 5;
    c = CheckJob(s);
    EXPECT_TRUE(c.Runs());
    EXPECT_EQ(s.exponentLog2, 30);
    EXPECT_TRUE(s.startP == 7);
    // An end P alone goes on from the input's resume point.
    JobRequest r = Valid(Base::kResume, dir);
    StartStop(r, 0, 2000000);
    r.startPGiven = false;
    ASSERT_TRUE(CheckJob(r).Runs());
    EXPECT_TRUE(r.startP == 5442);
    // The largest P the wide sieve reaches is handed over exactly.
    r = Valid(Base::kResume, dir);
    StartStop(r, (UInt128{1} << 64) + 1, k2To96 - 1);
    ASSERT_TRUE(CheckJob(r).Runs());
    EXPECT_TRUE(r.stopP == k2To96 - 1);
    // The standard sieve tests every base it walks: an odd b min is its own
    // choice there.
    JobRequest standard = Valid(Base::kNew, dir);
    standard.bMin = 3;
    standard.wideMath = 0;
    standard.packedKPath = dir.Path();
    std::ofstream(dir / "ln5pi00000.pkk") << "";
    EXPECT_TRUE(CheckJob(standard).Runs()) << CheckJob(standard).message;
    JobRequest b = Valid(Base::kBuild, dir);
    ASSERT_TRUE(CheckJob(b).Runs());
    EXPECT_EQ(b.exponentLog2, 13);
}

}  // namespace
}  // namespace varnesk
