// The batch run and the interactive refresh loop with its key commands.
#pragma once

#include <cstdint>
#include <cstdio>

#include "exchange/exchange.h"
#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

inline constexpr char kReportPath[] = "/tmp/cellscope_results.log";

// The loop's own state: the view on screen.
struct MonitorState {
    bool batch;             // set by -b
    uint32_t current_view;  // 0 to 21
};

// What the loop talks to; tests put files and pipes in place of the real ones.
struct LoopIo {
    int input;                // read one byte at a time: the keys
    std::FILE* input_stream;  // the same input, buffered: the help screen's wait
    std::FILE* screen;        // views and terminal control
    const DumpPaths* paths;
    const char* report_path;  // where `w` writes all views
    int wait_seconds;         // longest wait for a key between passes
};

inline const LoopIo kTerminal{0, stdin, stdout, &kDumpPaths, kReportPath, 3};

// Reads whatever dump files are present (no dump is asked for) and writes
// all views to out, which is closed. The exit status: 0, or 1 when writing
// failed (reported on stderr).
int run_batch(StatsStore& store, const ModelProfile& profile, std::FILE* out, const DumpPaths& paths = kDumpPaths);

// Asks for a dump, then one pass after another: consume a completed dump
// (exchange_pass), draw the current view, wait for a key and obey it.
// Returns the exit status: 0 after `q`, 1 when the key wait fails.
int run_interactive(MonitorState& state, ExchangeState& exchange, StatsStore& store, const ModelProfile& profile,
                    const LoopIo& io = kTerminal);

}  // namespace cellscope
