// The simulator as a process: files on disk, the marker, the pid file,
// signals, replay, and the command line.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <filesystem>
#include <thread>

#include "dump_check.h"
#include "sim_process.h"

namespace {

using simtest::eventually;
using simtest::exists;
using simtest::ScratchDir;
using simtest::slurp;

struct Files {
    std::string global, port, pg;
    bool operator==(const Files&) const = default;
};

Files files_in(const std::string& tmp) {
    return {slurp(tmp + "/sw_global_info.1"), slurp(tmp + "/port_info.1"), slurp(tmp + "/pg_info.1")};
}

std::vector<simcheck::TruthRecord> truth_in(const std::string& path) {
    std::string err;
    auto recs = simcheck::parse_truth(slurp(path), err);
    EXPECT_EQ(err, "") << path;
    return recs;
}

// A running daemon, stopped with SIGTERM at the end of the test if still up.
class Daemon {
public:
    Daemon(const ScratchDir& dir, std::vector<std::string> args) : dir_(dir) {
        args.insert(args.end(), {"--root", dir.path()});
        pid_ = simtest::spawn_sim(args, dir / "daemon.out", dir / "daemon.err");
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
    void signal(int sig) { ::kill(pid_, sig); }
    int stop(int sig) {
        ::kill(pid_, sig);
        const int status = simtest::wait_exit(pid_, std::chrono::seconds(30));
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
        const auto r = simtest::run_sim({"--model", std::to_string(model), "--scenario", "incast", "--once",
                                         "--count", "3", "--root", dir.path(), "--truth", dir / "truth"},
                                        dir);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        EXPECT_TRUE(exists(dir / "tmp/swfabric_se_dump_complete"));
        EXPECT_FALSE(exists(dir / "var/run/swfabric_se_dump.pid"));

        const auto recs = truth_in(dir / "truth");
        ASSERT_EQ(recs.size(), 3u);
        EXPECT_EQ(recs[2].number, 3u);
        const Files f = files_in(dir / "tmp");
        const auto reading = simcheck::read_dump(model, f.global, f.port, f.pg);
        EXPECT_EQ(simcheck::compare(reading, recs[2]), "");
        // No temporary file is left behind.
        for (const auto& e : std::filesystem::directory_iterator(dir / "tmp"))
            EXPECT_NE(e.path().filename().string()[0], '.') << e.path();
    }
}

TEST(SimProcess, SameSeedSameFilesOtherSeedOtherFiles) {
    ScratchDir a, b, c;
    for (auto [dir, seed] : {std::pair{&a, "7"}, {&b, "7"}, {&c, "8"}}) {
        const auto r = simtest::run_sim({"--model", "30", "--seed", seed, "--once", "--count", "4", "--root",
                                         dir->path(), "--truth", *dir / "truth"},
                                        *dir);
        ASSERT_EQ(r.status, 0) << r.err;
    }
    EXPECT_TRUE(files_in(a / "tmp") == files_in(b / "tmp"));
    EXPECT_EQ(slurp(a / "truth"), slurp(b / "truth"));
    EXPECT_FALSE(files_in(a / "tmp") == files_in(c / "tmp"));
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
            const Files f = files_in(d.tmp());
            EXPECT_EQ(simcheck::compare(simcheck::read_dump(24, f.global, f.port, f.pg), recs.back()), "");
        }
        EXPECT_EQ(d.stop(sig), 0);
        EXPECT_FALSE(exists(d.pid_file()));
        EXPECT_EQ(d.err(), "");
    }
}

// Signals that arrive while a dump is being written are not lost: at least
// one more dump follows.
TEST(SimProcess, SignalsDuringADumpLeadToAnotherDump) {
    ScratchDir dir;
    Daemon d(dir, {"--model", "42", "--delay", "150", "--truth", dir / "truth"});
    ASSERT_TRUE(d.up()) << d.err();
    d.signal(SIGUSR1);
    // The first dump is under way once its first temporary file exists.
    ASSERT_TRUE(eventually([&] {
        for (const auto& e : std::filesystem::directory_iterator(d.tmp()))
            if (e.path().filename().string()[0] == '.') return true;
        return false;
    }));
    for (int i = 0; i < 5; ++i) d.signal(SIGUSR1);
    ASSERT_TRUE(eventually([&] { return truth_in(dir / "truth").size() >= 2; })) << d.err();
    ASSERT_TRUE(eventually([&] { return exists(d.marker()); }));
    const Files f = files_in(d.tmp());
    const auto recs = truth_in(dir / "truth");
    EXPECT_EQ(simcheck::compare(simcheck::read_dump(42, f.global, f.port, f.pg), recs.back()), "");
    EXPECT_EQ(d.stop(SIGTERM), 0);
}

// A reader racing the writer over many dumps only ever sees whole files:
// each begins with a dump's header and ends with that dump's last line.
TEST(SimProcess, ReadersNeverSeeAHalfWrittenFile) {
    ScratchDir dir;
    Daemon d(dir, {"--model", "30", "--scenario", "incast"});
    ASSERT_TRUE(d.up()) << d.err();
    std::atomic<bool> done{false};
    std::atomic<long> reads{0};
    std::vector<std::string> bad;
    std::thread reader([&] {
        while (!done) {
            for (const char* name : {"sw_global_info.1", "port_info.1", "pg_info.1"}) {
                const std::string text = slurp(d.tmp() + "/" + name);
                if (text.empty()) continue;  // between the monitor's removal and the rename
                ++reads;
                const auto lines = simcheck::split_lines(text);
                const std::string head = "# swfabric shared buffer dump ";
                const std::string number =
                    lines.front().rfind(head, 0) == 0
                        ? lines.front().substr(head.size(), lines.front().find(',') - head.size())
                        : "?";
                if (text.back() != '\n' || lines.back() != "# end of dump " + number)
                    if (bad.size() < 5) bad.push_back(std::string(name) + ": " + lines.back());
            }
        }
    });
    for (int i = 0; i < 150; ++i) {
        // Half the time leave the old files in place, so the rename replaces
        // a file the reader may be reading.
        if (i % 2 == 0)
            for (const char* name : {"sw_global_info.1", "port_info.1", "pg_info.1"})
                ::unlink((d.tmp() + "/" + name).c_str());
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
    const auto rec = simtest::run_sim({"--model", "42", "--scenario", "incast", "--seed", "3", "--once",
                                       "--count", "4", "--root", dir / "rec-root", "--record", dir / "sets"},
                                      dir);
    ASSERT_EQ(rec.status, 0) << rec.err;
    std::vector<std::string> sets;
    for (const auto& e : std::filesystem::directory_iterator(dir / "sets")) sets.push_back(e.path().string());
    std::sort(sets.begin(), sets.end());
    ASSERT_EQ(sets.size(), 4u);
    EXPECT_TRUE(files_in(sets.back()) == files_in(dir / "rec-root/tmp"));

    Daemon d(dir, {"--model", "42", "--scenario", "replay", "--replay-dir", dir / "sets", "--truth",
                   dir / "truth"});
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

TEST(SimProcess, ReplayTakesSetsInNameOrder) {
    ScratchDir dir;
    for (const char* set : {"b-second", "a-first", "c-third"}) {
        std::filesystem::create_directories(dir / "sets/" + set);
        for (const char* f : {"sw_global_info.1", "port_info.1", "pg_info.1"})
            simtest::write_text(dir / "sets" + "/" + set + "/" + f, std::string(set) + " " + f + "\n");
    }
    const auto r = simtest::run_sim({"--model", "24", "--scenario", "replay", "--replay-dir", dir / "sets",
                                     "--once", "--count", "2", "--root", dir.path(), "--record", dir / "out"},
                                    dir);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(slurp(dir / "out/000001/port_info.1"), "a-first port_info.1\n");
    EXPECT_EQ(slurp(dir / "out/000002/pg_info.1"), "b-second pg_info.1\n");
    EXPECT_EQ(slurp(dir / "tmp/sw_global_info.1"), "b-second sw_global_info.1\n");
}

TEST(SimProcess, BadArgumentsExitWithStatus2AndAMessage) {
    ScratchDir dir;
    std::filesystem::create_directories(dir / "empty");
    std::filesystem::create_directories(dir / "partial/set1");
    simtest::write_text(dir / "partial/set1/sw_global_info.1", "x\n");
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
        if (a.size() > 1 && a[0] == "--model") a.insert(a.end(), {"--root", dir.path()});
        const auto r = simtest::run_sim(a, dir);
        EXPECT_EQ(r.status, 2) << text;
        EXPECT_NE(r.err.find("swfabric-sim: "), std::string::npos) << r.err;
        EXPECT_NE(r.err.find(text), std::string::npos) << "expected '" << text << "' in: " << r.err;
        EXPECT_EQ(r.out, "");
    }
    EXPECT_FALSE(exists(dir / "tmp/swfabric_se_dump_complete"));
    EXPECT_FALSE(exists(dir / "var/run/swfabric_se_dump.pid"));
}

TEST(SimProcess, HelpGoesToStandardOutput) {
    ScratchDir dir;
    const auto r = simtest::run_sim({"--help"}, dir);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Usage: swfabric-sim --model 42|24|30", 0), 0u);
    EXPECT_NE(r.out.find("port SLOT hol_drop K V"), std::string::npos);
    EXPECT_EQ(r.err, "");
}

TEST(SimProcess, UnwritableRootFailsWithStatus1) {
    ScratchDir dir;
    simtest::write_text(dir / "file", "not a directory\n");
    const auto r = simtest::run_sim({"--model", "42", "--once", "--root", dir / "file"}, dir);
    EXPECT_EQ(r.status, 1);
    EXPECT_NE(r.err.find("swfabric-sim: "), std::string::npos);
}

}  // namespace
