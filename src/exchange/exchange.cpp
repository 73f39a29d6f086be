#include "exchange/exchange.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/numbers.h"

namespace cellscope {

namespace {

constexpr int kPidNote = 4;  // note slots 0 to 3 are the deleted paths

// Writes "cellscope: TEXT" on stderr unless the slot's last note was the same.
__attribute__((format(printf, 3, 4))) void note(ExchangeState& state, int slot, const char* format, ...)
{
    char text[kNoteSize];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (std::strcmp(text, state.notes[slot]) == 0)
        return;
    std::memcpy(state.notes[slot], text, sizeof text);
    std::fprintf(stderr, "cellscope: %s\n", text);
}

void clear_note(ExchangeState& state, int slot)
{
    state.notes[slot][0] = '\0';
}

FileId file_id(const char* path)
{
    struct stat st;
    if (lstat(path, &st) != 0)
        return FileId{};
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino),
            {static_cast<int64_t>(st.st_mtim.tv_sec), static_cast<int64_t>(st.st_mtim.tv_nsec)}, true};
}

bool same_file(const FileId& a, const FileId& b)
{
    return a.present == b.present && a.device == b.device && a.inode == b.inode && a.mtime.sec == b.mtime.sec &&
           a.mtime.nsec == b.mtime.nsec;
}

// The pid the pid file names, or 0 with *reason (nullptr for a pid file that
// cannot be opened, errno set).
int32_t read_pidfile(const char* pidfile, const char** reason)
{
    const int fd = open(pidfile, O_RDONLY | O_NONBLOCK | O_NOCTTY);
    if (fd < 0) {
        *reason = nullptr;
        return 0;
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
    int32_t pid = 0;
    if (length < 0)
        *reason = "not a readable regular file";
    else if (length == static_cast<long>(sizeof text))
        *reason = "not a process id";
    else if (parse_pid_text(text, length, &pid, reason) != 0)
        pid = 0;
    return pid;
}

// Whether process pid catches or blocks SIGUSR1, as its status in /proc
// shows: 1 yes, 0 no (the signal would end it), -1 no such process (errno).
int handles_dump_signal(const char* proc, int32_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/%d/status", proc, static_cast<int>(pid));
    std::FILE* status = std::fopen(path, "r");
    if (status == nullptr) {
        if (errno == ENOENT)
            errno = ESRCH;
        return -1;
    }
    char line[128];
    uint64_t handled = 0;
    while (std::fgets(line, sizeof line, status) != nullptr) {
        if (std::strncmp(line, "SigBlk:", 7) == 0 || std::strncmp(line, "SigCgt:", 7) == 0)
            handled |= strtou64(line + 7, nullptr, 16);
    }
    std::fclose(status);
    return static_cast<int>((handled >> (SIGUSR1 - 1)) & 1U);
}

void signal_daemon(ExchangeState& state, const DumpPaths& paths)
{
    const char* reason = nullptr;
    const int32_t pid = read_pidfile(paths.pidfile, &reason);
    state.pid_requested = pid;
    if (pid == 0) {
        if (reason == nullptr)
            note(state, kPidNote, "%s: cannot open: %s", paths.pidfile, std::strerror(errno));
        else
            note(state, kPidNote, "%s: %s", paths.pidfile, reason);
        return;
    }
    // A stale pid file may name the monitor itself, whom SIGUSR1 would end.
    if (pid == static_cast<int32_t>(getpid())) {
        note(state, kPidNote, "%s: refusing to signal the monitor itself", paths.pidfile);
        return;
    }
    const int handled = handles_dump_signal(paths.proc, pid);
    if (handled == 0) {
        note(state, kPidNote, "%s: refusing to signal process id %d: SIGUSR1 would end it", paths.pidfile,
             static_cast<int>(pid));
        return;
    }
    if (handled < 0 || kill(static_cast<pid_t>(pid), SIGUSR1) != 0) {
        note(state, kPidNote, "%s: cannot signal the daemon: %s", paths.pidfile, std::strerror(errno));
        return;
    }
    clear_note(state, kPidNote);
}

// Whether the pid file names another process, or was rewritten, since the
// last request.
bool daemon_restarted(const ExchangeState& state, const DumpPaths& paths)
{
    if (!same_file(file_id(paths.pidfile), state.pidfile_requested))
        return true;
    const char* reason = nullptr;
    return read_pidfile(paths.pidfile, &reason) != state.pid_requested;
}

// One dump file is open at a time; a whole dump file fits this buffer, so a
// file costs a couple of reads and the C library allocates no buffer of its own.
char g_dump_buffer[64 * 1024];

// Opens a dump file for reading only when it is a regular file: a FIFO or a
// device would block or never end, and a symbolic link in the shared /tmp is
// not the daemon's.
std::FILE* open_dump(const char* path)
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

}  // namespace

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

int request_snapshot(ExchangeState& state, const DumpPaths& paths)
{
    // The previous dump and marker go first, so the next marker is new.
    const char* const doomed[] = {paths.global, paths.port, paths.pg, paths.marker};
    for (int slot = 0; slot < 4; ++slot) {
        if (unlink(doomed[slot]) == 0 || errno == ENOENT)
            clear_note(state, slot);
        else
            note(state, slot, "cannot remove %s: %s", doomed[slot], std::strerror(errno));
    }
    // A marker still in place is the old dump's and announces nothing.
    state.stale_marker = file_id(paths.marker);
    // Whatever is present once the marker is back belongs to the new dump,
    // however its modification time reads.
    state.global_mtime = state.port_mtime = state.pg_mtime = kNeverSeen;
    state.passes_waiting = 0;
    state.pidfile_requested = file_id(paths.pidfile);
    signal_daemon(state, paths);
    return 0;
}

bool snapshot_complete(const ExchangeState& state, const DumpPaths& paths)
{
    struct stat st;
    if (lstat(paths.marker, &st) != 0 || !S_ISREG(st.st_mode))
        return false;
    return !state.stale_marker.present || !same_file(file_id(paths.marker), state.stale_marker);
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

int read_dump_file(const char* path, FileTime& last, void (*reset)(StatsStore&), const DumpFormat& format,
                   StatsStore& store)
{
    if (!file_changed(path, last))
        return 0;
    std::FILE* stream = open_dump(path);
    if (stream == nullptr)
        return -1;
    if (reset != nullptr)
        reset(store);
    parse_dump(stream, store, format);
    std::fclose(stream);
    return 0;
}

void read_dump_files(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                     const DumpPaths& paths)
{
    read_dump_file(paths.global, state.global_mtime, reset_switch_peaks, profile.parse_global, store);
    read_dump_file(paths.port, state.port_mtime, reset_port_and_group_peaks, profile.parse_port, store);
    read_dump_file(paths.pg, state.pg_mtime, nullptr, profile.parse_pg, store);
}

bool exchange_pass(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    if (snapshot_complete(state, paths)) {
        read_dump_files(state, store, profile, paths);
        request_snapshot(state, paths);
        return true;
    }
    if (++state.passes_waiting >= kPassesBeforeRetry && daemon_restarted(state, paths))
        request_snapshot(state, paths);
    return false;
}

}  // namespace cellscope
