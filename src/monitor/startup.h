// Command line, start-up and the usage and help texts.
#pragma once

#include <cstdio>

#include "monitor/loop.h"

namespace cellscope {

void print_help(std::FILE* out);
void print_usage(std::FILE* out);

// Parses the options into state; 0, or -1 on a usage error (the caller
// prints the usage text).
int parse_options(int argc, char** argv, MonitorState& state);

// The whole program: options, model, store, then the batch run or the loop;
// the exit status.
int monitor_main(int argc, char** argv);

}  // namespace cellscope
