#include "main/startup.h"

#include <cstdio>
#include <cstdlib>
#include <unistd.h>

#include "store/conv.h"
#include "views/views.h"

namespace cellscope {

MonitorState g_state;
static ModelProfile g_profile;

void print_help()
{
    std::printf("\nFollowing commands are supported in interactive mode.\n");
    std::printf("***NOTE: You must press the command key followed by Enter key!\n");
    std::printf("n - cycle through next view\n");
    std::printf("w - write all statistics views to file %s\n", kReportPath);
    std::printf("h - display this help screen\n");
    std::printf("q - quit\n");
}

void print_usage()
{
    std::printf("Usage: cellscope  [-b] [-v{0-21}]\n");
    std::printf("\tb: batch mode\n");
    std::printf("\tv: display specified view {0-21}\n");
    for (uint32_t v = 0; v < kViewCount; ++v)
        std::printf("\t   %u = %s \n", static_cast<unsigned>(v), view_names[v]);
    print_help();
}

int parse_options(int argc, char** argv, MonitorState& state)
{
    int opt;
    while ((opt = getopt(argc, argv, "bv:")) != -1) {
        switch (opt) {
        case 'b':
            state.batch = 1;
            break;
        case 'v':
            // No error check: text that is not a number gives view 0.
            state.current_view = strtoul32(optarg, nullptr, 10);
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
    if (parse_options(argc, argv, g_state) != 0) {
        print_usage();
        return 1;
    }
    g_state.report = stdout;
    if (detect_model(g_profile) != 0) {
        std::fputs("Unable to find model.\n", stderr);
        return 1;
    }
    store_init(g_store, g_profile.cell_scale);
    if (g_state.batch)
        run_batch(g_state, g_store, g_profile);
    run_interactive(g_state, g_store, g_profile);
}

}  // namespace cellscope
