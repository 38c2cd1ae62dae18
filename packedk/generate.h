// The packed K build: appends the k of every probable prime p = k*2N + 1 to
// the exponent's sequence, extending an existing sequence after its last K.
#pragma once
#include "kernels/kernels.h"
#include "kernels/sieve_job.h"

namespace varnesk {

void GeneratePackedK(SieveJob& job, WorkerFlags& flags, KernelContext& kernels);

}  // namespace varnesk
