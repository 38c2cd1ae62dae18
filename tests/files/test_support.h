// Shared by the files tests: a sink that keeps every posted text, and a
// scratch folder removed with everything in it.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "platform/post.h"
#include "tests/support/scratch.h"

namespace varnesk::testing_files {

// Keeps the log lines, with the range record shown among them in its
// place as "& bMin bMax N".
class CollectingSink : public TextSink {
public:
    void PostWorkerText(std::unique_ptr<std::string> text) override { texts.push_back(*text); }
    void PostRangeRecord(int32_t bMin, int32_t bMax, int32_t exponent) override {
        texts.push_back("& " + std::to_string(bMin) + " " + std::to_string(bMax) + " " + std::to_string(exponent));
    }
    std::vector<std::string> texts;
};

using testsupport::ScratchFolder;

inline void WriteBytes(const std::string& path, const std::string& bytes) { testsupport::WriteAll(path, bytes); }
inline std::string ReadBytes(const std::string& path) { return testsupport::ReadAll(path); }

}  // namespace varnesk::testing_files
