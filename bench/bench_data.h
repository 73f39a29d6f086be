// Dump sets for the benchmarks: the three files of one module, in memory.
#pragma once

#include <string>

namespace benchdata {

struct DumpSet {
    std::string global, port, pg;
    size_t bytes() const { return global.size() + port.size() + pg.size(); }
};

// Reads DIR/sw_global_info.1, DIR/port_info.1 and DIR/pg_info.1, where DIR is
// $CELLSCOPE_BENCH_DUMPS/<ports>; exits with a message when they are missing.
const DumpSet& dump_set(int ports);

}  // namespace benchdata
