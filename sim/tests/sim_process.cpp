#include "sim_process.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace simtest {

namespace {

// Emulator command for cross builds, words separated by '|'; empty natively.
std::vector<std::string> emulator_words() {
    std::vector<std::string> words;
    std::string all = SWFABRIC_SIM_EMULATOR;
    size_t start = 0;
    while (start < all.size()) {
        size_t bar = all.find('|', start);
        if (bar == std::string::npos) bar = all.size();
        if (bar > start) words.push_back(all.substr(start, bar - start));
        start = bar + 1;
    }
    return words;
}

}  // namespace

ScratchDir::ScratchDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "swfabric-sim-test-XXXXXX").string();
    if (!::mkdtemp(tmpl.data())) {
        std::perror("mkdtemp");
        std::abort();
    }
    path_ = tmpl;
}

ScratchDir::~ScratchDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

pid_t spawn_sim(const std::vector<std::string>& args, const std::string& out_file,
                const std::string& err_file) {
    std::vector<std::string> words = emulator_words();
    words.push_back(SWFABRIC_SIM_PATH);
    words.insert(words.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& w : words) argv.push_back(w.data());
    argv.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid == 0) {
        const int out = ::open(out_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const int err = ::open(err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        if (out < 0 || err < 0) ::_exit(126);
        ::dup2(out, 1);
        ::dup2(err, 2);
        // Start with the default signal state whatever the test runner did.
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

int wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    int st = 0;
    for (;;) {
        const pid_t r = ::waitpid(pid, &st, WNOHANG);
        if (r == pid) break;
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, &st, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

RunResult run_sim(const std::vector<std::string>& args, const ScratchDir& dir) {
    static int serial = 0;
    const std::string out = dir / ("run" + std::to_string(++serial) + ".out");
    const std::string err = dir / ("run" + std::to_string(serial) + ".err");
    RunResult r;
    r.status = wait_exit(spawn_sim(args, out, err), std::chrono::seconds(60));
    r.out = slurp(out);
    r.err = slurp(err);
    return r;
}

std::string slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

bool exists(const std::string& path) {
    struct stat st;
    return ::stat(path.c_str(), &st) == 0;
}

void write_text(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

bool eventually_impl(bool (*fn)(void*), void* ctx, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (fn(ctx)) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return fn(ctx);
}

}  // namespace simtest
