#include "snapshot/exchange.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cellscope {

static void report_pidfile(const char* pidfile, const char* reason, const char* detail)
{
    if (detail != nullptr)
        std::fprintf(stderr, "cellscope: %s: %s: %s\n", pidfile, reason, detail);
    else
        std::fprintf(stderr, "cellscope: %s: %s\n", pidfile, reason);
}

int parse_pid_text(const char* text, long length, int32_t* pid, const char** reason)
{
    long i = 0;
    auto blank = [&](long at) { return at < length && (text[at] == ' ' || text[at] == '\t'); };
    while (blank(i))
        ++i;
    if (i == length || (i == length - 1 && text[i] == '\n')) {
        *reason = "empty";
        return -1;
    }
    long long value = 0;
    const long first_digit = i;
    while (i < length && text[i] >= '0' && text[i] <= '9') {
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) {
            *reason = "process id out of range";
            return -1;
        }
        ++i;
    }
    if (i == first_digit) {
        *reason = "not a process id";
        return -1;
    }
    while (blank(i))
        ++i;
    if (i < length && text[i] == '\n')
        ++i;
    if (i != length) {
        *reason = "not a process id";
        return -1;
    }
    if (value <= 1) {
        *reason = "refusing to signal process id 0 or 1";
        return -1;
    }
    *pid = static_cast<int32_t>(value);
    return 0;
}

static void signal_daemon(const char* pidfile)
{
    const int fd = open(pidfile, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        report_pidfile(pidfile, "cannot open", std::strerror(errno));
        return;
    }
    struct stat st;
    char text[32];
    long length = -1;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) {
        length = 0;
        ssize_t n;
        // One byte more than a valid pid file needs, to notice longer ones.
        while (length < static_cast<long>(sizeof text) &&
               (n = read(fd, text + length, sizeof text - static_cast<size_t>(length))) != 0) {
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                length = -1;
                break;
            }
            length += n;
        }
    }
    close(fd);
    if (length < 0) {
        report_pidfile(pidfile, "not a readable regular file", nullptr);
        return;
    }
    int32_t pid = 0;
    const char* reason = nullptr;
    if (length == static_cast<long>(sizeof text)) {
        report_pidfile(pidfile, "not a process id", nullptr);
        return;
    }
    if (parse_pid_text(text, length, &pid, &reason) != 0) {
        report_pidfile(pidfile, reason, nullptr);
        return;
    }
    // A stale pid file may name the monitor itself, whom SIGUSR1 would end.
    if (pid == static_cast<int32_t>(getpid())) {
        report_pidfile(pidfile, "refusing to signal the monitor itself", nullptr);
        return;
    }
    if (kill(static_cast<pid_t>(pid), SIGUSR1) != 0)
        report_pidfile(pidfile, "cannot signal the daemon", std::strerror(errno));
}

int request_snapshot(const DumpPaths& paths)
{
    // The previous dump and marker go first, so the next marker is new.
    for (const char* path : {paths.global, paths.port, paths.pg, paths.marker})
        unlink(path);
    signal_daemon(paths.pidfile);
    return 0;
}

bool snapshot_complete(const DumpPaths& paths)
{
    struct stat st;
    return stat(paths.marker, &st) == 0;
}

bool file_changed(const char* path, FileTime& last)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    const FileTime now{static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)};
    if (now.sec == last.sec && now.nsec == last.nsec)
        return false;
    last = now;
    return true;
}

// One dump file is open at a time; a whole dump file fits this buffer, so a
// file costs a couple of reads and the C library allocates no buffer of its own.
static char g_dump_buffer[64 * 1024];

// Opens a dump file for reading only when it is a regular file: a FIFO or a
// device would block or never end, and a symbolic link in the shared /tmp is
// not the daemon's.
static std::FILE* open_dump(const char* path)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY);
    if (fd < 0)
        return nullptr;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return nullptr;
    }
    std::FILE* stream = fdopen(fd, "r");
    if (stream == nullptr) {
        close(fd);
        return nullptr;
    }
    setvbuf(stream, g_dump_buffer, _IOFBF, sizeof g_dump_buffer);
    return stream;
}

int read_dump_file(const char* path, FileTime& last, void (*reset)(StatsStore&), ParseFn parse,
                   StatsStore& store)
{
    if (!file_changed(path, last))
        return 0;
    std::FILE* stream = open_dump(path);
    if (stream == nullptr)
        return -1;
    std::rewind(stream);
    if (reset != nullptr)
        reset(store);
    parse(stream, store);
    std::fclose(stream);
    return 0;
}

int read_global_file(MonitorState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    return read_dump_file(paths.global, state.global_mtime, store_reset_global, profile.parse_global, store);
}

int read_port_file(MonitorState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    return read_dump_file(paths.port, state.port_mtime, store_reset_ports, profile.parse_port, store);
}

int read_pg_file(MonitorState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    // The per-port file, read just before, has already reset the group peaks.
    return read_dump_file(paths.pg, state.pg_mtime, nullptr, profile.parse_pg, store);
}

}  // namespace cellscope
