// Shared by the command-line tests: a scratch folder removed with everything
// in it, and small file helpers.
#pragma once
#include <gtest/gtest.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "cli/frontend.h"
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

// The whole program, run in-process: exit status, standard output and
// standard error.
struct CliRun {
    int status;
    std::string out, err;
};
inline CliRun RunProgram(std::vector<std::string> args) {
    args.insert(args.begin(), "varnesk-cli");
    std::vector<const char*> argv;
    for (const std::string& a : args) argv.push_back(a.c_str());
    argv.push_back(nullptr);
    std::FILE* out = std::tmpfile();
    std::FILE* err = std::tmpfile();
    const int status = RunCli(static_cast<int>(args.size()), argv.data(), out, err);
    return {status, Slurp(out), Slurp(err)};
}

// A test that runs the program and keeps its two outputs, in a scratch
// folder of its own.
class ProgramTest : public ::testing::Test {
protected:
    int Run(std::vector<std::string> args) {
        CliRun run = RunProgram(std::move(args));
        out_ = std::move(run.out);
        err_ = std::move(run.err);
        return run.status;
    }
    ScratchFolder dir_;
    std::string out_, err_;
};

}  // namespace varnesk::cli::testing
