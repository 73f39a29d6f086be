#include "exchange/exchange.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/diagnostics.h"
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
    if (!state.quiet) {
        char line[kNoteSize + 16];
        std::snprintf(line, sizeof line, "cellscope: %s\n", text);
        diagnose(line);
    }
}

void clear_note(ExchangeState& state, int slot)
{
    state.notes[slot][0] = '\0';
}

FileStamp stamp_of(const struct stat& st)
{
    return {static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino), static_cast<int64_t>(st.st_mtim.tv_sec),
            static_cast<int64_t>(st.st_mtim.tv_nsec)};
}

// The stamp of the file path names itself (a link is not followed).
FileStamp stamp_of(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 ? stamp_of(st) : kNeverSeen;
}

bool same_file(const FileStamp& a, const FileStamp& b)
{
    return a.device == b.device && a.inode == b.inode && a.sec == b.sec && a.nsec == b.nsec;
}

// Opens a lock file, never as standard input, output or error, which may
// be closed when the program starts and must stay so.
int open_lock(const char* path)
{
    const int flags = O_NOFOLLOW | O_CLOEXEC | O_NOCTTY;
    int fd = open(path, O_RDWR | O_CREAT | flags, 0644);
    if (fd < 0)
        fd = open(path, O_RDONLY | flags);
    if (fd >= 0 && fd <= 2) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = moved;
    }
    return fd;
}

// Opens the three lock files once; root creates them, anyone may share them.
void open_locks(ExchangeState& state, const DumpPaths& paths)
{
    if (state.locks_tried)
        return;
    state.locks_tried = true;
    const int fds[3] = {open_lock(paths.request_lock), open_lock(paths.read_lock), open_lock(paths.monitor_lock)};
    if (fds[0] < 0 || fds[1] < 0 || fds[2] < 0) {
        for (const int fd : fds) {
            if (fd >= 0)
                close(fd);
        }
        return;
    }
    state.request_lock = fds[0];
    state.read_lock = fds[1];
    state.monitor_lock = fds[2];
}

// Takes a lock (shared or alone), retrying for a short while: the locks
// that others take alone are held only for moments. True without locks.
bool take_lock(int fd, int how)
{
    if (fd < 0)
        return true;
    for (int attempt = 0; attempt < 50; ++attempt) {
        if (flock(fd, how | LOCK_NB) == 0)
            return true;
        pause_for(std::chrono::milliseconds{2});
    }
    return false;
}

bool lock_reading(const ExchangeState& state, int how)
{
    return take_lock(state.read_lock, how);
}

// Whether some monitor runs: one holds the monitors' lock.
bool monitor_running(const ExchangeState& state)
{
    if (flock(state.monitor_lock, LOCK_EX | LOCK_NB) != 0)
        return true;
    flock(state.monitor_lock, LOCK_UN);
    return false;
}

void unlock_reading(const ExchangeState& state)
{
    if (state.read_lock >= 0)
        flock(state.read_lock, LOCK_UN);
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
    if (!same_file(stamp_of(paths.pidfile), state.pidfile_requested))
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

void announce_monitor(ExchangeState& state, const DumpPaths& paths)
{
    open_locks(state, paths);
    state.monitor = true;
    take_lock(state.monitor_lock, LOCK_SH);
}

const char* last_note(const ExchangeState& state)
{
    for (int slot = kNoteSlots - 1; slot >= 0; --slot) {
        if (state.notes[slot][0] != '\0')
            return state.notes[slot];
    }
    return "";
}

bool claim_requests(ExchangeState& state, const DumpPaths& paths)
{
    open_locks(state, paths);
    if (!state.requester)
        state.requester = state.request_lock < 0 || ((state.monitor || !monitor_running(state)) &&
                                                     flock(state.request_lock, LOCK_EX | LOCK_NB) == 0);
    return state.requester;
}

void release_requests(ExchangeState& state)
{
    if (state.requester && state.request_lock >= 0)
        flock(state.request_lock, LOCK_UN);
    state.requester = false;
}

int request_snapshot(ExchangeState& state, const DumpPaths& paths)
{
    // Never under a reader's feet.
    if (!lock_reading(state, LOCK_EX))
        return -1;
    // The previous dump and marker go first, so the next marker is new.
    const char* const doomed[] = {paths.global, paths.port, paths.pg, paths.marker};
    for (int slot = 0; slot < 4; ++slot) {
        if (unlink(doomed[slot]) == 0 || errno == ENOENT)
            clear_note(state, slot);
        else
            note(state, slot, "cannot remove %s: %s", doomed[slot], std::strerror(errno));
    }
    // A marker still in place is the old dump's and announces nothing.
    state.stale_marker = stamp_of(paths.marker);
    // Whatever is present once the marker is back belongs to the new dump,
    // however its modification time reads.
    state.global_mtime = state.port_mtime = state.pg_mtime = kNeverSeen;
    state.passes_waiting = 0;
    struct stat st;
    state.pidfile_requested = stat(paths.pidfile, &st) == 0 ? stamp_of(st) : kNeverSeen;
    signal_daemon(state, paths);
    unlock_reading(state);
    return 0;
}

bool snapshot_complete(const ExchangeState& state, const DumpPaths& paths)
{
    struct stat st;
    return lstat(paths.marker, &st) == 0 && S_ISREG(st.st_mode) && !same_file(stamp_of(st), state.stale_marker);
}

bool file_changed(const char* path, FileStamp& last)
{
    struct stat st;
    if (stat(path, &st) != 0)
        return false;
    const FileStamp now = stamp_of(st);
    if (same_file(now, last))
        return false;
    last = now;
    return true;
}

void read_dump_file(const char* path, FileStamp& last, void (*reset)(StatsStore&), const DumpFormat& format,
                    StatsStore& store)
{
    std::FILE* stream = file_changed(path, last) ? open_dump(path) : nullptr;
    if (stream == nullptr)
        return;
    if (reset != nullptr)
        reset(store);
    parse_dump(stream, store, format);
    std::fclose(stream);
}

void read_dump_files(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    read_dump_file(paths.global, state.global_mtime, reset_switch_peaks, profile.parse_global, store);
    read_dump_file(paths.port, state.port_mtime, reset_port_and_group_peaks, profile.parse_port, store);
    read_dump_file(paths.pg, state.pg_mtime, nullptr, profile.parse_pg, store);
}

namespace {

// Reads the dump if it is complete, and notes its marker's stamp in *marker:
// under the readers' lock unless this process is the requester, which alone
// deletes dumps. Whether it was complete.
bool read_complete_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths,
                        FileStamp* marker)
{
    const bool shared = !state.requester;
    if (!snapshot_complete(state, paths) || (shared && !lock_reading(state, LOCK_SH)))
        return false;
    // Still complete, now that nobody can delete it.
    const bool complete = !shared || snapshot_complete(state, paths);
    if (complete) {
        *marker = stamp_of(paths.marker);
        read_dump_files(state, store, profile, paths);
    }
    if (shared)
        unlock_reading(state);
    return complete;
}

// Reads a complete dump another process asked for, unless it is already
// read: the files are new when they are other files or written since.
bool read_shared_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    const FileStamp before[] = {state.global_mtime, state.port_mtime, state.pg_mtime};
    FileStamp marker{};
    return read_complete_dump(state, store, profile, paths, &marker) &&
           !(same_file(before[0], state.global_mtime) && same_file(before[1], state.port_mtime) &&
             same_file(before[2], state.pg_mtime));
}

}  // namespace

void read_present_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    open_locks(state, paths);
    const bool locked = lock_reading(state, LOCK_SH);
    read_dump_files(state, store, profile, paths);
    if (locked)
        unlock_reading(state);
}

bool exchange_pass(ExchangeState& state, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    if (!state.requester && !claim_requests(state, paths))
        return read_shared_dump(state, store, profile, paths);
    if (snapshot_complete(state, paths)) {
        read_dump_files(state, store, profile, paths);
        request_snapshot(state, paths);
        return true;
    }
    if (++state.passes_waiting >= kPassesBeforeRetry && daemon_restarted(state, paths))
        request_snapshot(state, paths);
    return false;
}

std::chrono::nanoseconds monotonic_now()
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return std::chrono::seconds{now.tv_sec} + std::chrono::nanoseconds{now.tv_nsec};
}

void pause_for(std::chrono::nanoseconds span)
{
    const auto whole = std::chrono::duration_cast<std::chrono::seconds>(span);
    const struct timespec pause = {static_cast<time_t>(whole.count()), static_cast<long>((span - whole).count())};
    nanosleep(&pause, nullptr);
}

int obtain_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile, std::chrono::milliseconds timeout,
                FileStamp* completed, const DumpPaths& paths)
{
    const auto deadline = monotonic_now() + timeout;
    bool asked = false;
    int result = -1;
    while (result != 0 && monotonic_now() < deadline) {
        // A dump of our own only when nobody else asks for them; a reader
        // of the last one may hold up the request for a moment.
        if (!asked && claim_requests(state, paths))
            asked = request_snapshot(state, paths) == 0;
        if ((asked || !state.requester) && read_complete_dump(state, store, profile, paths, completed))
            result = 0;
        else
            pause_for(std::chrono::milliseconds{20});
    }
    release_requests(state);
    return result;
}

}  // namespace cellscope
