// Repeats one operation for instruction counting under callgrind:
//   bench_driver floor|parse|render|scrape PORTS REPEATS
// (scrape: parse, then write the exporter's metrics)
// Run it with two repeat counts and take the difference, so start-up cancels.
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "bench_data.h"
#include "export/metrics.h"
#include "modules/profile.h"
#include "store/store.h"
#include "views/views.h"

using namespace cellscope;

// One dump file through a parser, or only through fgets (format null).
static void run_file(const std::string& text, const DumpFormat* format, StatsStore& store)
{
    std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (format != nullptr) {
        parse_dump(stream, store, *format);
    } else {
        char line[256];
        volatile char sink = 0;
        while (std::fgets(line, sizeof line, stream) != nullptr)
            sink = line[0];
        (void)sink;
    }
    std::fclose(stream);
}

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_driver floor|parse|render|scrape PORTS REPEATS\n");
        return 2;
    }
    const int ports = std::atoi(argv[2]);
    const int repeats = std::atoi(argv[3]);
    const ModelProfile* known = module_for_ports(ports);
    if (known == nullptr) {
        std::fprintf(stderr, "no module with %d ports\n", ports);
        return 2;
    }
    const ModelProfile& profile = *known;
    const benchdata::DumpSet& set = benchdata::dump_set(ports);
    static StatsStore store;
    store_init(store, profile.cell_scale);
    std::FILE* null_stream = std::fopen("/dev/null", "w");
    const ViewContext ctx{{null_stream, null_stream, true}, store, profile};
    const bool floor = std::strcmp(argv[1], "floor") == 0;
    const bool render = std::strcmp(argv[1], "render") == 0;
    const bool scrape = std::strcmp(argv[1], "scrape") == 0;
    for (int i = 0; i < repeats; ++i) {
        if (render) {
            render_all_views(ctx);
            continue;
        }
        run_file(set.global, floor ? nullptr : &profile.parse_global, store);
        run_file(set.port, floor ? nullptr : &profile.parse_port, store);
        run_file(set.pg, floor ? nullptr : &profile.parse_pg, store);
        if (scrape)
            write_metrics(null_stream, store, &profile, true, 1733500000.0);
    }
    std::fclose(null_stream);
    std::printf("%zu\n", set.bytes());
    return 0;
}
