// The store's figures in the Prometheus text exposition format.
#pragma once

#include <cstdio>

#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

// The version of cellscope, from the CMake project version.
inline constexpr char kVersion[] = CELLSCOPE_VERSION;

// Writes every metric with its HELP and TYPE lines. Without a dump (up
// false) only cellscope_up 0, the build and the module's own figures (none
// when the module is unknown). Usage values are the peak within the latest
// dump, in cells; counters their full 64 bits; what the module never
// reports is left out. dump_timestamp is the Unix time at which the dump
// behind the figures was complete. Label values are escaped as the format
// asks (backslash, double quote, line feed).
void write_metrics(std::FILE* out, const StatsStore& store, const ModelProfile* profile, bool up,
                   double dump_timestamp);

}  // namespace cellscope
