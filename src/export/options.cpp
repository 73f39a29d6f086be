#include "export/options.h"

#include <cerrno>
#include <cstdio>
#include <getopt.h>

#include "text/numbers.h"

namespace cellscope {

namespace {

void usage(std::FILE* out)
{
    std::fputs("Usage: cellscope-export [--http | --textfile PATH] [--timeout SECONDS]\n"
               "Reads one complete dump of the switch buffer (asking the daemon for it only\n"
               "when no monitor does) and writes the figures in the Prometheus text format:\n"
               "  (no option)      on standard output; exit 1 when no dump came in time\n"
               "  --http           answer one HTTP request on standard input and output\n"
               "                   (inetd, systemd socket activation): GET /metrics\n"
               "  --textfile PATH  into PATH, replaced atomically\n"
               "  --timeout SECONDS  longest wait for a complete dump (default 5)\n",
               out);
}

constexpr uint32_t kLongestTimeout = 3600;

}  // namespace

int parse_export_options(int argc, char** argv, ExportOptions& options)
{
    static const struct option kOptions[] = {
        {"http", no_argument, nullptr, 'h'},
        {"textfile", required_argument, nullptr, 'f'},
        {"timeout", required_argument, nullptr, 't'},
        {"help", no_argument, nullptr, 'u'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // a fresh scan of this command line
    for (int opt; (opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
        char* end = nullptr;
        switch (opt) {
        case 'h':
            options.http = true;
            break;
        case 'f':
            options.textfile = optarg;
            break;
        case 't': {
            errno = 0;
            const uint32_t seconds = strtou32(optarg, &end, 10);
            if (errno != 0 || end == optarg || *end != '\0' || seconds == 0 || seconds > kLongestTimeout) {
                std::fprintf(stderr, "cellscope-export: --timeout takes 1 to %u seconds\n",
                             static_cast<unsigned>(kLongestTimeout));
                return -1;
            }
            options.timeout = std::chrono::seconds{seconds};
            break;
        }
        case 'u':
            usage(stdout);
            return 1;
        default:
            usage(stderr);
            return -1;
        }
    }
    if (optind < argc || (options.http && options.textfile != nullptr)) {
        usage(stderr);
        return -1;
    }
    return 0;
}

}  // namespace cellscope
