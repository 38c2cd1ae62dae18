#include "ui/formdevice.h"

#include "engine/worker.h"
#include "gpu/attach.h"

namespace varnesk {

std::shared_ptr<void> AttachFormDevice(CGfnThread& worker, const JobRequest& request) {
    if (request.wideMath == 0) return nullptr;
    gpu::DeviceSetup setup = gpu::SetUpDevice("auto", request.kernel.value_or(DetectKernelPath()));
    if (!setup.producer) return nullptr;
    std::shared_ptr<gpu::GpuProducer> device = std::move(setup.producer);
    gpu::AttachDevice(worker, *device);
    return device;
}

}  // namespace varnesk
