// Batch run and the interactive refresh loop with its key commands.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "main/startup.h"
#include "snapshot/exchange.h"
#include "views/views.h"

namespace cellscope {

static void read_dump(MonitorState& state, StatsStore& store, const ModelProfile& profile)
{
    read_global_file(state, store, profile);
    read_port_file(state, store, profile);
    read_pg_file(state, store, profile);
}

void run_batch(MonitorState& state, StatsStore& store, const ModelProfile& profile)
{
    state.batch = 1;
    read_dump(state, store, profile);
    render_all_views(ViewContext{state, store, profile});
    std::exit(0);
}

// Opens the report file for a `w` report. The monitor runs as root and /tmp
// is shared: never follow a symbolic link, never block on a FIFO, and write
// only into a regular file of our own (not a hard link to another file).
static std::FILE* open_report()
{
    const int fd = open(kReportPath, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink != 1 || ftruncate(fd, 0) != 0) {
        close(fd);
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, "w");
    if (stream == nullptr)
        close(fd);
    return stream;
}

static void write_report(MonitorState& state, const ViewContext& ctx)
{
    std::FILE* file = open_report();
    if (file == nullptr)
        return;  // ignored silently, as any unopenable report file
    state.report = file;
    render_all_views(ctx);
    state.report = stdout;
    std::fclose(file);
}

void run_interactive(MonitorState& state, StatsStore& store, const ModelProfile& profile)
{
    state.batch = 0;
    const ViewContext ctx{state, store, profile};
    request_snapshot();
    std::printf("\033[H");
    std::printf("\033[J");

    // Standard input stops being watched once it is at end of file or broken,
    // so the loop keeps its pace instead of spinning.
    bool watch_input = true;
    for (;;) {
        if (snapshot_complete()) {
            read_dump(state, store, profile);
            request_snapshot();
        }
        render_view(ctx, state.current_view);

        fd_set readable;
        FD_ZERO(&readable);
        if (watch_input)
            FD_SET(0, &readable);
        struct timeval timeout = {3, 0};
        const int ready = select(watch_input ? 1 : 0, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "select failed with %s", std::strerror(errno));
            std::exit(1);
        }
        if (ready == 0)
            continue;

        char key;
        const ssize_t got = read(0, &key, 1);
        if (got <= 0) {
            if (got == 0 || (errno != EINTR && errno != EAGAIN))
                watch_input = false;
            continue;
        }
        switch (key) {
        case 'h':
            std::printf("\033[H\033[J");
            print_help();
            // The Enter after `h`, then the first character of the next line.
            std::getc(stdin);
            std::getc(stdin);
            break;
        case 'n':
            ++state.current_view;
            std::printf("\033[H\033[J Reloading please wait...");
            if (state.current_view >= kViewCount)
                state.current_view = 0;
            break;
        case 'q':
            std::printf("\033[H\033[J");
            std::exit(0);
        case 'w':
            write_report(state, ctx);
            break;
        default:
            break;
        }
    }
}

}  // namespace cellscope
