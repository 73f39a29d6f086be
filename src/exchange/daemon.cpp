#include "exchange/daemon.h"

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "text/numbers.h"

namespace cellscope {

namespace {

// A /proc status file is about 1.5 KiB; the task folder lists a few threads.
char g_proc_text[4096];
alignas(8) char g_task_entries[4096];

// Reads a small file whole into g_proc_text (NUL-terminated); its length,
// or -1 with errno set.
long read_small(const char* path)
{
    const int fd = open(path, O_RDONLY | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    long length = 0;
    for (ssize_t n; length < static_cast<long>(sizeof g_proc_text) - 1 &&
                    (n = read(fd, g_proc_text + length, sizeof g_proc_text - 1 - static_cast<size_t>(length))) > 0;)
        length += n;
    close(fd);
    g_proc_text[length] = '\0';
    return length;
}

// Whether the status text's mask line (e.g. "SigCgt:") has SIGUSR1 set.
bool mask_has_usr1(const char* field)
{
    const char* line = std::strstr(g_proc_text, field);
    return line != nullptr && ((strtou64(line + std::strlen(field), nullptr, 16) >> (SIGUSR1 - 1)) & 1U) != 0;
}

// Whether every thread of pid blocks SIGUSR1 (each thread has a mask of its
// own, listed under /proc/PID/task). A process whose threads cannot be
// listed counts as not blocking it.
bool blocked_in_every_thread(const char* proc, int32_t pid)
{
    char path[96];
    std::snprintf(path, sizeof path, "%s/%d/task", proc, static_cast<int>(pid));
    const int dir = open(path, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return false;
    bool all = true;
    int threads = 0;
    for (ssize_t got; all && (got = getdents64(dir, g_task_entries, sizeof g_task_entries)) > 0;) {
        for (ssize_t at = 0; all && at < got;) {
            const auto* entry = reinterpret_cast<const struct dirent64*>(g_task_entries + at);
            at += entry->d_reclen;
            if (entry->d_name[0] < '0' || entry->d_name[0] > '9')
                continue;
            std::snprintf(path, sizeof path, "%s/%d/task/%.16s/status", proc, static_cast<int>(pid), entry->d_name);
            all = read_small(path) > 0 && mask_has_usr1("SigBlk:");
            ++threads;
        }
    }
    close(dir);
    return all && threads > 0;
}

}  // namespace

int parse_pid_text(const char* text, long length, int32_t* pid, const char** reason)
{
    if (length > 0 && text[length - 1] == '\n')
        --length;
    if (length == 0) {
        *reason = "empty";
        return -1;
    }
    long long value = 0;
    for (long i = 0; i < length; ++i) {
        if (text[i] < '0' || text[i] > '9') {
            *reason = "not a process id";
            return -1;
        }
        value = value * 10 + (text[i] - '0');
        if (value > INT_MAX) {
            *reason = "process id out of range";
            return -1;
        }
    }
    if (value <= 1) {
        *reason = "refusing to signal process id 0 or 1";
        return -1;
    }
    *pid = static_cast<int32_t>(value);
    return 0;
}

int32_t read_pidfile(const char* pidfile, const char** reason)
{
    const int fd = open(pidfile, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
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

int handles_dump_signal(const char* proc, int32_t pid)
{
    char path[64];
    std::snprintf(path, sizeof path, "%s/%d/status", proc, static_cast<int>(pid));
    if (read_small(path) < 0) {
        if (errno == ENOENT)
            errno = ESRCH;
        return -1;
    }
    return mask_has_usr1("SigCgt:") || blocked_in_every_thread(proc, pid) ? 1 : 0;
}

int32_t signal_daemon(const DumpPaths& paths, char* why, size_t size)
{
    const char* reason = nullptr;
    const int32_t pid = read_pidfile(paths.pidfile, &reason);
    if (pid == 0) {
        if (reason == nullptr)
            std::snprintf(why, size, "%s: cannot open: %s", paths.pidfile, std::strerror(errno));
        else
            std::snprintf(why, size, "%s: %s", paths.pidfile, reason);
        return 0;
    }
    // A stale pid file may name this process itself, whom SIGUSR1 would end.
    if (pid == static_cast<int32_t>(getpid())) {
        std::snprintf(why, size, "%s: refusing to signal the monitor itself", paths.pidfile);
        return 0;
    }
    const int handled = handles_dump_signal(paths.proc, pid);
    if (handled == 0) {
        std::snprintf(why, size, "%s: refusing to signal process id %d: SIGUSR1 would end it", paths.pidfile,
                      static_cast<int>(pid));
        return 0;
    }
    if (handled < 0 || kill(static_cast<pid_t>(pid), SIGUSR1) != 0) {
        std::snprintf(why, size, "%s: cannot signal the daemon: %s", paths.pidfile, std::strerror(errno));
        return 0;
    }
    return pid;
}

}  // namespace cellscope
