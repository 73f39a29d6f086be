// The large-file interfaces, before any header: on the 32-bit module, plain
// readdir and stat fail (EOVERFLOW) on the 64-bit directory offsets and inode
// numbers of some file systems and kernels (a 64-bit kernel under qemu-ppc).
#define _FILE_OFFSET_BITS 64

#include "export/textfile.h"

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstring>
#include <ctime>
#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

namespace cellscope {

namespace {

// A temporary file of path's writers is named PATH.tmp-XXXXXX: the mark,
// then six letters or digits.
constexpr char kMark[] = ".tmp-";
constexpr size_t kMarkLength = sizeof kMark - 1;
constexpr size_t kRandomLength = 6;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
constexpr int kAttempts = 100;

bool is_alphanumeric(char c)
{
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9');
}

// Whether entry is the name of a temporary file of a writer of name.
bool is_temporary(const char* entry, const char* name)
{
    const size_t length = std::strlen(name);
    if (std::strncmp(entry, name, length) != 0 || std::strncmp(entry + length, kMark, kMarkLength) != 0)
        return false;
    const char* random = entry + length + kMarkLength;
    for (size_t i = 0; i < kRandomLength; ++i) {
        if (!is_alphanumeric(random[i]))
            return false;
    }
    return random[kRandomLength] == '\0';
}

// A new temporary name for name into temp (of NAME_MAX + 1 bytes; name fits).
void temporary_name(char* temp, const char* name)
{
    static uint64_t state = 0;
    if (state == 0) {
        struct timespec now;
        clock_gettime(CLOCK_REALTIME, &now);
        state = static_cast<uint64_t>(now.tv_nsec) ^ (static_cast<uint64_t>(now.tv_sec) << 30) ^
                (static_cast<uint64_t>(getpid()) << 44) ^ 1;
    }
    uint64_t z = (state += 0x9e3779b97f4a7c15ULL);  // splitmix64
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    z ^= z >> 31;
    const size_t length = std::strlen(name);
    std::memcpy(temp, name, length);
    std::memcpy(temp + length, kMark, kMarkLength);
    // Three letters from each half, in 32-bit arithmetic (62^3 < 2^32).
    constexpr uint32_t kLetters = sizeof kAlphabet - 1;
    uint32_t halves[2] = {static_cast<uint32_t>(z), static_cast<uint32_t>(z >> 32)};
    for (size_t i = 0; i < kRandomLength; ++i) {
        uint32_t& bits = halves[i % 2];
        temp[length + kMarkLength + i] = kAlphabet[bits % kLetters];
        bits /= kLetters;
    }
    temp[length + kMarkLength + kRandomLength] = '\0';
}

bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Whether entry in dir is still the file open as fd.
bool still_named(int dir, const char* entry, int fd)
{
    struct stat open_file, named;
    return fstat(fd, &open_file) == 0 && fstatat(dir, entry, &named, AT_SYMLINK_NOFOLLOW) == 0 &&
           same_file(open_file, named);
}

// Removes the temporary files of name in dir that are regular files no
// writer holds (a writer locks its file before it has a name, or before it
// counts it as its own); how many.
int sweep(int dir, const char* name)
{
    const int listing = openat(dir, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    DIR* folder = listing >= 0 ? fdopendir(listing) : nullptr;
    if (folder == nullptr) {
        if (listing >= 0)
            close(listing);
        return 0;
    }
    int removed = 0;
    while (const struct dirent* entry = readdir(folder)) {
        struct stat found;
        if (!is_temporary(entry->d_name, name) || fstatat(dir, entry->d_name, &found, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISREG(found.st_mode))
            continue;
        const int fd = openat(dir, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
        if (fd < 0)
            continue;
        // Locked here, the writer is gone; the name must still be that file.
        if (flock(fd, LOCK_EX | LOCK_NB) == 0 && still_named(dir, entry->d_name, fd) &&
            unlinkat(dir, entry->d_name, 0) == 0)
            ++removed;
        close(fd);
    }
    closedir(folder);
    return removed;
}

// A named temporary file of name in dir, locked and still named so: its
// descriptor (the name in temp), or -1 with errno.
int create_named(int dir, const char* name, char* temp)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        temporary_name(temp, name);
        const int fd = openat(dir, temp, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0644);
        if (fd < 0) {
            if (errno == EEXIST)
                continue;
            return -1;
        }
        // Until the lock is held, another writer's sweep may take the file
        // for a leftover and remove it: then another name.
        flock(fd, LOCK_EX);
        if (still_named(dir, temp, fd))
            return fd;
        close(fd);
    }
    errno = EEXIST;
    return -1;
}

// Links the unnamed file fd into dir under a new temporary name of name
// (into temp); 0 or an errno value.
int link_in(int fd, int dir, const char* name, char* temp)
{
    for (int attempt = 0; attempt < kAttempts; ++attempt) {
        temporary_name(temp, name);
        if (linkat(fd, "", dir, temp, AT_EMPTY_PATH) == 0)
            return 0;
        if (errno == ENOENT || errno == EPERM) {
            // Linking by descriptor needs CAP_DAC_READ_SEARCH; through /proc it does not.
            char self[64];
            std::snprintf(self, sizeof self, "/proc/self/fd/%d", fd);
            if (linkat(AT_FDCWD, self, dir, temp, AT_SYMLINK_FOLLOW) == 0)
                return 0;
        }
        if (errno != EEXIST)
            return errno;
    }
    return EEXIST;
}

// path's folder into folder (of PATH_MAX bytes) and where its name begins;
// false when the folder does not fit.
bool split(const char* path, char* folder, const char** name)
{
    const char* slash = std::strrchr(path, '/');
    if (slash == nullptr) {
        std::strcpy(folder, ".");
        *name = path;
        return true;
    }
    const size_t length = slash == path ? 1 : static_cast<size_t>(slash - path);
    if (length >= PATH_MAX)
        return false;
    std::memcpy(folder, path, length);
    folder[length] = '\0';
    *name = slash + 1;
    return true;
}

}  // namespace

int remove_leftovers(const char* path)
{
    char folder[PATH_MAX];
    const char* name = nullptr;
    if (!split(path, folder, &name) || name[0] == '\0')
        return 0;
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return 0;
    const int removed = sweep(dir, name);
    close(dir);
    return removed;
}

int replace_file(const char* path, TextWriter write, const void* context, bool unnamed)
{
    char folder[PATH_MAX];
    const char* name = nullptr;
    if (!split(path, folder, &name))
        return ENAMETOOLONG;
    if (name[0] == '\0')
        return EISDIR;
    if (std::strlen(name) + kMarkLength + kRandomLength > NAME_MAX)
        return ENAMETOOLONG;
    const int dir = open(folder, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        return errno;
    sweep(dir, name);

    char temp[NAME_MAX + 1];
    bool named = false;
    int fd = unnamed ? openat(dir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, 0644) : -1;
    if (fd >= 0) {
        flock(fd, LOCK_EX);  // nobody else can hold it yet
    } else if (unnamed && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) {
        const int error = errno;
        close(dir);
        return error;
    } else {
        // No unnamed files here (or not wanted): named from the start.
        fd = create_named(dir, name, temp);
        named = fd >= 0;
    }
    std::FILE* out = fd >= 0 ? fdopen(fd, "w") : nullptr;
    if (out == nullptr) {
        const int error = errno;
        if (fd >= 0)
            close(fd);
        if (named)
            unlinkat(dir, temp, 0);
        close(dir);
        return error;
    }
    fchmod(fd, 0644);  // whatever the umask
    write(out, context);
    int error = 0;
    if (std::fflush(out) != 0 || fsync(fd) != 0)
        error = errno;
    else if (std::ferror(out))
        error = EIO;
    if (error == 0 && !named) {
        error = link_in(fd, dir, name, temp);
        named = error == 0;
    }
    // The lock is held until the file has its final name.
    if (error == 0 && renameat(dir, temp, dir, name) != 0)
        error = errno;
    if (error != 0 && named)
        unlinkat(dir, temp, 0);
    if (std::fclose(out) != 0 && error == 0)
        error = errno;
    close(dir);
    return error;
}

}  // namespace cellscope
