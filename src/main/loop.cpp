// Batch run and interactive refresh loop.
#include <cstdio>
#include <cstdlib>

#include "main/startup.h"

namespace cellscope {

void run_batch(MonitorState&, StatsStore&, const ModelProfile&)
{
    std::exit(0);
}

void run_interactive(MonitorState&, StatsStore&, const ModelProfile&)
{
    std::exit(0);
}

}  // namespace cellscope
