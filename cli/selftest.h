// varnesk-cli selftest: the table of the self-test (engine/selftest.h,
// gpu/selftest.h) for every kernel path of this CPU and the chosen device.
#pragma once
#include <cstdio>

#include "cli/options.h"

namespace varnesk::cli {

// Prints the table to out, what the device's program said to err. 0 when
// every path and the device agree with the reference, 1 when one does not
// (the first disagreement named) or the device's program cannot be had,
// 2 on a refused --kernel or --device.
int RunSelfTest(const CliOptions& options, std::FILE* out, std::FILE* err);

}  // namespace varnesk::cli
