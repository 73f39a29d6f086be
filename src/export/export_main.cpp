// cellscope-export: the module's buffer figures for Prometheus, from the same
// exchange, parsers and store as the monitor, sharing the daemon and its dumps
// with every monitor and exporter on the module; never listens on a socket.
//   cellscope-export [--timeout S] [--interval S] [--max-age S]   metrics on standard output
//   cellscope-export --http [...]              answer one request on stdin/stdout
//   cellscope-export --textfile PATH [...]     write PATH, replaced whole
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include "exchange/exchange.h"
#include "export/http.h"
#include "export/metrics.h"
#include "export/options.h"
#include "export/textfile.h"
#include "text/diagnostics.h"

using namespace cellscope;

namespace {

constexpr std::chrono::seconds kRequestTimeout{2};
// After the answer, what the peer still sends is read and discarded up to
// these bounds, so that closing does not reset the connection under it.
constexpr size_t kDrainBytes = 1024 * 1024;
constexpr std::chrono::seconds kDrainTime{2};

// Everything the program holds is fixed-size and allocated once.
StatsStore g_figures;
ExchangeState g_exchange;
char g_body[256 * 1024];
char g_head[kMaxRequestHead];

constexpr char kProgram[] = "cellscope-export";

// One line "cellscope-export: TEXT" to the diagnostic sink.
__attribute__((format(printf, 1, 2))) void report(const char* format, ...)
{
    char line[512];
    const int prefix = std::snprintf(line, sizeof line, "%s: ", kProgram);
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix) - 1, format, args);
    va_end(args);
    std::strcat(line, "\n");
    diagnose(line);
}

// Answering a connection on the standard streams, whatever the program or
// the layers below it would say goes to syslog instead, without the
// program's name (syslog adds it) and without the newline.
void to_syslog(const char* line)
{
    const size_t prefix = sizeof kProgram - 1;
    if (std::strncmp(line, kProgram, prefix) == 0 && std::strncmp(line + prefix, ": ", 2) == 0)
        line += prefix + 2;
    size_t length = std::strlen(line);
    if (length > 0 && line[length - 1] == '\n')
        --length;
    syslog(LOG_WARNING, "%.*s", static_cast<int>(length), line);
}

// The figures of one dump and the Unix time at which it was complete;
// false (with a reason to the sink) when none came.
bool gather(const ModelProfile* profile, const ExportOptions& options, double* timestamp)
{
    if (profile == nullptr) {
        report("unable to find model");
        return false;
    }
    const ModelProfile& m = *profile;
    store_init(g_figures, m.cell_scale);
    Nanos completed{};
    g_exchange.quiet = true;  // one line says why, below
    const DumpWanted wanted{options.timeout, options.interval, options.max_age};
    if (obtain_dump(g_exchange, g_figures, m, wanted, &completed) != 0) {
        const char* why = last_note(g_exchange);
        report("no complete dump within %d s%s%s", static_cast<int>(options.timeout.count()),
               why[0] != '\0' ? ": " : "", why);
        return false;
    }
    *timestamp = std::chrono::duration<double>(completed).count();
    return true;
}

// The metrics into the body buffer; their length, or -1 when they do not fit.
long render_body(const ModelProfile* m, bool up, double timestamp)
{
    std::FILE* body = fmemopen(g_body, sizeof g_body, "w");
    if (body == nullptr)
        return -1;
    write_metrics(body, g_figures, m, up, timestamp);
    const long length = std::ferror(body) ? -1 : std::ftell(body);
    std::fclose(body);
    return length < static_cast<long>(sizeof g_body) ? length : -1;
}

int serve_http(const ModelProfile* m, const ExportOptions& options)
{
    // A peer that closed the connection makes the answer's write fail, and
    // that is reported below, rather than ending the program unsaid.
    std::signal(SIGPIPE, SIG_IGN);
    // With standard output closed, the next file opened (a lock, a dump file,
    // the syslog socket) would take its number and receive the answer.
    if (fcntl(1, F_GETFD) < 0) {
        report("standard output: %s", std::strerror(errno));
        return 1;
    }
    const long head = read_request_head(0, g_head, sizeof g_head, kRequestTimeout);
    if (head == 0)
        return 1;  // no complete request in time: no answer
    const Verdict verdict = head < 0 ? Verdict{} : judge_request(g_head, static_cast<size_t>(head));
    const char* content = g_body;
    long length = -1;  // a HEAD of the metrics: only making them would tell, and only a GET does
    if (verdict.resource == Resource::Metrics) {
        if (!verdict.head) {
            double timestamp = 0;
            const bool up = gather(m, options, &timestamp);
            length = render_body(m, up, timestamp);
            if (length < 0)
                return 1;
        }
    } else {
        content = answer_content(verdict);
        length = static_cast<long>(std::strlen(content));
    }
    char response[kMaxResponseHead];
    const size_t response_length = format_response_head(response, sizeof response, verdict, length);
    const size_t content_length = verdict.head ? 0 : static_cast<size_t>(length);
    if (const int error = write_answer(1, response, response_length, content, content_length)) {
        report("standard output: %s", std::strerror(error));
        return 1;
    }
    finish_connection(0, 1, g_head, sizeof g_head, kDrainBytes, kDrainTime);
    return 0;
}

struct Figures {
    const ModelProfile* m;
    bool up;
    double timestamp;
};

void write_figures(std::FILE* out, const void* context)
{
    const Figures& f = *static_cast<const Figures*>(context);
    write_metrics(out, g_figures, f.m, f.up, f.timestamp);
}

int write_textfile(const char* path, const ModelProfile* m, bool up, double timestamp)
{
    const Figures figures{m, up, timestamp};
    const int error = replace_file(path, write_figures, &figures);
    if (error != 0) {
        report("%s: %s", path, std::strerror(error));
        return 1;
    }
    return up ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv)
{
    // Answering a connection, standard error is the connection too: from the
    // start, what would be said goes to syslog, and nothing else to the peer.
    bool http = false;
    for (int i = 1; i < argc; ++i)
        http = http || std::strcmp(argv[i], "--http") == 0;
    if (http) {
        openlog(kProgram, LOG_PID, LOG_DAEMON);
        set_diagnostic_sink(to_syslog);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (null >= 0 && null != 2)
            dup2(null, 2), close(null);
    }
    ExportOptions options;
    const int parsed = parse_export_options(argc, argv, options);
    if (parsed < 0) {
        if (http)
            report("a command line it cannot use (see cellscope-export --help)");
        return 2;
    }
    if (parsed > 0)
        return 0;
    const ModelProfile* m = detect_model();
    if (options.http)
        return serve_http(m, options);
    double timestamp = 0;
    const bool up = gather(m, options, &timestamp);
    if (options.textfile != nullptr)
        return write_textfile(options.textfile, m, up, timestamp);
    write_metrics(stdout, g_figures, m, up, timestamp);
    if (std::fflush(stdout) != 0) {
        report("standard output: %s", std::strerror(errno));
        return 1;
    }
    return up ? 0 : 1;
}
