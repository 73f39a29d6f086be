// Command line of swfabric-sim.
#pragma once

#include <cstdint>
#include <string>

#include "sim_model.h"
#include "traffic.h"

namespace swsim {

struct Options {
    Model model = Model::M42;
    Scenario scenario = Scenario::Steady;
    uint64_t seed = 1;
    int target = 0;             // incast target slot
    uint64_t counter_base = 0;  // start of every packet and drop counter
    std::string replay_dir;     // replay scenario
    std::string root;           // prefix for /tmp and /var/run
    std::string truth_path;     // --truth
    std::string record_dir;     // --record
    bool once = false;
    uint64_t count = 1;     // dumps written by --once
    unsigned delay_ms = 0;  // pause before each file is renamed into place
};

struct ParsedArgs {
    // -1: run with opts; 0: exit 0 (help printed); 2: bad arguments (message set).
    int status = -1;
    std::string message;
    Options opts;
};

ParsedArgs parse_args(int argc, const char* const* argv);

const char* help_text();

}  // namespace swsim
