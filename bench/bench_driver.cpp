// Repeats one operation for instruction counting under callgrind:
//   bench_driver floor|parse|render PORTS REPEATS
// Run it with two repeat counts and take the difference, so start-up cancels.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_data.h"
#include "models/profile.h"
#include "store/store.h"
#include "views/views.h"

using namespace cellscope;

static void drain(std::FILE* stream, StatsStore&)
{
    char line[256];
    volatile char sink = 0;
    while (std::fgets(line, sizeof line, stream) != nullptr)
        sink = line[0];
    (void)sink;
}

static void run_file(const std::string& text, ParseFn parse, StatsStore& store)
{
    std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    parse(stream, store);
    std::fclose(stream);
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_driver floor|parse|render PORTS REPEATS\n");
        return 2;
    }
    const int ports = std::atoi(argv[2]);
    const int repeats = std::atoi(argv[3]);
    const ModelProfile* known = profile_for_ports(ports);
    if (known == nullptr) {
        std::fprintf(stderr, "ports: 42, 24 or 30\n");
        return 2;
    }
    const ModelProfile& profile = *known;
    const benchdata::DumpSet& set = benchdata::dump_set(ports);
    static StatsStore store;
    store_init(store, profile.cell_scale);
    MonitorState mstate{};
    mstate.batch = 1;
    mstate.report = std::fopen("/dev/null", "w");
    const ViewContext ctx{mstate, store, profile};
    const bool floor = std::strcmp(argv[1], "floor") == 0;
    const bool render = std::strcmp(argv[1], "render") == 0;
    for (int i = 0; i < repeats; ++i) {
        if (render) {
            render_all_views(ctx);
            continue;
        }
        run_file(set.global, floor ? drain : profile.parse_global, store);
        run_file(set.port, floor ? drain : profile.parse_port, store);
        run_file(set.pg, floor ? drain : profile.parse_pg, store);
    }
    std::fclose(mstate.report);
    std::printf("%zu\n", set.bytes());
    return 0;
}
