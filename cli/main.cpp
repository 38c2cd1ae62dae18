#include <cstdio>

#include "cli/frontend.h"

int main(int argc, char** argv) { return varnesk::cli::RunCli(argc, argv, stdout, stderr); }
