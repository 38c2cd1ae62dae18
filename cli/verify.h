// varnesk-cli verify: the command around the shared proofs of
// engine/prove.h: reads the files, prints every bad line and a summary.
#pragma once
#include <cstdio>

#include "cli/options.h"
#include "engine/prove.h"

namespace varnesk::cli {

// The whole command: reads the files, prints every bad line and a summary to
// out, troubles to err. 0 all hold, 1 something is bad, 2 usage or a file
// that cannot be read.
int RunVerify(const CliOptions& options, std::FILE* out, std::FILE* err);

}  // namespace varnesk::cli
