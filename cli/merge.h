// varnesk-cli merge: one candidate file from work units, sieves of parts of
// the p range run on different machines from copies of one candidate file.
#pragma once
#include <cstdio>

#include "cli/options.h"

namespace varnesk::cli {

// Reads the base candidate file, each unit's range record and factor file,
// proves every factor line, and writes the merged candidate file. Messages
// go to err, the one-line summary to out. 0 written; 1 a unit refused, a
// line that does not prove, or the output cannot be written; 2 a usage
// error or a refused command. Nothing is written unless 0.
int RunMerge(const CliOptions& options, std::FILE* out, std::FILE* err);

}  // namespace varnesk::cli
