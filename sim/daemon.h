// The simulator's run: one-shot dumps or the signal-driven daemon loop.
#pragma once

#include "options.h"

namespace swsim {

// Runs with parsed options; returns the process exit status.
int run(const Options& opts);

}  // namespace swsim
