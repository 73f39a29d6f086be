// Command line, start-up and the usage and help texts.
#pragma once

#include "main/monitor_state.h"
#include "models/profile.h"

namespace cellscope {

inline constexpr char kReportPath[] = "/tmp/cellscope_results.log";

void print_help();
void print_usage();

// Parses the options into state; 0, or -1 on a usage error (the caller
// prints the usage text).
int parse_options(int argc, char** argv, MonitorState& state);

// The whole program: options, model, store, then the batch run or the loop.
int monitor_main(int argc, char** argv);

// Hand-over points, defined by the refresh loop.
[[noreturn]] void run_batch(MonitorState& state, StatsStore& store, const ModelProfile& profile);
[[noreturn]] void run_interactive(MonitorState& state, StatsStore& store, const ModelProfile& profile);

}  // namespace cellscope
