#include "exchange/files.h"

#include <ctime>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cellscope {

namespace {

FileStamp stamp_from(const struct stat& st)
{
    return {static_cast<uint64_t>(st.st_dev),         static_cast<uint64_t>(st.st_ino),
            static_cast<int64_t>(st.st_mtim.tv_sec),  static_cast<int64_t>(st.st_mtim.tv_nsec),
            static_cast<int64_t>(st.st_ctim.tv_sec),  static_cast<int64_t>(st.st_ctim.tv_nsec)};
}

Nanos clock_now(clockid_t clock)
{
    struct timespec now;
    clock_gettime(clock, &now);
    return std::chrono::seconds{now.tv_sec} + Nanos{now.tv_nsec};
}

}  // namespace

bool same_file(const FileStamp& a, const FileStamp& b)
{
    return a.device == b.device && a.inode == b.inode && a.sec == b.sec && a.nsec == b.nsec &&
           a.change_sec == b.change_sec && a.change_nsec == b.change_nsec;
}

FileStamp stamp_of(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 ? stamp_from(st) : kNeverSeen;
}

FileStamp regular_stamp(const char* path)
{
    struct stat st;
    return lstat(path, &st) == 0 && S_ISREG(st.st_mode) ? stamp_from(st) : kNeverSeen;
}

FileStamp stamp_of_fd(int fd)
{
    struct stat st;
    return fstat(fd, &st) == 0 ? stamp_from(st) : kNeverSeen;
}

int open_regular(const char* path, const FileStamp& stale)
{
    const int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || same_file(stamp_from(st), stale)) {
        close(fd);
        return -1;
    }
    return fd;
}

Nanos monotonic_now()
{
    return clock_now(CLOCK_MONOTONIC);
}

Nanos realtime_now()
{
    return clock_now(CLOCK_REALTIME);
}

void pause_for(Nanos span)
{
    const double seconds = std::chrono::duration<double>(span).count();
    const auto whole = static_cast<time_t>(seconds);
    const struct timespec pause = {whole, static_cast<long>((seconds - static_cast<double>(whole)) * 1e9)};
    nanosleep(&pause, nullptr);
}

int milliseconds_until(Nanos deadline)
{
    const double ms = std::chrono::duration<double, std::milli>(deadline - monotonic_now()).count();
    if (ms <= 0)
        return 0;
    const int whole = ms < 2e9 ? static_cast<int>(ms) : 2000000000;
    return whole + (static_cast<double>(whole) < ms);
}

}  // namespace cellscope
