#include "engine/strike.h"

#include "files/factorfile.h"
#include "kernels/kernels.h"
#include "kernels/wide.h"
#include "platform/post.h"

namespace varnesk {

StrikeOutcome StrikeChecked(SieveJob& job, FactorFile& factors, std::atomic<int32_t>& stopRequest, UInt128 p,
                            int32_t b) {
    uint32_t* bitmap = job.candidateBitmap.data();
    const int32_t n = job.exponentLog2;
    if (!BitTest(b, bitmap) || IsOwnGfn(b, n, p)) return StrikeOutcome::kSkipped;
    // The list that named b came from fast kernels (or another process):
    // nothing is struck on their word alone.
    if (!TestGfnDivisorWide(static_cast<UInt128>(b), n, p)) {
        PostText(job.form, "Factor %s does not divide 1*%d^%d + 1.", FormatUInt128(p).c_str(), b, job.exponent);
        stopRequest = 1;
        return StrikeOutcome::kCheckFailed;
    }
    if (!BitTestAndClear(b, bitmap)) return StrikeOutcome::kSkipped;
    --job.candidateCount;
    factors.WriteFactor(p, b);
    return StrikeOutcome::kStruck;
}

}  // namespace varnesk
