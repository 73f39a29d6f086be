// Monitor-wide state shared by the loop, the dump readers and the views.
#pragma once

#include <cstdint>
#include <cstdio>

namespace cellscope {

// Full modification time of a dump file as last seen changed.
struct FileTime {
    int64_t sec;
    int64_t nsec;
};

struct MonitorState {
    std::FILE* report;      // where view content goes: stdout or the report file
    int batch;              // non-zero in batch mode
    uint32_t current_view;  // 0 to 21
    FileTime global_mtime;  // switch-wide dump file
    FileTime port_mtime;    // per-port dump file
    FileTime pg_mtime;      // priority-group dump file
};

extern MonitorState g_state;

}  // namespace cellscope
