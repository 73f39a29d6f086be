// The exchange with the switch daemon: asking for a dump, noticing that it
// is complete, and handing each new dump file to the module's parser.
//
// The daemon writes the three dump files on SIGUSR1 and then creates the
// completion marker. A request deletes the previous files and marker first,
// so every file present once the marker is back belongs to the new dump.
#pragma once

#include <cstdint>

#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

struct DumpPaths {
    const char* global;   // switch-wide dump file
    const char* port;     // per-port dump file
    const char* pg;       // priority-group dump file
    const char* marker;   // completion marker
    const char* pidfile;  // the daemon's process-id file
    const char* proc;     // where /proc/PID/status of the daemon is read
};

inline constexpr DumpPaths kDumpPaths{
    "/tmp/sw_global_info.1",
    "/tmp/port_info.1",
    "/tmp/pg_info.1",
    "/tmp/swfabric_se_dump_complete",
    "/var/run/swfabric_se_dump.pid",
    "/proc",
};

// Full modification time of a dump file as last read.
struct FileTime {
    int64_t sec;
    int64_t nsec;
};

// No file time equals it (nanoseconds are never negative): a file is new.
inline constexpr FileTime kNeverSeen{0, -1};

// Which file a path named, and when it was last written.
struct FileId {
    uint64_t device;
    uint64_t inode;
    FileTime mtime;
    bool present;
};

// A request is repeated when no marker came for this many passes and the
// daemon has been restarted since.
inline constexpr int kPassesBeforeRetry = 10;

// Diagnostics that would repeat on every pass are written once, until their
// text changes: one slot for the pid file, one per path a request deletes.
inline constexpr int kNoteSlots = 5;
inline constexpr int kNoteSize = 160;

struct ExchangeState {
    FileTime global_mtime = kNeverSeen;
    FileTime port_mtime = kNeverSeen;
    FileTime pg_mtime = kNeverSeen;
    FileId stale_marker{};        // a marker the last request could not delete
    FileId pidfile_requested{};   // the pid file as the last request found it
    int32_t pid_requested = 0;    // the process it named then (0: none)
    int passes_waiting = 0;       // passes without a marker since the last request
    char notes[kNoteSlots][kNoteSize]{};
};

// Deletes the previous dump files and marker (a failure other than "does
// not exist" is reported), makes every file seen afterwards new, and sends
// SIGUSR1 to the daemon named by the pid file: only to a plain decimal pid
// above 1 that is not the monitor's own, whose /proc status shows SIGUSR1
// caught or blocked, so that a stale pid file can end nobody. Refusals and
// failures are reported in one line on stderr. Returns 0.
int request_snapshot(ExchangeState& state, const DumpPaths& paths = kDumpPaths);

// Parses the text of a pid file: optional blanks, decimal digits, optional
// blanks, at most one trailing newline. 0 with the pid (above 1, within the
// pid type), or -1 with a short reason.
int parse_pid_text(const char* text, long length, int32_t* pid, const char** reason);

// True when the completion marker is a regular file, other than one the
// last request failed to delete.
bool snapshot_complete(const ExchangeState& state, const DumpPaths& paths = kDumpPaths);

// True when path exists and its full modification time differs from last,
// which is then updated.
bool file_changed(const char* path, FileTime& last);

// Re-reads one dump file if it changed: resets what it refreshes (reset may
// be null), then parses it with format. 0 when unchanged or parsed, -1 when
// it changed but cannot be opened (also when it is not a regular file).
int read_dump_file(const char* path, FileTime& last, void (*reset)(StatsStore&), const DumpFormat& format,
                   StatsStore& store);

// Reads the changed files of a dump in their fixed order: the switch-wide
// file, then the per-port file, whose reset also clears the priority-group
// peaks, then the priority-group file, which adds to them.
void read_dump_files(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                     const DumpPaths& paths = kDumpPaths);

// One pass of the exchange: with the marker present, reads the dump and
// requests the next (true); otherwise, once no marker has come for
// kPassesBeforeRetry passes and the pid file names another process or was
// rewritten since the last request, requests again (false either way).
bool exchange_pass(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                   const DumpPaths& paths = kDumpPaths);

}  // namespace cellscope
