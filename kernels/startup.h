// The kernels' part of a worker's start: the six wheel tables of the job,
// filled with ones and registered, then AssemblyInit. Shared by the worker, the tests and the benchmarks.
#pragma once
#include "kernels/kernels.h"
#include "kernels/sieve_job.h"

namespace varnesk {

// Returns AssemblyInit's status: 0 when the kernels may run.
int32_t StartKernels(SieveJob& job, KernelContext& kernels);

}  // namespace varnesk
