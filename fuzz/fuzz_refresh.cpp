// Fuzzes a whole refresh: the input is split into the three dump files,
// which go through the readers of the chosen module, then every view is
// rendered to a null stream in interactive framing.
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <unistd.h>

#include "fuzz_common.h"
#include "exchange/exchange.h"
#include "views/views.h"

using namespace cellscope;

namespace {

char g_dir[64];
char g_global[96], g_port[96], g_pg[96], g_marker[96], g_pid[96];

void setup()
{
    fuzzing::quiet_stderr();
    std::strcpy(g_dir, "/tmp/cellscope-fuzz-XXXXXX");
    if (mkdtemp(g_dir) == nullptr)
        std::abort();
    std::snprintf(g_global, sizeof g_global, "%s/sw_global_info.1", g_dir);
    std::snprintf(g_port, sizeof g_port, "%s/port_info.1", g_dir);
    std::snprintf(g_pg, sizeof g_pg, "%s/pg_info.1", g_dir);
    std::snprintf(g_marker, sizeof g_marker, "%s/marker", g_dir);
    std::snprintf(g_pid, sizeof g_pid, "%s/pid", g_dir);
}

void put(const char* path, std::string_view bytes)
{
    std::FILE* f = std::fopen(path, "wb");
    if (f == nullptr)
        std::abort();
    std::fwrite(bytes.data(), 1, bytes.size(), f);
    std::fclose(f);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = false;
    static StatsStore store;
    static std::FILE* null_stream;
    if (!ready) {
        setup();
        null_stream = std::fopen("/dev/null", "w");
        ready = true;
    }
    if (size == 0)
        return 0;
    const ModelProfile& profile = fuzzing::module_for(data[0]);
    fuzzing::reset_store(store, profile);

    // Files are separated by a form feed; missing parts are missing files.
    std::string_view rest(reinterpret_cast<const char*>(data + 1), size - 1);
    const char* paths[] = {g_global, g_port, g_pg};
    for (const char* path : paths) {
        unlink(path);
        if (rest.empty() && path != g_global)
            continue;
        const size_t cut = rest.find('\f');
        put(path, rest.substr(0, cut));
        rest = cut == std::string_view::npos ? std::string_view() : rest.substr(cut + 1);
    }
    const DumpPaths dump{g_global, g_port, g_pg, g_marker, g_pid, "/proc", "/nonexistent/state"};
    ExchangeState exchange;
    read_present_dump(exchange, store, profile, dump);
    fuzzing::check_store(store, profile);

    const ViewContext ctx{{null_stream, null_stream, false}, store, profile};
    render_all_views(ctx);
    for (uint32_t view = 0; view < 24; ++view)
        render_view(ctx, view);
    return 0;
}
