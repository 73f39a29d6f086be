// The exchange with the switch daemon: asking for a dump, noticing that it
// is complete, and handing each new dump file to the module's parser.
//
// The daemon writes the three dump files on SIGUSR1 and then creates the
// completion marker. A request deletes the previous files and marker first,
// so every file present once the marker is back belongs to the new dump.
//
// Several readers may share one daemon (monitors, exporters). Advisory locks
// in /var/run keep them from disturbing each other:
// - the requester's lock, held by the one process that asks for dumps: a
//   monitor for as long as it runs, an exporter only while it waits for the
//   dump it asked for. Everyone else reads the dumps the requester gets, so
//   the daemon is asked for one dump at a time and a monitor reads every
//   dump it asked for;
// - the monitors' lock, shared by every running monitor: while it is held,
//   an exporter never asks for a dump of its own, so a monitor that starts
//   beside busy exporters becomes the requester within a pass;
// - the readers' lock, shared by whoever reads a complete dump that another
//   process asked for, and taken alone, without waiting, to delete a dump.
//   No reader ever sees a dump deleted or replaced while it reads it.
// Where the lock files cannot be had (a read-only /var/run) a process asks
// for dumps itself, as a lone monitor always did.
#pragma once

#include <chrono>
#include <cstdint>

#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

struct DumpPaths {
    const char* global;        // switch-wide dump file
    const char* port;          // per-port dump file
    const char* pg;            // priority-group dump file
    const char* marker;        // completion marker
    const char* pidfile;       // the daemon's process-id file
    const char* proc;          // where /proc/PID/status of the daemon is read
    const char* request_lock;  // held by the one process that asks for dumps
    const char* read_lock;     // shared by readers, taken alone to delete
    const char* monitor_lock;  // shared by the running monitors
};

inline constexpr DumpPaths kDumpPaths{
    "/tmp/sw_global_info.1",
    "/tmp/port_info.1",
    "/tmp/pg_info.1",
    "/tmp/swfabric_se_dump_complete",
    "/var/run/swfabric_se_dump.pid",
    "/proc",
    "/var/run/cellscope.request.lock",
    "/var/run/cellscope.read.lock",
    "/var/run/cellscope.monitor.lock",
};

// Which file a path named and when it was last written.
struct FileStamp {
    uint64_t device;
    uint64_t inode;
    int64_t sec;
    int64_t nsec;
};

// No file has it (nanoseconds are never negative): whatever is there is new.
inline constexpr FileStamp kNeverSeen{0, 0, 0, -1};

// A request is repeated when no marker came for this many passes and the
// daemon has been restarted since.
inline constexpr int kPassesBeforeRetry = 10;

// Diagnostics that would repeat on every pass are written once, until their
// text changes: one slot for the pid file, one per path a request deletes.
inline constexpr int kNoteSlots = 5;
inline constexpr int kNoteSize = 160;

struct ExchangeState {
    FileStamp global_mtime = kNeverSeen;  // the dump files as last read
    FileStamp port_mtime = kNeverSeen;
    FileStamp pg_mtime = kNeverSeen;
    FileStamp stale_marker = kNeverSeen;       // a marker the last request could not delete
    FileStamp pidfile_requested = kNeverSeen;  // the pid file as the last request found it
    int32_t pid_requested = 0;                 // the process it named then (0: none)
    int passes_waiting = 0;                    // passes without a marker since the last request
    int request_lock = -1;                     // lock files, once opened (-1: not, or cannot be)
    int read_lock = -1;
    int monitor_lock = -1;
    bool locks_tried = false;
    bool monitor = false;    // this process is a monitor
    bool requester = false;  // this process asks for dumps
    bool quiet = false;      // notes are kept, not written
    char notes[kNoteSlots][kNoteSize]{};
};

// Marks this process as a monitor for as long as it runs: exporters then
// leave the asking to monitors.
void announce_monitor(ExchangeState& state, const DumpPaths& paths = kDumpPaths);

// The latest note kept about the exchange (a refusal, a failed deletion),
// or "" when there is none.
const char* last_note(const ExchangeState& state);

// Tries, without waiting, to become the process that asks for dumps; true
// when it is (also when there are no lock files to share). A process that
// is no monitor never becomes it while a monitor runs. A monitor keeps it
// until it ends; others give it back with release_requests.
bool claim_requests(ExchangeState& state, const DumpPaths& paths = kDumpPaths);
void release_requests(ExchangeState& state);

// Deletes the previous dump files and marker (a failure other than "does
// not exist" is reported), makes every file seen afterwards new, and sends
// SIGUSR1 to the daemon named by the pid file: only to a plain decimal pid
// above 1 that is not the monitor's own, whose /proc status shows SIGUSR1
// caught or blocked, so that a stale pid file can end nobody. Refusals and
// failures are reported in one line on stderr. 0, or -1 (nothing done) when
// another process is reading the dump for a moment: ask again later.
int request_snapshot(ExchangeState& state, const DumpPaths& paths = kDumpPaths);

// Parses the text of a pid file: optional blanks, decimal digits, optional
// blanks, at most one trailing newline. 0 with the pid (above 1, within the
// pid type), or -1 with a short reason.
int parse_pid_text(const char* text, long length, int32_t* pid, const char** reason);

// True when the completion marker is a regular file, other than one the
// last request failed to delete.
bool snapshot_complete(const ExchangeState& state, const DumpPaths& paths = kDumpPaths);

// True when path names another file than last or one written since, and
// then updates last.
bool file_changed(const char* path, FileStamp& last);

// Re-reads one dump file if it changed: resets what it refreshes (reset may
// be null), then parses it with format. A file that changed but cannot be
// opened (or is no regular file) is passed over until it changes again.
void read_dump_file(const char* path, FileStamp& last, void (*reset)(StatsStore&), const DumpFormat& format,
                    StatsStore& store);

// Reads the changed files of a dump in their fixed order: the switch-wide
// file, then the per-port file, whose reset also clears the priority-group
// peaks, then the priority-group file, which adds to them.
void read_dump_files(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                     const DumpPaths& paths = kDumpPaths);

// Reads whatever dump files are present, as a batch run does, while no
// other process may delete them.
void read_present_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                       const DumpPaths& paths = kDumpPaths);

// One pass of the exchange. The requester: with the marker present, reads
// the dump and requests the next (true); otherwise, once no marker has come
// for kPassesBeforeRetry passes and the pid file names another process or
// was rewritten since the last request, requests again. Any other process
// reads a complete dump it has not read yet (true), and becomes the
// requester once the lock is free.
bool exchange_pass(ExchangeState& state, StatsStore& store, const ModelProfile& profile,
                   const DumpPaths& paths = kDumpPaths);

// A complete dump read into the store within timeout, asked for only when
// no other process asks for dumps, and its marker's stamp (when the dump was
// complete). 0, or -1 when none came in time.
int obtain_dump(ExchangeState& state, StatsStore& store, const ModelProfile& profile, std::chrono::milliseconds timeout,
                FileStamp* completed, const DumpPaths& paths = kDumpPaths);

// The monotonic clock, and a pause on it.
std::chrono::nanoseconds monotonic_now();
void pause_for(std::chrono::nanoseconds span);

}  // namespace cellscope
