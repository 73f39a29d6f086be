// Running the swfabric-sim executable from tests: a scratch root directory,
// one-shot runs with captured output, and a daemon child to signal.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace simtest {

// A fresh directory under the system's temporary directory, removed with
// everything in it when the object goes away.
class ScratchDir {
public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
};

struct RunResult {
    int status = -1;  // exit status, or -1 when killed by a signal
    std::string out;
    std::string err;
};

// Starts the simulator with args; its output goes to files in dir.
pid_t spawn_sim(const std::vector<std::string>& args, const std::string& out_file,
                const std::string& err_file);
// Runs the simulator to its end.
RunResult run_sim(const std::vector<std::string>& args, const ScratchDir& dir);
// Waits for a child; -1 when it ended by a signal or did not end in time.
int wait_exit(pid_t pid, std::chrono::milliseconds limit);

std::string slurp(const std::string& path);  // "" when missing
bool exists(const std::string& path);
void write_text(const std::string& path, const std::string& text);

// Polls until pred() holds or the time (scaled for emulated runs) is up.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = std::chrono::milliseconds(20000));
bool eventually_impl(bool (*fn)(void*), void* ctx, std::chrono::milliseconds limit);

template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit) {
    return eventually_impl([](void* c) { return (*static_cast<Pred*>(c))(); }, &pred, limit);
}

}  // namespace simtest
