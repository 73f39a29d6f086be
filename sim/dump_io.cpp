#include "dump_io.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace swsim {

namespace {

std::string sys_error(const std::string& what, const std::string& path)
{
    return what + " " + path + ": " + std::strerror(errno);
}

void pause_ms(unsigned ms)
{
    timespec ts{static_cast<time_t>(ms / 1000), static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

bool is_dir(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

bool is_file(const std::string& path)
{
    struct stat st;
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

}  // namespace

bool write_file_atomic(const std::string& path, const std::string& content, std::string& err, unsigned delay_ms)
{
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
    const std::string base = slash == std::string::npos ? path : path.substr(slash + 1);
    const std::string tmp = dir + "." + base + ".tmp." + std::to_string(::getpid());

    std::FILE* f = std::fopen(tmp.c_str(), "w");
    if (!f) {
        err = sys_error("cannot create", tmp);
        return false;
    }
    const bool wrote = std::fwrite(content.data(), 1, content.size(), f) == content.size();
    const bool closed = std::fclose(f) == 0;
    if (!wrote || !closed) {
        err = sys_error("cannot write", tmp);
        ::unlink(tmp.c_str());
        return false;
    }
    if (delay_ms)
        pause_ms(delay_ms);
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        err = sys_error("cannot rename into", path);
        ::unlink(tmp.c_str());
        return false;
    }
    return true;
}

bool read_file(const std::string& path, std::string& out, std::string& err)
{
    std::FILE* f = std::fopen(path.c_str(), "r");
    if (!f) {
        err = sys_error("cannot open", path);
        return false;
    }
    out.clear();
    char buf[8192];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    const bool bad = std::ferror(f) != 0;
    std::fclose(f);
    if (bad) {
        err = "cannot read " + path;
        return false;
    }
    return true;
}

bool make_dirs(const std::string& path, std::string& err)
{
    if (path.empty())
        return true;
    size_t pos = 0;
    do {
        pos = path.find('/', pos + 1);
        const std::string part = path.substr(0, pos);
        if (part.empty() || is_dir(part))
            continue;
        if (::mkdir(part.c_str(), 0755) != 0 && errno != EEXIST) {
            err = sys_error("cannot create directory", part);
            return false;
        }
    } while (pos != std::string::npos);
    return true;
}

bool GeneratedSource::produce(Dump& out, std::string&)
{
    const Snapshot& s = traffic_.next();
    out.number = s.number;
    out.text = render_dump(s);
    out.truth = render_truth(s);
    return true;
}

bool ReplaySource::open(const std::string& dir, std::string& err)
{
    dir_ = dir;
    sets_.clear();
    DIR* d = ::opendir(dir.c_str());
    if (!d) {
        err = sys_error("cannot open replay directory", dir);
        return false;
    }
    for (;;) {
        errno = 0;
        dirent* e = ::readdir(d);
        if (!e)
            break;
        const std::string name = e->d_name;
        if (name.empty() || name[0] == '.')
            continue;
        if (is_dir(dir + "/" + name))
            sets_.push_back(name);
    }
    if (errno != 0) {
        err = sys_error("cannot read replay directory", dir);
        ::closedir(d);
        return false;
    }
    ::closedir(d);
    std::sort(sets_.begin(), sets_.end());
    if (sets_.empty()) {
        err = "replay directory " + dir + " holds no dump sets";
        return false;
    }
    for (const std::string& set : sets_)
        for (const char* file : {kGlobalName, kPortName, kPgName})
            if (!is_file(dir + "/" + set + "/" + file)) {
                err = "replay set " + dir + "/" + set + " lacks " + file;
                return false;
            }
    return true;
}

bool ReplaySource::produce(Dump& out, std::string& err)
{
    const size_t index = std::min(next_, sets_.size() - 1);
    const std::string set_dir = dir_ + "/" + sets_[index];
    if (!read_file(set_dir + "/" + kGlobalName, out.text.global, err) ||
        !read_file(set_dir + "/" + kPortName, out.text.port, err) ||
        !read_file(set_dir + "/" + kPgName, out.text.pg, err))
        return false;
    if (next_ >= sets_.size() && !told_last_) {
        std::fprintf(stderr, "swfabric-sim: replay: past the last set (%s), repeating it\n", sets_.back().c_str());
        told_last_ = true;
    }
    ++next_;
    out.number = ++number_;
    out.truth = "dump " + std::to_string(out.number) + "\nsource " + sets_[index] + "\nend " +
                std::to_string(out.number) + "\n";
    return true;
}

bool DumpSink::publish(const Dump& dump, std::string& err)
{
    if (::unlink(paths_.marker().c_str()) != 0 && errno != ENOENT) {
        err = sys_error("cannot remove", paths_.marker());
        return false;
    }
    if (!write_file_atomic(paths_.global(), dump.text.global, err, delay_ms_) ||
        !write_file_atomic(paths_.port(), dump.text.port, err, delay_ms_) ||
        !write_file_atomic(paths_.pg(), dump.text.pg, err, delay_ms_))
        return false;

    if (!record_dir_.empty()) {
        char name[32];
        std::snprintf(name, sizeof name, "/%06" PRIu64, dump.number);
        const std::string set = record_dir_ + name;
        if (!make_dirs(set, err) || !write_file_atomic(set + "/" + kGlobalName, dump.text.global, err) ||
            !write_file_atomic(set + "/" + kPortName, dump.text.port, err) ||
            !write_file_atomic(set + "/" + kPgName, dump.text.pg, err))
            return false;
    }

    if (!truth_path_.empty()) {
        std::FILE* f = std::fopen(truth_path_.c_str(), "a");
        if (!f) {
            err = sys_error("cannot open", truth_path_);
            return false;
        }
        const bool wrote = std::fwrite(dump.truth.data(), 1, dump.truth.size(), f) == dump.truth.size();
        if (std::fclose(f) != 0 || !wrote) {
            err = sys_error("cannot write", truth_path_);
            return false;
        }
    }

    const int fd = ::open(paths_.marker().c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0) {
        err = sys_error("cannot create", paths_.marker());
        return false;
    }
    ::close(fd);
    return true;
}

}  // namespace swsim
