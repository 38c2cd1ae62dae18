#include "gpu/attach.h"

#include <cstdlib>

#include "platform/post.h"

namespace varnesk::gpu {

namespace {

// The choice the option or else VARNESK_DEVICE makes (auto when neither
// does), and how the user gave it; false with setup refused.
bool ChoiceOf(const std::string& option, DeviceChoice* choice, std::string* given, DeviceSetup& setup) {
    std::string text = option;
    const char* env = std::getenv("VARNESK_DEVICE");
    const bool fromEnvironment = text.empty() && env && *env;
    if (fromEnvironment) text = env;
    if (text.empty()) text = "auto";
    *given = (fromEnvironment ? "VARNESK_DEVICE=" : "--device ") + text;
    if (ParseDeviceChoice(text, choice, &setup.error)) return true;
    if (fromEnvironment) setup.error = "VARNESK_DEVICE: " + setup.error;
    setup.ok = false;
    return false;
}

}  // namespace

DeviceSetup StandardMathDevice(const std::string& option) {
    DeviceSetup setup;
    DeviceChoice choice;
    std::string given;
    if (ChoiceOf(option, &choice, &given, setup) && choice.kind == DeviceChoice::kGpu)
        setup.notice = "Standard math runs on the CPU; " + given + " is not used.";
    return setup;
}

bool ChosenDevice(const std::string& option, DeviceInfo* chosen, DeviceSetup& setup) {
    DeviceChoice choice;
    std::string given;
    if (!ChoiceOf(option, &choice, &given, setup)) return false;
    if (choice.kind == DeviceChoice::kCpu) return false;
    std::string refusal;
    if (!ResolveDevice(choice, ListDevices(), CpuTypeDevicesAllowed(), chosen, &refusal)) {
        setup.ok = refusal.empty();  // auto without a GPU runs on the CPU
        setup.error = refusal;
        return false;
    }
    return true;
}

DeviceSetup SetUpDevice(const std::string& option, KernelPath path, int hold) {
    DeviceSetup setup;
    DeviceInfo chosen;
    if (!ChosenDevice(option, &chosen, setup)) return setup;
    GpuProducer::Options options;
    options.device = chosen;
    options.path = path;
    options.hold = hold;
    setup.producer = std::make_unique<GpuProducer>(options);
    return setup;
}

void AttachDevice(CGfnThread& worker, GpuProducer& producer) {
    TextSink* form = worker.Job().form;
    if (worker.Job().wideMath == 0) {
        PostText(form, "Standard math runs on the CPU alone; the %s is not used.", producer.Name().c_str());
        return;
    }
    PostText(form, "The %s sieves beside this process's threads.", producer.Name().c_str());
    producer.SetLog(form);
    producer.SetJobThreads(worker.Threads());
    worker.AddProducer(&producer);
}

std::string ShareText(const GpuProducer& producer, UInt128 fromP, UInt128 toP, int32_t exponent) {
    if (toP <= fromP || exponent <= 0) return "GPU 0%";
    const double span = static_cast<double>(producer.KSpan()) * 2.0 * exponent;
    const double share = std::min(1.0, span / static_cast<double>(toP - fromP));
    return StringPrintf("GPU %.0f%%", 100 * share);
}

std::string DeviceSummary(const GpuProducer& producer) {
    const DeviceCounters c = producer.Counters();
    const GpuProducer::Costs costs = producer.CostShares();
    return StringPrintf("The %s: %lld blocks, %lld primes (%lld left to the CPU), %lld audited (%.2f%% of those it "
                        "completed, %.1f%% of one core; its primes checked against the CPU's in %.1f%% of one core); "
                        "%lld batches, the device busy %.1f s by its own clock (%.0f%% of its time in the job), %lld "
                        "walk launches (longest %.0f ms), %lld split for a full hit buffer",
                        producer.Name().c_str(), static_cast<long long>(producer.Blocks()),
                        static_cast<long long>(c.primes), static_cast<long long>(c.toHost),
                        static_cast<long long>(producer.Audits()), 100 * costs.auditShare, 100 * costs.auditCore,
                        100 * costs.checkCore, static_cast<long long>(c.batches), c.busySeconds, 100 * costs.deviceBusy,
                        static_cast<long long>(c.launches), 1000 * c.longestLaunch, static_cast<long long>(c.splits));
}

std::string DeviceListText() {
    std::string why;
    const std::vector<DeviceInfo> devices = ListDevices(&why);
    if (devices.empty()) return "No OpenCL device is present (" + why + "); sieves run on the CPU.\n";
    std::string text;
    for (const DeviceInfo& d : devices)
        text += "gpu:" + d.Describe() + StringPrintf(", work-groups of %zu", WorkGroupSize(d)) + "\n";
    DeviceInfo chosen;
    std::string refusal;
    DeviceChoice automatic;
    if (ResolveDevice(automatic, devices, CpuTypeDevicesAllowed(), &chosen, &refusal))
        text += StringPrintf("--device auto takes gpu:%d:%d.\n", chosen.platform, chosen.device);
    else
        text += "--device auto runs on the CPU: none of these is a GPU (name one with --device gpu:PLATFORM:DEVICE).\n";
    return text;
}

std::string CpuAloneText() {
    std::string why;
    if (ListDevices(&why).empty())
        return "No OpenCL device is present (" + why + "); the CPU alone sieves, with this process's threads.";
    return "OpenCL offers no GPU here; the CPU alone sieves, with this process's threads.";
}

}  // namespace varnesk::gpu
