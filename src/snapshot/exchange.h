// The exchange with the switch daemon: asking for a dump, noticing that it
// is complete, and handing each changed dump file to the model's parser.
#pragma once

#include <cstdint>

#include "main/monitor_state.h"
#include "models/profile.h"
#include "store/store.h"

namespace cellscope {

struct DumpPaths {
    const char* global;  // switch-wide dump file
    const char* port;    // per-port dump file
    const char* pg;      // priority-group dump file
    const char* marker;  // completion marker
    const char* pidfile; // the daemon's process-id file
};

inline constexpr DumpPaths kDumpPaths{
    "/tmp/sw_global_info.1",
    "/tmp/port_info.1",
    "/tmp/pg_info.1",
    "/tmp/swfabric_se_dump_complete",
    "/var/run/swfabric_se_dump.pid",
};

// Removes the previous dump and marker and sends SIGUSR1 to the daemon named
// by the pid file. A pid file that does not hold a plain process id above 1
// sends nothing; either failure is reported in one line on stderr. Returns 0.
int request_snapshot(const DumpPaths& paths = kDumpPaths);

// Parses the text of a pid file: optional blanks, decimal digits, optional
// blanks, at most one trailing newline. 0 with the pid (above 1, within the
// pid type), or -1 with a short reason.
int parse_pid_text(const char* text, long length, int32_t* pid, const char** reason);

// True when the completion marker exists.
bool snapshot_complete(const DumpPaths& paths = kDumpPaths);

// True when path exists and its full modification time differs from last,
// which is then updated.
bool file_changed(const char* path, FileTime& last);

// Re-reads one dump file if it changed: resets what it refreshes (reset may
// be null), then hands it to parse. 0 when unchanged or parsed, -1 when it
// changed but cannot be opened (also when it is not a regular file).
int read_dump_file(const char* path, FileTime& last, void (*reset)(StatsStore&), ParseFn parse,
                   StatsStore& store);

int read_global_file(MonitorState& state, StatsStore& store, const ModelProfile& profile,
                     const DumpPaths& paths = kDumpPaths);
int read_port_file(MonitorState& state, StatsStore& store, const ModelProfile& profile,
                   const DumpPaths& paths = kDumpPaths);
int read_pg_file(MonitorState& state, StatsStore& store, const ModelProfile& profile,
                 const DumpPaths& paths = kDumpPaths);

}  // namespace cellscope
