#include "exchange/exchange.h"

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <unistd.h>

#include "exchange/daemon.h"
#include "text/diagnostics.h"

namespace cellscope {

namespace {

// Note slots 0 to 3 are the paths a request deletes.
constexpr int kPidNote = 4;
constexpr int kStateNote = 5;
constexpr int kSetNote = 6;
constexpr int kWaitNote = 7;
constexpr Nanos kPoll = std::chrono::milliseconds{20};

// Writes "cellscope: TEXT" to the diagnostic sink unless the slot's last
// note was the same.
__attribute__((format(printf, 3, 4))) void note(ExchangeState& x, int slot, const char* format, ...)
{
    char text[kNoteSize];
    std::va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    if (std::strcmp(text, x.notes[slot]) == 0)
        return;
    std::memcpy(x.notes[slot], text, sizeof text);
    if (!x.quiet) {
        char line[kNoteSize + 16];
        std::snprintf(line, sizeof line, "cellscope: %s\n", text);
        diagnose(line);
    }
}

void clear_note(ExchangeState& x, int slot)
{
    x.notes[slot][0] = '\0';
}

Nanos now_of(const ExchangeState& x)
{
    return x.clock != nullptr ? x.clock() : monotonic_now();
}

int32_t self(const ExchangeState& x)
{
    return x.id != 0 ? x.id : static_cast<int32_t>(getpid());
}

const char* doomed_path(const DumpPaths& paths, int k)
{
    return k < kDumpFiles ? dump_path(paths, k) : paths.marker;
}

// Takes the state for a moment: the shared one locked, or this process's
// own when it works alone. A monitor that cannot use the state file says so
// once and works alone from then on; anyone else reports why and gets
// nothing. Busy: another process has held the lock for over kLockWait.
Access begin(ExchangeState& x, const DumpPaths& paths, SharedState& s, Nanos now, bool say = true)
{
    Access access = Access::Locked;
    if (!x.alone) {
        const char* reason = "";
        access = lock_state(&x.state_fd, paths.state, s, now, &reason);
        if (access == Access::Unusable && say)
            note(x, kStateNote, "cannot share the daemon through %s: %s", paths.state, reason);
        else if (access == Access::Busy && say)
            note(x, kStateNote, "%s: held by another process for over %d s", paths.state,
                 static_cast<int>(std::chrono::duration_cast<std::chrono::seconds>(kLockWait).count()));
        if (access == Access::Unusable && x.monitor) {
            x.alone = true;
            x.own = fresh_state(now, self(x));
            access = Access::Locked;
        }
    }
    if (x.alone)
        s = x.own;
    if (access == Access::Locked && s.epoch != x.epoch) {
        x.epoch = s.epoch;  // a new state: nothing of it read yet
        x.read = 0;
    }
    return access;
}

void end(ExchangeState& x, const SharedState& s)
{
    if (x.alone)
        x.own = s;
    else
        store_state(x.state_fd, s);
}

// Signals the daemon for the outstanding request, noting the pid file as
// the signal finds it; a refusal is said once.
void signal_for(ExchangeState& x, SharedState& s, const DumpPaths& paths)
{
    char why[kNoteSize];
    s.pidfile = stamp_of(paths.pidfile);
    s.signalled = signal_daemon(paths, why, sizeof why);
    if (s.signalled == 0)
        note(x, kPidNote, "%s", why);
    else
        clear_note(x, kPidNote);
}

// A new request: the previous dump and marker go first (what cannot go is
// recorded as stale, so that nobody takes it for part of the new dump), then
// the daemon is signalled.
void request(ExchangeState& x, SharedState& s, const DumpPaths& paths, Nanos now)
{
    ++s.generation;
    s.phase = Phase::Requested;
    s.requester = self(x);
    s.requested = static_cast<int64_t>(now.count());
    s.requested_real = static_cast<int64_t>(realtime_now().count());
    s.marker = kNeverSeen;
    for (int k = 0; k < kStaleSlots; ++k) {
        const char* path = doomed_path(paths, k);
        s.stale[k] = kNeverSeen;
        if (unlink(path) == 0 || errno == ENOENT) {
            clear_note(x, k);
            continue;
        }
        note(x, k, "cannot remove %s: %s", path, std::strerror(errno));
        s.stale[k] = stamp_of(path);
    }
    signal_for(x, s, paths);
}

// Whether the daemon was restarted since the signal: its pid file names
// another process, or was rewritten.
bool daemon_restarted(const SharedState& s, const DumpPaths& paths)
{
    if (!same_file(stamp_of(paths.pidfile), s.pidfile))
        return true;
    const char* reason = nullptr;
    return read_pidfile(paths.pidfile, &reason) != s.signalled;
}

// What everyone does on taking the state: a marker that came completes the
// outstanding request; a daemon not signalled yet is tried again; one
// restarted since its signal is asked again once the retry is due. A
// monitor's pass counts towards that retry.
void look(ExchangeState& x, SharedState& s, const DumpPaths& paths, Nanos now, bool pass)
{
    if (s.phase != Phase::Requested)
        return;
    const FileStamp marker = regular_stamp(paths.marker);
    if (!same_file(marker, kNeverSeen) && !same_file(marker, s.stale[kStaleSlots - 1])) {
        note_completion(s, marker, now, realtime_now());
        return;
    }
    if (x.waited_for != s.generation) {
        x.waited_for = s.generation;
        x.passes_waiting = 0;
    }
    x.passes_waiting += pass;
    if (s.signalled == 0)
        signal_for(x, s, paths);
    else if (retry_due(s, now, x.passes_waiting) && daemon_restarted(s, paths))
        request(x, s, paths, now);
}

}  // namespace

const char* last_note(const ExchangeState& state)
{
    for (int slot = kNoteSlots - 1; slot >= 0; --slot) {
        if (state.notes[slot][0] != '\0')
            return state.notes[slot];
    }
    return "";
}

void join_exchange(ExchangeState& x, const DumpPaths& paths)
{
    x.monitor = true;
    const Nanos now = now_of(x);
    SharedState s;
    if (begin(x, paths, s, now) != Access::Locked)
        return;
    look(x, s, paths, now, false);
    monitor_slot(s, self(x), now);
    if (may_request(s, now, self(x), Nanos{0}))
        request(x, s, paths, now);
    end(x, s);
}

void leave_exchange(ExchangeState& x, const DumpPaths& paths)
{
    SharedState s;
    if (!x.alone && begin(x, paths, s, now_of(x), false) == Access::Locked) {
        drop_monitor(s, self(x));
        end(x, s);
    }
}

bool exchange_pass(ExchangeState& x, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    const Nanos now = now_of(x);
    SharedState s;
    if (begin(x, paths, s, now) != Access::Locked)
        return false;
    clear_note(x, kStateNote);
    look(x, s, paths, now, true);
    DumpSet set;
    const bool fresh = s.phase == Phase::Complete && x.read != s.generation;
    if (fresh) {
        open_dump_set(paths, s.stale, set);
        x.read = s.generation;
    }
    if (MonitorSlot* slot = monitor_slot(s, self(x), now)) {
        slot->seen = static_cast<int64_t>(now.count());
        slot->read = x.read;
    }
    if (may_request(s, now, self(x), Nanos{0}))
        request(x, s, paths, now);
    end(x, s);
    if (fresh)
        read_dump_set(set, store, profile);
    return fresh;
}

void read_present_dump(ExchangeState& x, StatsStore& store, const ModelProfile& profile, const DumpPaths& paths)
{
    // Opened while no request can delete any of them.
    SharedState s;
    const bool locked = !x.alone && begin(x, paths, s, now_of(x), false) == Access::Locked;
    DumpSet set;
    open_dump_set(paths, nullptr, set);
    if (locked)
        unlock_state(x.state_fd);
    read_dump_set(set, store, profile);
}

int obtain_dump(ExchangeState& x, StatsStore& store, const ModelProfile& profile, const DumpWanted& wanted,
                Nanos* completed, const DumpPaths& paths)
{
    const Nanos start = now_of(x);
    DumpSet fallback;  // an older whole dump, kept open while a fresh one is awaited
    uint32_t fallback_generation = 0;
    int64_t fallback_completed = 0, fallback_real = 0;
    bool waiting = false;
    for (Nanos now = start;; now = now_of(x)) {
        SharedState s;
        const Access access = begin(x, paths, s, now);
        if (access == Access::Unusable)
            break;
        if (access == Access::Locked) {
            look(x, s, paths, now, false);
            const auto since = [&](int64_t t) { return now - Nanos{t}; };
            if (s.phase == Phase::Complete && s.generation != fallback_generation) {
                DumpSet set;
                open_dump_set(paths, s.stale, set);
                const char* lacking = missing_file(set, paths);
                if (lacking != nullptr) {
                    note(x, kSetNote, "the dump lacked %s", lacking);
                    close_dump_set(set);
                } else if (Nanos{s.completed} >= start - wanted.interval ||
                           !may_request(s, now, self(x), Nanos{0})) {
                    // Fresh: complete within the interval, or still to be read
                    // by a running monitor, which asks for the next one then.
                    end(x, s);
                    close_dump_set(fallback);
                    read_dump_set(set, store, profile);
                    *completed = Nanos{s.completed_real};
                    return 0;
                } else if (since(s.completed) <= wanted.max_age) {
                    close_dump_set(fallback);
                    fallback = set;
                    fallback_generation = s.generation;
                    fallback_completed = s.completed;
                    fallback_real = s.completed_real;
                } else {
                    close_dump_set(set);
                }
            }
            if (may_request(s, now, self(x), wanted.interval))
                request(x, s, paths, now);
            // Why no dump came, when the daemon was asked and owes one.
            waiting = s.phase == Phase::Requested && s.signalled != 0;
            if (waiting)
                note(x, kWaitNote, "the daemon has not answered the request made %.1f s ago",
                     std::chrono::duration<double>(since(s.requested)).count());
            end(x, s);
        }
        if (now_of(x) - start >= wanted.timeout)
            break;
        pause_for(kPoll);
    }
    if (!waiting)
        clear_note(x, kWaitNote);
    if (fallback_generation != 0 && now_of(x) - Nanos{fallback_completed} <= wanted.max_age) {
        read_dump_set(fallback, store, profile);
        *completed = Nanos{fallback_real};
        return 0;
    }
    close_dump_set(fallback);
    return -1;
}

}  // namespace cellscope
