// Text of the three dump files for a simulated state, in the register and
// counter line forms of each module, and the truth record of what a dump
// carries for the monitor.
#pragma once

#include <string>

#include "traffic.h"

namespace swsim {

struct DumpText {
    std::string global;  // sw_global_info.1
    std::string port;    // port_info.1
    std::string pg;      // pg_info.1
};

DumpText render_dump(const Snapshot& snap);

// Every dump file ends with this line (with the dump number), so a reader
// can tell a complete file from a cut one.
std::string footer_line(uint64_t number);

// Truth record of one dump, see the --help text for the format.
std::string render_truth(const Snapshot& snap);

}  // namespace swsim
