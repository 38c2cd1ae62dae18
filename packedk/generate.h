// The packed K build: appends the k of every probable prime p = k*2N + 1 to
// the exponent's sequence, extending an existing sequence after its last K.
#pragma once
#include "kernels/kernels.h"
#include "kernels/sieve_job.h"

namespace varnesk {

// Runs until a stop request, a p that no longer fits 63 bits, or an error;
// posts every outcome to job.form. capacityForTesting (0 = the real one)
// makes files fill after that many values.
void GeneratePackedK(SieveJob& job, WorkerFlags& flags, KernelContext& kernels, uint32_t capacityForTesting = 0);

}  // namespace varnesk
