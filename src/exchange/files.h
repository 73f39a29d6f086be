// What the exchange knows of a file, the paths it uses, and its clocks.
#pragma once

#include <chrono>
#include <cstdint>

namespace cellscope {

struct DumpPaths {
    const char* global;   // switch-wide dump file
    const char* port;     // per-port dump file
    const char* pg;       // priority-group dump file
    const char* marker;   // completion marker
    const char* pidfile;  // the daemon's process-id file
    const char* proc;     // where /proc/PID/status of the daemon is read
    const char* state;    // the exchange's state, shared by every monitor and exporter
};

inline constexpr DumpPaths kDumpPaths{
    "/tmp/sw_global_info.1",
    "/tmp/port_info.1",
    "/tmp/pg_info.1",
    "/tmp/swfabric_se_dump_complete",
    "/var/run/swfabric_se_dump.pid",
    "/proc",
    "/var/run/cellscope.state",
};

// Which file a path named and when it was last written or changed: a file
// rewritten in place keeps its inode and may keep its modification time
// (0 on a module without a clock), but never its change time.
struct FileStamp {
    uint64_t device;
    uint64_t inode;
    int64_t sec;
    int64_t nsec;
    int64_t change_sec;
    int64_t change_nsec;
};

// No file has it (nanoseconds are never negative).
inline constexpr FileStamp kNeverSeen{0, 0, 0, -1, 0, -1};

bool same_file(const FileStamp& a, const FileStamp& b);

// The stamp of the file a path names itself (a link is not followed);
// kNeverSeen when there is none.
FileStamp stamp_of(const char* path);
FileStamp stamp_of_fd(int fd);
// The same for a regular file only; kNeverSeen for anything else.
FileStamp regular_stamp(const char* path);

// Opens path for reading only when it is a regular file (a FIFO or a device
// would block or never end, and a symbolic link in the shared /tmp is not the
// daemon's) other than the file stale names; -1 otherwise.
int open_regular(const char* path, const FileStamp& stale = kNeverSeen);

// The clocks: monotonic for every bound, real time for what is shown.
using Nanos = std::chrono::nanoseconds;
Nanos monotonic_now();
Nanos realtime_now();
void pause_for(Nanos span);
// Whole milliseconds from now until deadline, rounded up, 0 when it has
// passed (for poll). In floating point: 64-bit division on the 32-bit module
// would pull in the compiler's helpers, kilobytes of the program.
int milliseconds_until(Nanos deadline);

}  // namespace cellscope
