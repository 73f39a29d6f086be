// Shared by the fuzz targets: module choice from the registry, a store per
// module and its invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "modules/profile.h"
#include "store/store.h"

namespace fuzzing {

// The module an input byte selects, from the registry.
const cellscope::ModelProfile& module_for(uint8_t selector);

// A freshly initialised store for the module.
void reset_store(cellscope::StatsStore& store, const cellscope::ModelProfile& profile);

// Aborts when the store breaks an invariant: current above max, changed
// thresholds, slot ids or names, or a record or counter written that no rule
// of the module feeds.
void check_store(const cellscope::StatsStore& store, const cellscope::ModelProfile& profile);

// The C stderr stream goes to /dev/null unless FUZZ_VERBOSE is set: the
// parsers' diagnostics would otherwise drown the fuzzer's output.
void quiet_stderr();

}  // namespace fuzzing
