#include "monitor/startup.h"

#include <unistd.h>

#include "text/numbers.h"
#include "views/views.h"

namespace cellscope {

void print_help(std::FILE* out)
{
    std::fprintf(out, "\nFollowing commands are supported in interactive mode.\n");
    std::fprintf(out, "***NOTE: You must press the command key followed by Enter key!\n");
    std::fprintf(out, "n - cycle through next view\n");
    std::fprintf(out, "w - write all statistics views to file %s\n", kReportPath);
    std::fprintf(out, "h - display this help screen\n");
    std::fprintf(out, "q - quit\n");
}

void print_usage(std::FILE* out)
{
    std::fprintf(out, "Usage: cellscope  [-b] [-v{0-21}]\n");
    std::fprintf(out, "\tb: batch mode\n");
    std::fprintf(out, "\tv: display specified view {0-21}\n");
    for (uint32_t v = 0; v < kViewCount; ++v)
        std::fprintf(out, "\t   %u = %s \n", static_cast<unsigned>(v), view_at(v)->name);
    print_help(out);
}

int parse_options(int argc, char** argv, MonitorState& state)
{
    int opt;
    while ((opt = getopt(argc, argv, "bv:")) != -1) {
        switch (opt) {
        case 'b':
            state.batch = true;
            break;
        case 'v':
            // No error check: text that is not a number gives view 0.
            state.current_view = strtou32(optarg, nullptr, 10);
            if (state.current_view >= kViewCount)
                state.current_view = 0;
            break;
        default:
            return -1;
        }
    }
    return optind < argc ? -1 : 0;
}

int monitor_main(int argc, char** argv)
{
    static MonitorState state;
    static ExchangeState exchange;
    if (parse_options(argc, argv, state) != 0) {
        print_usage(stdout);
        return 1;
    }
    const ModelProfile* profile = detect_model();
    if (profile == nullptr) {
        std::fputs("Unable to find model.\n", stderr);
        return 1;
    }
    store_init(g_store, profile->cell_scale);
    if (state.batch)
        return run_batch(g_store, *profile, stdout);
    return run_interactive(state, exchange, g_store, *profile);
}

}  // namespace cellscope
