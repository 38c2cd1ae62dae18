// Shared by the command-line tests: a scratch folder removed with everything
// in it, and small file helpers.
#pragma once
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "tests/support/scratch.h"

namespace varnesk::cli::testing {

using testsupport::Lines;
using testsupport::ReadAll;
using testsupport::ScratchFolder;
using testsupport::WriteAll;

// Everything written to a temporary stream, which is then closed.
inline std::string Slurp(std::FILE* f) {
    std::string s;
    std::rewind(f);
    for (int c; (c = std::fgetc(f)) != EOF;) s += static_cast<char>(c);
    std::fclose(f);
    return s;
}

}  // namespace varnesk::cli::testing
