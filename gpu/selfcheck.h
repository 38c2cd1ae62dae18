// A device's program proves itself before it sieves: a handful of known
// answers that the host computes with its own references, so that a
// binary the driver loads without complaint but that computes something
// else (a damaged or foreign one, a faulty driver) is never used.
#pragma once
#include <memory>
#include <string>
#include <vector>

#include "gpu/opencl.h"

namespace varnesk::gpu {

// The arithmetic kernels on rows at 2^52, 2^63, 2^64, 2^79 and 2^96 against
// plain references, then a few blocks filled on the device against the
// CPU's: the same probable primes, solutions and bases, narrow and wide,
// with hits. False with the first difference in `why`.
bool SelfCheck(Program& program, std::string* why);

// The device's program, opened and checked: a cached binary that fails the
// self-check is removed (said in `log`) and the program built again from
// source, once; one built from source that fails it is no program (null,
// the reason in `error`).
std::unique_ptr<Program> OpenCheckedProgram(const DeviceInfo& device, const ProgramOptions& options,
                                            std::vector<std::string>* log, std::string* error);

}  // namespace varnesk::gpu
