// The one strike of every sieve: the re-check, the factor line, the count,
// and what a failed re-check leaves behind.
#include "engine/strike.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "files/factorfile.h"
#include "kernels/kernels.h"
#include "kernels/sieve_job.h"
#include "platform/post.h"
#include "tests/support/scratch.h"

namespace varnesk {
namespace {

std::string ReadAll(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(StrikeChecked, StrikesOnlyWhatPDividesAndStopsOnAFailedCheck) {
    struct Case {
        const char* what;
        int32_t N, b;
        const char* p;
        bool candidate;
        StrikeOutcome want;
        const char* line;  // the factor line, or the message
    };
    const Case cases[] = {
        {"a root of 193", 32, 68, "193", true, StrikeOutcome::kStruck, "193 | 68^32+1\n"},
        {"no root of 193", 32, 70, "193", true, StrikeOutcome::kCheckFailed,
         "Factor 193 does not divide 1*70^32 + 1."},
        {"struck before", 32, 68, "193", false, StrikeOutcome::kSkipped, ""},
        {"b^N + 1 is p itself", 2, 2, "5", true, StrikeOutcome::kSkipped, ""},
        {"two words", 16, 62, "32636214598129807073", true, StrikeOutcome::kStruck,
         "32636214598129807073 | 62^16+1\n"},
        {"two words, no root", 16, 64, "32636214598129807073", true, StrikeOutcome::kCheckFailed,
         "Factor 32636214598129807073 does not divide 1*64^16 + 1."},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        testsupport::ScratchFolder dir;
        testsupport::RecordingSink sink;
        SieveJob job;
        job.form = &sink;
        job.factorFileName = dir / "f.txt";
        job.exponent = c.N;
        job.exponentLog2 = ExponentLog2(c.N);
        job.bMin = 2;
        job.bMax = 100;
        job.candidateBitmap.assign(4, 0);
        job.candidateCount = 1;
        if (c.candidate) BitTestAndSet(c.b, job.candidateBitmap.data());
        std::atomic<int32_t> stop{0};
        {
            FactorFile factors(job);
            ASSERT_TRUE(factors.EnsureOpen());
            EXPECT_EQ(StrikeChecked(job, factors, stop, ParseUInt128(c.p).value, c.b), c.want);
            factors.Close();
        }
        const bool struck = c.want == StrikeOutcome::kStruck;
        EXPECT_EQ(ReadAll(job.factorFileName), struck ? c.line : "");
        EXPECT_EQ(BitTest(c.b, job.candidateBitmap.data()), c.candidate && !struck ? 1 : 0);
        EXPECT_EQ(job.candidateCount, struck ? 0 : 1);
        const bool failed = c.want == StrikeOutcome::kCheckFailed;
        EXPECT_EQ(stop.load(), failed ? 1 : 0);
        EXPECT_EQ(sink.Texts(), failed ? std::vector<std::string>{c.line} : std::vector<std::string>{});
    }
}

}  // namespace
}  // namespace varnesk
