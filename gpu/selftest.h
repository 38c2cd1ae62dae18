// The self-test's device row (engine/selftest.h): the blocks a device
// fills, held against the plain reference as every CPU path's are.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "engine/selftest.h"
#include "gpu/opencl.h"

namespace varnesk::gpu {

// Each case's blocks in one batch through DeviceSieve, as the producer
// takes them. The primes the device leaves to the CPU are completed, and
// the lists it leaves to the host made, by the CPU's scalar kernels as the
// job would; the row's note counts them.
SelfTestRow RunDeviceSelfTest(Program& program, const SelfTestPlan& plan, bool flipOne = false);

struct SelfTestDevice {
    bool ok = true;      // false: the choice is refused, error says why
    std::string error;
    std::string notice;  // why no device is tested, or empty
    std::string name;    // "gpu:0:0 NAME" of the chosen one
    std::unique_ptr<Program> program;  // null with programError when it could not be had
    std::string programError;
    std::vector<std::string> log;  // what opening its program said
};

// The device that --device (or VARNESK_DEVICE) names, as a sieve takes it:
// auto a GPU when OpenCL offers one, cpu none, gpu the first GPU (refused
// without one), gpu:P:D that one; its program opened and self-checked as
// before a sieve's first block.
SelfTestDevice OpenSelfTestDevice(const std::string& option);

}  // namespace varnesk::gpu
