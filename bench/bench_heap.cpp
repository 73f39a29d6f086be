// Counts heap allocations of whole refresh cycles after start-up: the three
// dump files read through the readers, then the current view drawn and the
// exporter's metrics written, each counted on its own. The C
// library's own stream buffers (one FILE and one buffer per opened file,
// freed at close) are counted apart from anything else.
//   bench_heap DUMP_DIR PORTS CYCLES
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "exchange/exchange.h"
#include "export/metrics.h"
#include "modules/profile.h"
#include "store/store.h"
#include "views/views.h"

extern "C" void* __libc_malloc(size_t);
extern "C" void* __libc_calloc(size_t, size_t);
extern "C" void* __libc_realloc(void*, size_t);
extern "C" void __libc_free(void*);

static std::atomic<long> g_mallocs{0}, g_frees{0}, g_news{0}, g_metrics_allocs{0};
static bool g_counting = false;

extern "C" void* malloc(size_t n)
{
    if (g_counting)
        ++g_mallocs;
    return __libc_malloc(n);
}
extern "C" void* calloc(size_t n, size_t m)
{
    if (g_counting)
        ++g_mallocs;
    return __libc_calloc(n, m);
}
extern "C" void* realloc(void* p, size_t n)
{
    if (g_counting && p == nullptr)
        ++g_mallocs;
    return __libc_realloc(p, n);
}
extern "C" void free(void* p)
{
    if (g_counting && p != nullptr)
        ++g_frees;
    __libc_free(p);
}
void* operator new(size_t n)
{
    if (g_counting)
        ++g_news;
    return __libc_malloc(n ? n : 1);
}
void operator delete(void* p) noexcept { free(p); }
void operator delete(void* p, size_t) noexcept { free(p); }

using namespace cellscope;

int main(int argc, char** argv)
{
    if (argc != 4) {
        std::fprintf(stderr, "usage: bench_heap DUMP_DIR PORTS CYCLES\n");
        return 2;
    }
    const std::string dir = argv[1];
    const int ports = std::atoi(argv[2]);
    const int cycles = std::atoi(argv[3]);
    const ModelProfile* known = module_for_ports(ports);
    if (known == nullptr) {
        std::fprintf(stderr, "no module with %d ports\n", ports);
        return 2;
    }
    const ModelProfile& profile = *known;
    const std::string global = dir + "/sw_global_info.1", port = dir + "/port_info.1", pg = dir + "/pg_info.1";
    const DumpPaths paths{global.c_str(), port.c_str(), pg.c_str(), "/nonexistent/marker", "/nonexistent/pid",
                          "/proc", "/nonexistent/state"};

    static StatsStore store;
    store_init(store, profile.cell_scale);
    std::FILE* null_stream = std::fopen("/dev/null", "w");
    const ViewContext ctx{{null_stream, null_stream, false}, store, profile};
    static ExchangeState exchange;

    g_counting = true;
    for (int i = 0; i < cycles; ++i) {
        read_present_dump(exchange, store, profile, paths);  // every file read, as after a request
        render_view(ctx, static_cast<uint32_t>(i) % kViewCount);
        const long before = g_mallocs + g_news;
        write_metrics(null_stream, store, &profile, true, 1733500000.0);
        g_metrics_allocs += g_mallocs + g_news - before;
    }
    g_counting = false;
    std::fprintf(stderr, "cycles %d mallocs %ld frees %ld operator_new %ld streams_opened %d metrics_allocs %ld\n",
                 cycles, g_mallocs.load(), g_frees.load(), g_news.load(), cycles * 3, g_metrics_allocs.load());
    return 0;
}
