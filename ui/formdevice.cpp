#include "ui/formdevice.h"

#include "engine/jobrequest.h"
#include "engine/worker.h"
#include "gpu/attach.h"
#include "platform/post.h"

namespace varnesk {

std::shared_ptr<FormDevice> FormDevice::Attach(CGfnThread& worker, const JobRequest& request, bool wanted) {
    // A packed K build sieves nothing; the standard sieve runs on the CPU.
    if (request.command == kCommandPackedK || request.wideMath == 0) return nullptr;
    TextSink* log = worker.Job().form;
    if (!wanted) {
        PostText(log, "%s", kGpuSwitchedOff);
        return nullptr;
    }
    gpu::DeviceSetup setup = gpu::SetUpDevice("auto", request.kernel.value_or(DetectKernelPath()));
    if (!setup.producer) {
        PostText(log, "%s", gpu::CpuAloneText().c_str());
        return nullptr;
    }
    auto device = std::make_shared<FormDevice>(std::move(setup.producer));
    gpu::AttachDevice(worker, *device->producer_);
    return device;
}

FormDevice::FormDevice(std::unique_ptr<gpu::GpuProducer> producer) : producer_(std::move(producer)) {}

FormDevice::~FormDevice() = default;

std::string FormDevice::Share(UInt128 fromP, UInt128 toP, int32_t exponent) const {
    return gpu::ShareText(*producer_, fromP, toP, exponent);
}

std::string FormDevice::Summary() const {
    return producer_->Blocks() > 0 ? gpu::DeviceSummary(*producer_) : std::string();
}

}  // namespace varnesk
