// cellscope-modules: the registry of modules for scripts, one line each:
// port count, device-tree model string, buffer size in cells.
#include <cstdio>

#include "modules/profile.h"

int main()
{
    for (const cellscope::ModelProfile* m : cellscope::modules())
        std::printf("%d %s %u\n", static_cast<int>(m->port_count), m->model, static_cast<unsigned>(m->cell_scale));
    return 0;
}
