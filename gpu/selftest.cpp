#include "gpu/selftest.h"

#include <cstdlib>

#include "engine/blockfill.h"
#include "gpu/attach.h"
#include "gpu/devicesieve.h"
#include "gpu/selfcheck.h"
#include "kernels/sieve_job.h"
#include "kernels/wide.h"
#include "platform/post.h"

namespace varnesk::gpu {

SelfTestRow RunDeviceSelfTest(Program& program, const SelfTestPlan& plan, bool flipOne) {
    int64_t completed = 0, listed = 0;
    const SelfTestFill fill = [&](const SelfTestCase& c, std::vector<Segment>& blocks, std::string* why) {
        std::unique_ptr<DeviceSieve> device = DeviceSieve::Open(program, c.info, why);
        if (!device) return false;
        std::vector<Segment*> batch;
        for (Segment& seg : blocks) batch.push_back(&seg);
        if (!device->Fill(batch, why)) return false;
        SieveJob job;
        KernelContext kernels;
        if (!StartBlockKernels(c.info, KernelPath::Scalar, job, kernels)) {
            *why = "the CPU's kernels would not start";
            return false;
        }
        BlockSieve cpu(kernels, 2 * static_cast<int64_t>(c.info.exponent), c.info.exponentLog2,
                       SlotRoots(c.info.exponent));
        for (Segment& seg : blocks) {
            for (int i = 0; i < seg.count; ++i) {
                PrimeSlot& slot = seg.slots[static_cast<size_t>(i)];
                if (slot.outcome == PrimeSlot::kPrime) ++completed;
                if (slot.outcome != PrimeSlot::kListFull) continue;
                // As the sieve's ordered pass lists them, into the job's own list.
                slot.roots.resize(static_cast<size_t>(c.info.exponent) + 4);
                const int32_t found = EnumerateGfnRootsWide(slot.a, slot.p, c.info.exponent,
                                                            static_cast<uint32_t>(c.info.bMax), slot.roots.data(),
                                                            static_cast<int32_t>(slot.roots.size()));
                if (found < 0) continue;  // as full as the reference must say
                slot.rootCount = found;
                slot.outcome = PrimeSlot::kRoots;
                ++listed;
            }
            cpu.Finish(seg);
        }
        return true;
    };
    SelfTestRow row = RunSelfTestRow("gpu:" + std::to_string(program.Device().platform) + ":" +
                                         std::to_string(program.Device().device),
                                     plan, fill, flipOne);
    if (completed || listed)
        row.note = StringPrintf("%lld of its primes completed and %lld of its lists of bases made by the CPU, "
                                "as in a sieve",
                                static_cast<long long>(completed), static_cast<long long>(listed));
    return row;
}

SelfTestDevice OpenSelfTestDevice(const std::string& option) {
    SelfTestDevice result;
    DeviceSetup setup;
    DeviceInfo chosen;
    if (!ChosenDevice(option, &chosen, setup)) {
        result.ok = setup.ok;
        result.error = setup.error;
        const char* env = std::getenv("VARNESK_DEVICE");
        DeviceChoice choice;
        std::string ignored;
        const bool cpu = ParseDeviceChoice(option.empty() && env ? env : option, &choice, &ignored) &&
                         choice.kind == DeviceChoice::kCpu;
        result.notice = cpu ? "No device is tested: the choice is the CPU alone."
                            : "No device is tested: " + CpuAloneText().substr(0, CpuAloneText().find(';')) +
                                  ". Name an OpenCL device with --device gpu:PLATFORM:DEVICE.";
        return result;
    }
    result.name = "gpu:" + chosen.Describe();
    result.program = OpenCheckedProgram(chosen, ProgramOptions{}, &result.log, &result.programError);
    return result;
}

}  // namespace varnesk::gpu
