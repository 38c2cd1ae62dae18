#include "kernels/startup.h"

namespace varnesk {

int32_t StartKernels(SieveJob& job, KernelContext& kernels) {
    for (int t = 0; t < kWheelTables; ++t) job.wheel[t].assign(static_cast<size_t>(kWheelBytes[t]) / 4, 0xFFFFFFFFu);
    kernels.SetWheelTablesA(job.wheel[0].data(), job.wheel[1].data(), job.wheel[2].data(), job.wheel[3].data());
    kernels.SetWheelTablesB(job.wheel[4].data(), job.wheel[5].data());
    return kernels.AssemblyInit();
}

}  // namespace varnesk
