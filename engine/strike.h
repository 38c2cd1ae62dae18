// The one strike of every sieve: a base leaves the candidate set only after
// a check of its own that p divides b^N + 1, and with its factor line.
#pragma once
#include <atomic>
#include <cstdint>

#include "kernels/sieve_job.h"

namespace varnesk {

class FactorFile;

enum class StrikeOutcome {
    kStruck,       // b was a candidate: cleared, counted, factor line written
    kSkipped,      // b is no candidate (any more), or b^N + 1 is p itself
    kCheckFailed,  // p does not divide b^N + 1: posted, stop raised, b kept
};

// Strikes b (within the job's bitmap) by p. On kCheckFailed the caller stops
// handling this prime's bases at once; the job then takes its stop path.
// The factor file must be open.
StrikeOutcome StrikeChecked(SieveJob& job, FactorFile& factors, std::atomic<int32_t>& stopRequest, UInt128 p,
                            int32_t b);

}  // namespace varnesk
