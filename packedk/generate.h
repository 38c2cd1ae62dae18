// The packed K build: appends the k of every probable prime p = k*2N + 1 to
// the exponent's sequence, extending an existing sequence after its last K.
#pragma once
#include "kernels/kernels.h"
#include "platform/post.h"
#include "kernels/sieve_job.h"

namespace varnesk {

// Runs until a stop request, a p that no longer fits 63 bits, or an error;
// posts every message to job.form and returns how the build ended (a
// sequence that can grow no further is a failure). capacityForTesting (0 =
// the real one) makes files fill after that many values.
JobOutcome GeneratePackedK(SieveJob& job, WorkerFlags& flags, KernelContext& kernels, uint32_t capacityForTesting = 0);

}  // namespace varnesk
