// The exporter's command line.
#pragma once

#include <chrono>

namespace cellscope {

struct ExportOptions {
    bool http = false;                // answer one HTTP request on stdin/stdout
    const char* textfile = nullptr;   // write the metrics into this file
    std::chrono::seconds timeout{5};  // longest wait for a fresh dump
    std::chrono::seconds interval{1};  // scrapes within it share one dump; at most one dump per interval
    std::chrono::seconds max_age{60};  // the oldest dump an answer may carry when no fresh one came
};

// Parses the command line into options: 0 to run, 1 after --help (the usage
// text on stdout), -1 on a usage error (the reason and usage on stderr).
int parse_export_options(int argc, char** argv, ExportOptions& options);

}  // namespace cellscope
