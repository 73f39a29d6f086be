#include "monitor/loop.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/select.h>
#include <sys/stat.h>
#include <unistd.h>

#include "monitor/startup.h"
#include "views/terminal.h"
#include "views/views.h"

namespace cellscope {

namespace {

// Flushes and closes a stream written with views; on failure one line on
// stderr naming it and the reason. 0, or -1 when anything was lost.
int finish_output(std::FILE* stream, const char* name)
{
    int error = std::ferror(stream) ? (errno != 0 ? errno : EIO) : 0;
    if (std::fflush(stream) != 0 && error == 0)
        error = errno;
    if (std::fclose(stream) != 0 && error == 0)
        error = errno;
    if (error == 0)
        return 0;
    std::fprintf(stderr, "cellscope: %s: %s\n", name, std::strerror(error));
    return -1;
}

// Opens the report file for a `w` report. The monitor runs as root and /tmp
// is shared: never follow a symbolic link, never block on a FIFO, and write
// only into a regular file of our own (not a hard link to another file).
std::FILE* open_report(const char* path)
{
    const int fd = open(path, O_WRONLY | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY, 0644);
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

// All views into the report file; their frames still go to the screen. A
// file that cannot be opened is passed over silently.
void write_report(const ViewContext& on_screen, const char* path)
{
    std::FILE* file = open_report(path);
    if (file == nullptr)
        return;
    errno = 0;
    render_all_views(ViewContext{{file, on_screen.out.screen, false}, on_screen.store, on_screen.profile});
    finish_output(file, path);
}

// Whether end of file on the input means it is over: input that is not a
// terminal stays at its end, and so does a terminal that has hung up (it no
// longer answers as a terminal); on a live terminal it was one Ctrl-D, and
// the next wait blocks until a key.
bool input_over(int fd)
{
    return !isatty(fd);
}

}  // namespace

int run_batch(StatsStore& store, const ModelProfile& profile, std::FILE* out, const DumpPaths& paths)
{
    ExchangeState exchange;
    read_present_dump(exchange, store, profile, paths);
    errno = 0;
    render_all_views(ViewContext{{out, out, true}, store, profile});
    return finish_output(out, "standard output") == 0 ? 0 : 1;
}

int run_interactive(MonitorState& state, ExchangeState& exchange, StatsStore& store, const ModelProfile& profile,
                    const LoopIo& io)
{
    const ViewContext ctx{{io.screen, io.screen, false}, store, profile};
    join_exchange(exchange, *io.paths);
    clear_screen(io.screen);

    // Input that is over stops being watched, so the loop keeps its pace
    // instead of spinning on it.
    bool watch_input = true;
    for (;;) {
        exchange_pass(exchange, store, profile, *io.paths);
        render_view(ctx, state.current_view);

        fd_set readable;
        FD_ZERO(&readable);
        if (watch_input)
            FD_SET(io.input, &readable);
        struct timeval timeout = {io.wait_seconds, 0};
        const int ready = select(watch_input ? io.input + 1 : 0, &readable, nullptr, nullptr, &timeout);
        if (ready < 0) {
            if (errno == EINTR)
                continue;
            std::fprintf(stderr, "select failed with %s", std::strerror(errno));
            leave_exchange(exchange, *io.paths);
            return 1;
        }
        if (ready == 0)
            continue;

        char key;
        const ssize_t got = read(io.input, &key, 1);
        if (got <= 0) {
            if (got == 0 ? input_over(io.input) : (errno != EINTR && errno != EAGAIN))
                watch_input = false;
            continue;
        }
        switch (key) {
        case 'h':
            clear_screen(io.screen);
            print_help(io.screen);
            // The Enter after `h`, then the first character of the next line;
            // a Ctrl-D there must not stay behind as end of file.
            std::getc(io.input_stream);
            std::getc(io.input_stream);
            std::clearerr(io.input_stream);
            break;
        case 'n':
            ++state.current_view;
            clear_screen(io.screen);
            std::fputs(" Reloading please wait...", io.screen);
            if (state.current_view >= kViewCount)
                state.current_view = 0;
            break;
        case 'q':
            clear_screen(io.screen);
            leave_exchange(exchange, *io.paths);
            return 0;
        case 'w':
            write_report(ctx, io.report_path);
            break;
        default:
            break;
        }
    }
}

}  // namespace cellscope
