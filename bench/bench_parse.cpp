// Parsing, rendering and scraping speed. The floor of parsing is the same
// bytes read with fgets into the same 256-byte buffer and nothing else; a
// scrape is what the exporter does once a dump is complete: the three files
// parsed, then every metric written.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_data.h"
#include "export/metrics.h"
#include "modules/profile.h"
#include "store/store.h"
#include "views/views.h"

using namespace cellscope;

namespace {

// One dump file through a parser, or only through fgets (format null).
void run_file(const std::string& text, const DumpFormat* format, StatsStore& store)
{
    std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    if (format != nullptr) {
        parse_dump(stream, store, *format);
    } else {
        char line[256];
        while (std::fgets(line, sizeof line, stream) != nullptr)
            benchmark::DoNotOptimize(line[0]);
    }
    std::fclose(stream);
}

void dump(benchmark::State& state, const ModelProfile* profile, bool floor)
{
    const benchdata::DumpSet& set = benchdata::dump_set(profile->port_count);
    static StatsStore store;
    store_init(store, profile->cell_scale);
    for (auto _ : state) {
        run_file(set.global, floor ? nullptr : &profile->parse_global, store);
        run_file(set.port, floor ? nullptr : &profile->parse_port, store);
        run_file(set.pg, floor ? nullptr : &profile->parse_pg, store);
        benchmark::ClobberMemory();
    }
    const double bytes = static_cast<double>(set.bytes());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes()));
    state.counters["ns_per_byte"] = benchmark::Counter(bytes * static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["dump_bytes"] = bytes;
}

void render(benchmark::State& state, const ModelProfile* profile)
{
    static StatsStore store;
    store_init(store, profile->cell_scale);
    const benchdata::DumpSet& set = benchdata::dump_set(profile->port_count);
    run_file(set.global, &profile->parse_global, store);
    run_file(set.port, &profile->parse_port, store);
    run_file(set.pg, &profile->parse_pg, store);
    std::FILE* null_stream = std::fopen("/dev/null", "w");
    const ViewContext ctx{{null_stream, null_stream, true}, store, *profile};
    for (auto _ : state)
        render_all_views(ctx);
    std::fclose(null_stream);
}

void scrape(benchmark::State& state, const ModelProfile* profile)
{
    static StatsStore store;
    store_init(store, profile->cell_scale);
    const benchdata::DumpSet& set = benchdata::dump_set(profile->port_count);
    std::FILE* null_stream = std::fopen("/dev/null", "w");
    for (auto _ : state) {
        run_file(set.global, &profile->parse_global, store);
        run_file(set.port, &profile->parse_port, store);
        run_file(set.pg, &profile->parse_pg, store);
        write_metrics(null_stream, store, profile, true, 1733500000.0);
    }
    std::fclose(null_stream);
}

}  // namespace

// Every module of the registry, named by its port count.
int main(int argc, char** argv)
{
    for (const ModelProfile* m : modules()) {
        const std::string ports = "/" + std::to_string(m->port_count);
        benchmark::RegisterBenchmark(("floor_fgets" + ports).c_str(), dump, m, true);
        benchmark::RegisterBenchmark(("parse_dump" + ports).c_str(), dump, m, false);
        benchmark::RegisterBenchmark(("render_all_views" + ports).c_str(), render, m);
        benchmark::RegisterBenchmark(("scrape" + ports).c_str(), scrape, m);
    }
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
