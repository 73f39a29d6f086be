// Shared by the fuzz targets: a store per model and its invariants.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "models/profile.h"
#include "store/store.h"

namespace fuzzing {

// The profile of a module by port count (42, 24 or 30).
const cellscope::ModelProfile& profile_for(int ports);

// A freshly initialised store for the profile, and a pristine copy of it.
void reset_store(cellscope::StatsStore& store, const cellscope::ModelProfile& profile);

// Aborts when the store breaks an invariant: current above max, changed
// thresholds, slot ids or names, or queue records written on a module whose
// parsers never write them.
void check_store(const cellscope::StatsStore& store, const cellscope::ModelProfile& profile);

// A read stream over the input bytes (an empty input gives an empty stream).
std::FILE* open_input(const uint8_t* data, size_t size);

// The C stderr stream goes to /dev/null unless FUZZ_VERBOSE is set: the
// parsers' diagnostics would otherwise drown the fuzzer's output.
void quiet_stderr();

}  // namespace fuzzing

// One target per parser, selected at compile time.
#define CELLSCOPE_PARSER_FUZZER(PORTS, PARSER)                                      \
    extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)         \
    {                                                                               \
        static cellscope::StatsStore store;                                         \
        static bool ready = false;                                                  \
        const cellscope::ModelProfile& profile = fuzzing::profile_for(PORTS);       \
        if (!ready) {                                                               \
            fuzzing::quiet_stderr();                                                \
            fuzzing::reset_store(store, profile);                                   \
            ready = true;                                                           \
        }                                                                           \
        std::FILE* stream = fuzzing::open_input(data, size);                        \
        if (stream == nullptr)                                                      \
            return 0;                                                               \
        cellscope::PARSER(stream, store);                                           \
        std::fclose(stream);                                                        \
        fuzzing::check_store(store, profile);                                       \
        return 0;                                                                   \
    }
