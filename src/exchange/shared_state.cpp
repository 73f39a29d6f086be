#include "exchange/shared_state.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cellscope {

namespace {

// The state's text is about a kilobyte: as read, and as it is to be written.
char g_state_text[2048];
char g_new_text[2048];

int64_t ns(Nanos t)
{
    return static_cast<int64_t>(t.count());
}

int put_stamp(char* out, size_t size, const char* key, const FileStamp& s)
{
    return std::snprintf(out, size, "%s %llu %llu %lld %lld %lld %lld\n", key, static_cast<unsigned long long>(s.device),
                         static_cast<unsigned long long>(s.inode), static_cast<long long>(s.sec),
                         static_cast<long long>(s.nsec), static_cast<long long>(s.change_sec),
                         static_cast<long long>(s.change_nsec));
}

// Reads " KEY STAMP" at *at, where the caller matched KEY already.
bool get_stamp(const char*& at, FileStamp& s)
{
    unsigned long long device = 0, inode = 0;
    long long sec = 0, nsec = 0, change_sec = 0, change_nsec = 0;
    int used = -1;
    if (std::sscanf(at, " %llu %llu %lld %lld %lld %lld%n", &device, &inode, &sec, &nsec, &change_sec, &change_nsec,
                    &used) != 6 ||
        used < 0)
        return false;
    s = {device, inode, sec, nsec, change_sec, change_nsec};
    at += used;
    return true;
}

// Matches the literal word at *at (after blanks) and moves past it.
bool word(const char*& at, const char* expected)
{
    while (*at == ' ' || *at == '\n')
        ++at;
    const size_t length = std::strlen(expected);
    if (std::strncmp(at, expected, length) != 0)
        return false;
    at += length;
    return true;
}

bool same_inode(const FileStamp& a, const FileStamp& b)
{
    return a.device == b.device && a.inode == b.inode;
}

// Opens the state file above the standard descriptors, which may be closed
// when the program starts and must stay so.
int open_state(const char* path, const char** reason)
{
    int fd = open(path, O_RDWR | O_CREAT | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC, 0644);
    if (fd >= 0 && fd <= 2) {
        const int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        fd = moved;
    }
    struct stat st;
    if (fd >= 0 && (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode))) {
        close(fd);
        *reason = "not a regular file";
        return -1;
    }
    if (fd < 0)
        *reason = std::strerror(errno);
    return fd;
}

}  // namespace

SharedState fresh_state(Nanos now, int32_t self)
{
    SharedState state{};
    state.epoch = static_cast<uint64_t>(ns(realtime_now()) ^ ns(now)) ^ (static_cast<uint64_t>(self) << 40);
    state.epoch += state.epoch == 0;
    state.phase = Phase::None;
    state.pidfile = state.marker = kNeverSeen;
    for (FileStamp& s : state.stale)
        s = kNeverSeen;
    return state;
}

size_t format_state(const SharedState& s, char* out, size_t size)
{
    size_t used = 0;
    auto add = [&](int n) { used += n > 0 ? static_cast<size_t>(n) : 0; used = used < size ? used : size - 1; };
    add(std::snprintf(out, size, "cellscope exchange state 1\nepoch %llu\nrequest %u %d %d %lld %lld %d\n",
                      static_cast<unsigned long long>(s.epoch), static_cast<unsigned>(s.generation),
                      static_cast<int>(s.phase), static_cast<int>(s.requester), static_cast<long long>(s.requested),
                      static_cast<long long>(s.requested_real), static_cast<int>(s.signalled)));
    add(put_stamp(out + used, size - used, "pidfile", s.pidfile));
    add(std::snprintf(out + used, size - used, "complete %lld %lld\n", static_cast<long long>(s.completed),
                      static_cast<long long>(s.completed_real)));
    add(put_stamp(out + used, size - used, "marker", s.marker));
    for (const FileStamp& stale : s.stale)
        add(put_stamp(out + used, size - used, "stale", stale));
    for (const MonitorSlot& m : s.monitors) {
        if (m.pid != 0)
            add(std::snprintf(out + used, size - used, "monitor %d %lld %u\n", static_cast<int>(m.pid),
                              static_cast<long long>(m.seen), static_cast<unsigned>(m.read)));
    }
    return used;
}

bool parse_state(const char* text, SharedState& s)
{
    SharedState got{};
    unsigned long long epoch = 0;
    unsigned generation = 0;
    int phase = 0, requester = 0, signalled = 0, used = -1;
    long long requested = 0, requested_real = 0, completed = 0, completed_real = 0;
    const char* at = text;
    if (std::sscanf(at, "cellscope exchange state 1 epoch %llu request %u %d %d %lld %lld %d%n", &epoch, &generation,
                    &phase, &requester, &requested, &requested_real, &signalled, &used) != 7 ||
        used < 0 || phase < 0 || phase > 2)
        return false;
    at += used;
    used = -1;
    if (!word(at, "pidfile") || !get_stamp(at, got.pidfile) ||
        std::sscanf(at, " complete %lld %lld%n", &completed, &completed_real, &used) != 2 || used < 0)
        return false;
    at += used;
    if (!word(at, "marker") || !get_stamp(at, got.marker))
        return false;
    for (FileStamp& stale : got.stale) {
        if (!word(at, "stale") || !get_stamp(at, stale))
            return false;
    }
    for (MonitorSlot& m : got.monitors) {
        int pid = 0;
        long long seen = 0;
        unsigned read = 0;
        used = -1;
        if (!word(at, "monitor"))
            break;
        if (std::sscanf(at, " %d %lld %u%n", &pid, &seen, &read, &used) != 3 || used < 0 || pid <= 0)
            return false;
        m = {pid, seen, read};
        at += used;
    }
    while (*at == ' ' || *at == '\n')
        ++at;
    if (*at != '\0' || epoch == 0)
        return false;
    got.epoch = epoch;
    got.generation = generation;
    got.phase = static_cast<Phase>(phase);
    got.requester = requester;
    got.requested = requested;
    got.requested_real = requested_real;
    got.signalled = signalled;
    got.completed = completed;
    got.completed_real = completed_real;
    s = got;
    return true;
}

void note_completion(SharedState& state, const FileStamp& marker, Nanos now, Nanos now_real)
{
    int64_t real = marker.sec * 1000000000 + marker.nsec;
    real = real < state.requested_real ? state.requested_real : real;
    real = real > ns(now_real) ? ns(now_real) : real;
    const int64_t completed = ns(now) - (ns(now_real) - real);
    state.phase = Phase::Complete;
    state.marker = marker;
    state.completed_real = real;
    state.completed = completed < state.requested ? state.requested : completed;
}

MonitorSlot* monitor_slot(SharedState& state, int32_t pid, Nanos now)
{
    MonitorSlot* free_slot = nullptr;
    for (MonitorSlot& m : state.monitors) {
        if (m.pid == pid)
            return &m;
        if (free_slot == nullptr && (m.pid == 0 || ns(now) - m.seen >= ns(kMonitorGone)))
            free_slot = &m;
    }
    if (free_slot != nullptr)
        *free_slot = {pid, ns(now), 0};
    return free_slot;
}

void drop_monitor(SharedState& state, int32_t pid)
{
    for (MonitorSlot& m : state.monitors) {
        if (m.pid == pid)
            m = {};
    }
}

bool may_request(const SharedState& state, Nanos now, int32_t self, Nanos interval)
{
    if (state.phase == Phase::Requested)
        return false;
    if (interval.count() > 0 && state.generation > 0 && ns(now) - state.requested < ns(interval))
        return false;
    if (state.phase == Phase::Complete && ns(now) - state.completed < ns(kMonitorGrace)) {
        for (const MonitorSlot& m : state.monitors) {
            if (m.pid != 0 && m.pid != self && ns(now) - m.seen < ns(kMonitorGone) && m.read != state.generation)
                return false;
        }
    }
    return true;
}

bool retry_due(const SharedState& state, Nanos now, int passes_waited)
{
    return state.phase == Phase::Requested && state.signalled != 0 &&
           (ns(now) - state.requested >= ns(kRetryAge) || passes_waited >= kPassesBeforeRetry);
}

Access lock_state(int* fd, const char* path, SharedState& state, Nanos now, const char** reason)
{
    // A state file removed or replaced while it was open is left for the
    // one the path names now, so that every process shares one.
    for (int attempt = 0; attempt < 3; ++attempt) {
        if (*fd <= 0 && (*fd = open_state(path, reason)) < 0)
            return Access::Unusable;
        const Nanos deadline = monotonic_now() + kLockWait;
        while (flock(*fd, LOCK_EX | LOCK_NB) != 0) {
            if (monotonic_now() >= deadline)
                return Access::Busy;
            pause_for(std::chrono::milliseconds{1});
        }
        if (!same_inode(stamp_of_fd(*fd), stamp_of(path))) {
            close(*fd);
            *fd = -1;
            continue;
        }
        const ssize_t length = pread(*fd, g_state_text, sizeof g_state_text - 1, 0);
        g_state_text[length > 0 ? length : 0] = '\0';
        if (!parse_state(g_state_text, state))
            state = fresh_state(now, static_cast<int32_t>(getpid()));
        return Access::Locked;
    }
    return Access::Busy;
}

void store_state(int fd, const SharedState& state)
{
    const size_t length = format_state(state, g_new_text, sizeof g_new_text);
    if (std::strcmp(g_new_text, g_state_text) != 0 && pwrite(fd, g_new_text, length, 0) == static_cast<ssize_t>(length))
        static_cast<void>(ftruncate(fd, static_cast<off_t>(length)));
    unlock_state(fd);
}

void unlock_state(int fd)
{
    flock(fd, LOCK_UN);
}

}  // namespace cellscope
