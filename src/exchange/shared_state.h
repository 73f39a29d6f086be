// The state of the exchange that every monitor and exporter on the module
// shares: one small text file, read and written whole under flock, held for
// moments only (no reading of dumps or waiting under it). The rules that
// decide on it are functions of the record and the time, so that they can
// be checked without processes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "exchange/files.h"

namespace cellscope {

enum class Phase : int32_t {
    None = 0,       // no request yet
    Requested = 1,  // a request is outstanding: the daemon owes a dump
    Complete = 2,   // the marker of the latest request has come
};

inline constexpr int kMonitorSlots = 8;
inline constexpr int kStaleSlots = 4;  // the three dump files, then the marker

struct MonitorSlot {
    int32_t pid;    // 0: free
    int64_t seen;   // its latest pass (monotonic ns)
    uint32_t read;  // the generation it read last
};

struct SharedState {
    uint64_t epoch;          // a state file's life; a new one makes every dump new
    uint32_t generation;     // the latest request (0: none yet)
    Phase phase;
    int32_t requester;       // the process that made it
    int64_t requested;       // when (monotonic ns)
    int64_t requested_real;  // the same moment in real time (ns)
    int32_t signalled;       // the daemon's pid signalled for it; 0: not yet
    FileStamp pidfile;       // the pid file as that signal found it
    int64_t completed;       // when the dump was complete (monotonic ns)
    int64_t completed_real;  // the same moment in real time (ns)
    FileStamp marker;        // the completion marker of that dump
    FileStamp stale[kStaleSlots];  // what the request could not delete: never part of the dump
    MonitorSlot monitors[kMonitorSlots];
};

// The bounds of the protocol.
inline constexpr Nanos kLockWait = std::chrono::seconds{2};      // longest wait for the state's lock
inline constexpr Nanos kMonitorGrace = std::chrono::seconds{4};  // a complete dump waits for the monitors
inline constexpr Nanos kMonitorGone = std::chrono::seconds{10};  // a monitor without a pass for this long
inline constexpr Nanos kRetryAge = std::chrono::seconds{30};     // a restarted daemon's request is repeated
inline constexpr int kPassesBeforeRetry = 10;                    // ... or after this many passes of a monitor

// A fresh state (no request, no monitor) of a new epoch.
SharedState fresh_state(Nanos now, int32_t self);

// The text form, a line per item; parse_state refuses anything else.
size_t format_state(const SharedState& state, char* out, size_t size);
bool parse_state(const char* text, SharedState& state);

// Records that the marker of the outstanding request came (seen at now):
// the dump's moment is the marker's modification time, kept within the
// request and the sighting (a module without a clock writes time 0).
void note_completion(SharedState& state, const FileStamp& marker, Nanos now, Nanos now_real);

// The slot of monitor pid, taking a free or forgotten one when it has none;
// nullptr when all are in use.
MonitorSlot* monitor_slot(SharedState& state, int32_t pid, Nanos now);
void drop_monitor(SharedState& state, int32_t pid);

// Whether a new request may replace the latest dump now. Never while a
// request is outstanding; a complete dump first waits for every monitor
// (other than self) with a recent pass to read it, at most kMonitorGrace;
// an exporter (interval above zero) also leaves at least interval between
// requests, whoever made them.
bool may_request(const SharedState& state, Nanos now, int32_t self, Nanos interval);

// Whether an outstanding request that the daemon was signalled for has
// waited long enough to be repeated if the daemon was restarted since: it is
// kRetryAge old, or a monitor passed kPassesBeforeRetry times without its
// marker. A merely slow daemon is never asked twice.
bool retry_due(const SharedState& state, Nanos now, int passes_waited);

// How a process reached the state file.
enum class Access {
    Locked,    // locked and loaded: store_state (or unlock_state) next
    Unusable,  // it cannot be opened as a regular file of ours (errno set)
    Busy,      // another process held the lock for over kLockWait
};

// Opens the state file (once; again when it was removed or replaced since),
// locks it and loads it into state. A file that is empty or holds no state
// starts a fresh one. *fd keeps the open file between calls (0 or -1 at
// first: the file is never one of the standard streams).
// Unusable sets *reason.
Access lock_state(int* fd, const char* path, SharedState& state, Nanos now, const char** reason);
// Writes state back whole, then unlocks.
void store_state(int fd, const SharedState& state);
void unlock_state(int fd);

}  // namespace cellscope
