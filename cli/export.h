// varnesk-cli export: the survivors of a candidate file for a primality
// tester (a genefer script, a list of bases or the ABC file).
#pragma once
#include <cstdio>

#include "cli/options.h"

namespace varnesk::cli {

// The export to out, or to options.outputFile when given; a summary and a
// note per power-of-two base to err. 0 written, 1 the input is no candidate
// file or the export could not be written, 2 usage or a refused command.
int RunExport(const CliOptions& options, std::FILE* out, std::FILE* err);

}  // namespace varnesk::cli
