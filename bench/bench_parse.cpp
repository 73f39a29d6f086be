// Parsing and rendering speed. The floor of parsing is the same bytes read
// with fgets into the same 256-byte buffer and nothing else.
#include <benchmark/benchmark.h>

#include <cstdio>

#include "bench_data.h"
#include "models/profile.h"
#include "store/store.h"
#include "views/views.h"

using namespace cellscope;

namespace {

const ModelProfile& profile_for(int ports)
{
    return *profile_for_ports(ports);
}

void drain(std::FILE* stream, StatsStore&)
{
    char line[256];
    while (std::fgets(line, sizeof line, stream) != nullptr)
        benchmark::DoNotOptimize(line[0]);
}

void run_file(const std::string& text, ParseFn parse, StatsStore& store)
{
    std::FILE* stream = fmemopen(const_cast<char*>(text.data()), text.size(), "r");
    parse(stream, store);
    std::fclose(stream);
}

template <bool Floor>
void BM_Dump(benchmark::State& state)
{
    const int ports = static_cast<int>(state.range(0));
    const benchdata::DumpSet& set = benchdata::dump_set(ports);
    const ModelProfile& profile = profile_for(ports);
    static StatsStore store;
    store_init(store, profile.cell_scale);
    for (auto _ : state) {
        run_file(set.global, Floor ? drain : profile.parse_global, store);
        run_file(set.port, Floor ? drain : profile.parse_port, store);
        run_file(set.pg, Floor ? drain : profile.parse_pg, store);
        benchmark::ClobberMemory();
    }
    const double bytes = static_cast<double>(set.bytes());
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * set.bytes()));
    state.counters["ns_per_byte"] = benchmark::Counter(bytes * static_cast<double>(state.iterations()),
                                                       benchmark::Counter::kIsRate | benchmark::Counter::kInvert);
    state.counters["dump_bytes"] = bytes;
}

void BM_RenderAllViews(benchmark::State& state)
{
    const int ports = static_cast<int>(state.range(0));
    const ModelProfile& profile = profile_for(ports);
    static StatsStore store;
    store_init(store, profile.cell_scale);
    const benchdata::DumpSet& set = benchdata::dump_set(ports);
    run_file(set.global, profile.parse_global, store);
    run_file(set.port, profile.parse_port, store);
    run_file(set.pg, profile.parse_pg, store);
    MonitorState mstate{};
    mstate.batch = 1;
    mstate.report = std::fopen("/dev/null", "w");
    const ViewContext ctx{mstate, store, profile};
    for (auto _ : state)
        render_all_views(ctx);
    std::fclose(mstate.report);
}

}  // namespace

BENCHMARK(BM_Dump<true>)->Name("floor_fgets")->Arg(42)->Arg(24)->Arg(30);
BENCHMARK(BM_Dump<false>)->Name("parse_dump")->Arg(42)->Arg(24)->Arg(30);
BENCHMARK(BM_RenderAllViews)->Name("render_all_views")->Arg(42)->Arg(24)->Arg(30);

BENCHMARK_MAIN();
