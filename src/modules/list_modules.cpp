// cellscope-modules: the registry of modules for scripts and tests.
//   cellscope-modules               one line per module: port count, device-tree
//                                   model string, buffer size in cells
//   cellscope-modules --labels N    the front-panel labels of the module with N
//                                   ports, one per line, slot 0 first
#include <cstdio>
#include <cstring>

#include "modules/profile.h"
#include "text/numbers.h"

int main(int argc, char** argv)
{
    using cellscope::ModelProfile;
    if (argc == 3 && std::strcmp(argv[1], "--labels") == 0) {
        const ModelProfile* m =
            cellscope::module_for_ports(static_cast<int32_t>(cellscope::strtou32(argv[2], nullptr, 10)));
        if (m == nullptr)
            return 1;
        for (int32_t slot = 0; slot < m->port_count; ++slot)
            std::printf("%s\n", m->port_labels[static_cast<size_t>(slot)]);
        return 0;
    }
    if (argc != 1) {
        std::fputs("usage: cellscope-modules [--labels PORTS]\n", stderr);
        return 2;
    }
    for (const ModelProfile* m : cellscope::modules())
        std::printf("%d %s %u\n", static_cast<int>(m->port_count), m->model, static_cast<unsigned>(m->cell_scale));
    return 0;
}
