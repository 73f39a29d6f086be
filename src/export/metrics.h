// The store's figures in the Prometheus text exposition format.
#pragma once

#include <cstdio>

#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

// Writes every metric with its HELP and TYPE lines. Without a dump (up
// false) only cellscope_up 0 and the module's own figures (none when the
// module is unknown). Usage values are the peak within the latest dump, in
// cells; counters their full 64 bits; what the module never reports is
// left out.
void write_metrics(std::FILE* out, const StatsStore& store, const ModelProfile* profile, bool up,
                   double dump_age_seconds);

}  // namespace cellscope
