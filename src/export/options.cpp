#include "export/options.h"

#include <cerrno>
#include <cstdio>
#include <getopt.h>

#include "text/diagnostics.h"
#include "text/numbers.h"

namespace cellscope {

namespace {

void usage(std::FILE* out)
{
    std::fputs("Usage: cellscope-export [--http | --textfile PATH] [--timeout SECONDS] [--interval SECONDS]\n"
               "                        [--max-age SECONDS]\n"
               "Reads one complete dump of the switch buffer, shared with the monitors and the\n"
               "other exporters on the module, and writes the figures in the Prometheus text\n"
               "format:\n"
               "  (no option)         on standard output; exit 1 when no dump came in time\n"
               "  --http              answer one HTTP request on standard input and output\n"
               "                      (inetd, systemd socket activation): GET /metrics\n"
               "  --textfile PATH     into PATH, replaced atomically\n"
               "  --timeout SECONDS   longest wait for a fresh dump (default 5)\n"
               "  --interval SECONDS  scrapes within it share one dump, and exporters ask the\n"
               "                      daemon at most once per interval (default 1)\n"
               "  --max-age SECONDS   when no fresh dump came in time, the oldest dump to answer\n"
               "                      with instead (default 60)\n",
               out);
}

constexpr uint32_t kLongestTimeout = 3600;

// SECONDS of an option, from 1 to most; false (with a message) otherwise.
bool seconds_of(const char* name, const char* text, uint32_t most, std::chrono::seconds& out)
{
    char* end = nullptr;
    errno = 0;
    const uint32_t seconds = strtou32(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || seconds == 0 || seconds > most) {
        char line[96];
        std::snprintf(line, sizeof line, "cellscope-export: --%s takes 1 to %u seconds\n", name,
                      static_cast<unsigned>(most));
        diagnose(line);
        return false;
    }
    out = std::chrono::seconds{seconds};
    return true;
}

}  // namespace

int parse_export_options(int argc, char** argv, ExportOptions& options)
{
    static const struct option kOptions[] = {
        {"http", no_argument, nullptr, 'h'},
        {"textfile", required_argument, nullptr, 'f'},
        {"timeout", required_argument, nullptr, 't'},
        {"interval", required_argument, nullptr, 'i'},
        {"max-age", required_argument, nullptr, 'a'},
        {"help", no_argument, nullptr, 'u'},
        {nullptr, 0, nullptr, 0},
    };
    optind = 0;  // a fresh scan of this command line
    for (int opt; (opt = getopt_long(argc, argv, "", kOptions, nullptr)) != -1;) {
        switch (opt) {
        case 'h':
            options.http = true;
            break;
        case 'f':
            options.textfile = optarg;
            break;
        case 't':
            if (!seconds_of("timeout", optarg, kLongestTimeout, options.timeout))
                return -1;
            break;
        case 'i':
            if (!seconds_of("interval", optarg, kLongestTimeout, options.interval))
                return -1;
            break;
        case 'a':
            if (!seconds_of("max-age", optarg, 24 * kLongestTimeout, options.max_age))
                return -1;
            break;
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
