// Shared by the command-line tests: a scratch folder removed with everything
// in it, and small file helpers.
#pragma once
#include <stdlib.h>

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

}  // namespace varnesk::cli::testing
