#include "exchange/dump_set.h"

#include <cstdio>
#include <unistd.h>

namespace cellscope {

namespace {

// One dump file is parsed at a time; a whole dump file fits this buffer, so a
// file costs a couple of reads and the C library allocates no buffer of its own.
char g_dump_buffer[64 * 1024];

void parse_file(int fd, void (*reset)(StatsStore&), const DumpFormat& format, StatsStore& store)
{
    std::FILE* stream = fd >= 0 ? fdopen(fd, "r") : nullptr;
    if (stream == nullptr) {
        if (fd >= 0)
            close(fd);
        return;
    }
    setvbuf(stream, g_dump_buffer, _IOFBF, sizeof g_dump_buffer);
    if (reset != nullptr)
        reset(store);
    parse_dump(stream, store, format);
    std::fclose(stream);
}

}  // namespace

const char* dump_path(const DumpPaths& paths, int k)
{
    return k == 0 ? paths.global : k == 1 ? paths.port : paths.pg;
}

void open_dump_set(const DumpPaths& paths, const FileStamp* stale, DumpSet& set)
{
    for (int k = 0; k < kDumpFiles; ++k)
        set.fd[k] = open_regular(dump_path(paths, k), stale != nullptr ? stale[k] : kNeverSeen);
}

const char* missing_file(const DumpSet& set, const DumpPaths& paths)
{
    for (int k = 0; k < kDumpFiles; ++k) {
        if (set.fd[k] < 0)
            return dump_path(paths, k);
    }
    return nullptr;
}

void close_dump_set(DumpSet& set)
{
    for (int& fd : set.fd) {
        if (fd >= 0)
            close(fd);
        fd = -1;
    }
}

void read_dump_set(DumpSet& set, StatsStore& store, const ModelProfile& profile)
{
    parse_file(set.fd[0], reset_switch_peaks, profile.parse_global, store);
    parse_file(set.fd[1], reset_port_and_group_peaks, profile.parse_port, store);
    parse_file(set.fd[2], nullptr, profile.parse_pg, store);
    set = DumpSet{};
}

}  // namespace cellscope
