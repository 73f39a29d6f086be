// The simulator as a process: files on disk, the marker, the pid file,
// signals, replay, and the command line.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "dump_check.h"

namespace {

using namespace std::chrono_literals;
namespace fs = std::filesystem;

// A fresh directory, removed with everything in it at the end.
struct ScratchDir {
    std::string path = [] {
        std::string p = (fs::temp_directory_path() / "swfabric-sim-test-XXXXXX").string();
        EXPECT_NE(::mkdtemp(p.data()), nullptr);
        return p;
    }();
    ~ScratchDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string operator/(const std::string& rel) const { return path + "/" + rel; }
};

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

// Polls until pred() holds or the time is up.
template <class Pred>
bool eventually(Pred pred, std::chrono::milliseconds limit = 20000ms) {
    for (const auto deadline = std::chrono::steady_clock::now() + limit; std::chrono::steady_clock::now() < deadline;) {
        if (pred()) return true;
        std::this_thread::sleep_for(2ms);
    }
    return pred();
}

// Starts the simulator (through the cross build's emulator, if any) with its
// output going to files.
pid_t spawn_sim(const std::vector<std::string>& args, const std::string& out_file, const std::string& err_file) {
    std::vector<std::string> words;
    std::istringstream emulator(std::string(SWFABRIC_SIM_EMULATOR));
    for (std::string w; std::getline(emulator, w, '|');)
        if (!w.empty()) words.push_back(w);
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
        sigset_t none;  // the default signal state, whatever the test runner did
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execvp(argv[0], argv.data());
        ::_exit(127);
    }
    return pid;
}

// Exit status of a child; -1 when it ended by a signal or did not end in time.
int wait_exit(pid_t pid, std::chrono::milliseconds limit) {
    int st = 0;
    pid_t r = 0;
    if (!eventually([&] { return (r = ::waitpid(pid, &st, WNOHANG)) != 0; }, limit)) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, &st, 0);
        return -1;
    }
    return r == pid && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
}

struct RunResult {
    int status;  // -1 when killed
    std::string out, err;
};

// Runs the simulator to its end.
RunResult run_sim(const std::vector<std::string>& args, const ScratchDir& dir) {
    static int serial = 0;
    const std::string out = dir / ("run" + std::to_string(++serial) + ".out"), err = out + ".err";
    const int status = wait_exit(spawn_sim(args, out, err), 60s);
    return {status, slurp(out), slurp(err)};
}

struct Files {
    std::string global, port, pg;
    bool operator==(const Files&) const = default;
};

Files files_in(const std::string& dir) {
    return {slurp(dir + "/sw_global_info.1"), slurp(dir + "/port_info.1"), slurp(dir + "/pg_info.1")};
}

std::vector<simcheck::TruthRecord> truth_in(const std::string& path) {
    std::string err;
    auto recs = simcheck::parse_truth(slurp(path), err);
    EXPECT_EQ(err, "") << path;
    return recs;
}

// "" when the dump files in dir carry exactly the truth record.
std::string check_dump(int model, const std::string& dir, const simcheck::TruthRecord& truth) {
    const Files f = files_in(dir);
    return simcheck::compare(simcheck::read_dump(model, f.global, f.port, f.pg), truth);
}

// A running daemon, stopped with SIGTERM at the end of the test if still up.
class Daemon {
public:
    Daemon(const ScratchDir& dir, std::vector<std::string> args) : dir_(dir) {
        args.insert(args.end(), {"--root", dir.path});
        pid_ = spawn_sim(args, dir / "daemon.out", dir / "daemon.err");
        up_ = eventually([&] { return slurp(pid_file()) == std::to_string(pid_) + "\n"; });
    }
    ~Daemon() {
        if (pid_ > 0) stop(SIGTERM);
    }
    bool up() const { return up_; }
    std::string pid_file() const { return dir_ / "var/run/swfabric_se_dump.pid"; }
    std::string tmp() const { return dir_ / "tmp"; }
    std::string marker() const { return tmp() + "/swfabric_se_dump_complete"; }

    // What the monitor does: drop the marker, signal, wait for the marker.
    bool request_and_wait() {
        ::unlink(marker().c_str());
        ::kill(pid_, SIGUSR1);
        return eventually([&] { return exists(marker()); });
    }
    int stop(int sig) {
        ::kill(pid_, sig);
        const int status = wait_exit(pid_, 30s);
        pid_ = -1;
        return status;
    }
    std::string err() const { return slurp(dir_ / "daemon.err"); }

private:
    const ScratchDir& dir_;
    pid_t pid_ = -1;
    bool up_ = false;
};

TEST(SimProcess, OnceWritesEveryModelsDumpMarkerAndTruthButNoPidFile) {
    for (int model : {42, 24, 30}) {
        SCOPED_TRACE(model);
        ScratchDir dir;
        const auto r = run_sim({"--model", std::to_string(model), "--scenario", "incast", "--once", "--count", "3",
                                "--root", dir.path, "--truth", dir / "truth"},
                               dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(exists(dir / "tmp/swfabric_se_dump_complete"));
        EXPECT_FALSE(exists(dir / "var/run/swfabric_se_dump.pid"));
        const auto recs = truth_in(dir / "truth");
        ASSERT_EQ(recs.size(), 3u);
        EXPECT_EQ(recs[2].number, 3u);
        EXPECT_EQ(check_dump(model, dir / "tmp", recs[2]), "");
        for (const auto& e : fs::directory_iterator(dir / "tmp"))  // no temporary file left behind
            EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
}

TEST(SimProcess, DaemonDumpsOnSignalAndRemovesItsPidFileOnTermOrInt) {
    for (int sig : {SIGTERM, SIGINT}) {
        ScratchDir dir;
        Daemon d(dir, {"--model", "24", "--scenario", "steady", "--truth", dir / "truth"});
        ASSERT_TRUE(d.up()) << d.err();
        EXPECT_FALSE(exists(d.marker()));  // nothing before a request
        for (uint64_t n = 1; n <= 3; ++n) {
            ASSERT_TRUE(d.request_and_wait()) << d.err();
            const auto recs = truth_in(dir / "truth");
            ASSERT_EQ(recs.size(), n);
            EXPECT_EQ(check_dump(24, d.tmp(), recs.back()), "");
        }
        EXPECT_EQ(d.stop(sig), 0);
        EXPECT_FALSE(exists(d.pid_file()));
        EXPECT_EQ(d.err(), "");
    }
}

// A reader racing the writer over many dumps only ever sees whole files:
// each begins with a dump's header and ends with that dump's last line.
TEST(SimProcess, ReadersNeverSeeAHalfWrittenFile) {
    ScratchDir dir;
    Daemon d(dir, {"--model", "30", "--scenario", "incast"});
    ASSERT_TRUE(d.up()) << d.err();
    const char* const names[] = {"sw_global_info.1", "port_info.1", "pg_info.1"};
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::vector<std::string> bad;
    std::thread reader([&] {
        while (!done) {
            for (const char* name : names) {
                const std::string text = slurp(d.tmp() + "/" + name);
                if (text.empty()) continue;  // between the removal and the rename
                ++reads;
                const auto lines = simcheck::split_lines(text);
                const std::string head = "# swfabric shared buffer dump ";
                const std::string number = lines.front().rfind(head, 0) == 0
                                               ? lines.front().substr(head.size(), lines.front().find(',') - head.size())
                                               : "?";
                if ((text.back() != '\n' || lines.back() != "# end of dump " + number) && bad.size() < 5)
                    bad.push_back(std::string(name) + ": " + lines.back());
            }
        }
    });
    for (int i = 0; i < 150; ++i) {
        // Half the time the old files stay, so the rename replaces a file being read.
        if (i % 2 == 0)
            for (const char* name : names) ::unlink((d.tmp() + "/" + name).c_str());
        if (!d.request_and_wait()) break;
    }
    done = true;
    reader.join();
    EXPECT_TRUE(bad.empty()) << bad.front();
    EXPECT_GE(reads.load(), 100);
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

TEST(SimProcess, ReplayReproducesARecordedSequenceByteForByte) {
    ScratchDir dir;
    const auto rec = run_sim({"--model", "42", "--scenario", "incast", "--seed", "3", "--once", "--count", "4",
                              "--root", dir / "rec-root", "--record", dir / "sets"},
                             dir);
    ASSERT_EQ(rec.status, 0) << rec.err;
    std::vector<std::string> sets;
    for (const auto& e : fs::directory_iterator(dir / "sets")) sets.push_back(e.path().string());
    std::sort(sets.begin(), sets.end());
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_TRUE(files_in(sets.back()) == files_in(dir / "rec-root/tmp"));

    Daemon d(dir, {"--model", "42", "--scenario", "replay", "--replay-dir", dir / "sets", "--truth", dir / "truth"});
    ASSERT_TRUE(d.up()) << d.err();
    for (const std::string& set : sets) {
        ASSERT_TRUE(d.request_and_wait());
        EXPECT_TRUE(files_in(d.tmp()) == files_in(set)) << set;
    }
    EXPECT_EQ(d.err(), "");
    // Past the end the last set repeats, with a note.
    ASSERT_TRUE(d.request_and_wait());
    EXPECT_TRUE(files_in(d.tmp()) == files_in(sets.back()));
    EXPECT_NE(d.err().find("repeating"), std::string::npos);
    EXPECT_EQ(d.stop(SIGTERM), 0);
    const auto recs = truth_in(dir / "truth");
    ASSERT_EQ(recs.size(), 5u);
    EXPECT_EQ(recs[0].source, "000001");
    EXPECT_EQ(recs[4].source, "000004");
}

TEST(SimProcess, BadArgumentsExitWithStatus2AndAMessage) {
    ScratchDir dir;
    fs::create_directories(dir / "empty");
    fs::create_directories(dir / "partial/set1");
    std::ofstream(dir / "partial/set1/sw_global_info.1") << "x\n";
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
        {{}, "--model is required"},
        {{"--model", "43"}, "unknown model '43'"},
        {{"--model"}, "--model needs a value"},
        {{"--model", "42", "--scenario", "storm"}, "unknown scenario 'storm'"},
        {{"--model", "42", "--scenario", "replay"}, "needs --replay-dir"},
        {{"--model", "42", "--scenario", "replay", "--replay-dir", dir / "nowhere"}, "does not exist"},
        {{"--model", "42", "--scenario", "replay", "--replay-dir", dir / "empty"}, "holds no dump sets"},
        {{"--model", "42", "--scenario", "replay", "--replay-dir", dir / "partial"}, "lacks port_info.1"},
        {{"--model", "42", "--replay-dir", dir / "empty"}, "replay scenario only"},
        {{"--model", "42", "--seed", "12x"}, "--seed needs"},
        {{"--model", "30", "--scenario", "incast", "--target", "30"}, "not a port of the 30-port"},
        {{"--model", "42", "--target", "3"}, "incast scenario only"},
        {{"--model", "42", "--count", "2"}, "--once only"},
        {{"--model", "42", "--once", "--count", "0"}, "--count needs"},
        {{"--model", "42", "--frobnicate"}, "unknown option '--frobnicate'"},
        {{"--model", "42", "extra"}, "unexpected argument 'extra'"},
    };
    for (const auto& [args, text] : cases) {
        std::vector<std::string> a = args;
        if (a.size() > 1 && a[0] == "--model") a.insert(a.end(), {"--root", dir.path});
        const auto r = run_sim(a, dir);
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_NE(r.err.find("swfabric-sim: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << "expected '" << text << "' in: " << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(exists(dir / "tmp/swfabric_se_dump_complete"));
    EXPECT_FALSE(exists(dir / "var/run/swfabric_se_dump.pid"));
    // Help goes to standard output; a root that is a file fails with status 1.
    const auto help = run_sim({"--help"}, dir);
    EXPECT_EQ(help.status, 0);
    EXPECT_EQ(help.out.rfind("Usage: swfabric-sim --model 42|24|30", 0), 0u);
    EXPECT_EQ(help.err, "");
    const auto unwritable = run_sim({"--model", "42", "--once", "--root", dir / "partial/set1/sw_global_info.1"}, dir);
    EXPECT_EQ(unwritable.status, 1);
    EXPECT_NE(unwritable.err.find("swfabric-sim: "), std::string::npos);
}

}  // namespace
