// The exchange's rules, its state file, and monitors and exporters sharing a
// daemon: a child process that answers SIGUSR1 as the switch daemon does.
#include <csignal>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>

#include "exchange/daemon.h"
#include "helpers.h"

using namespace cellscope;
using namespace std::chrono_literals;

namespace {

// /proc/PID/status of a process as the test makes it, SIGUSR1 being bit 0x200.
// A status names the main thread's mask; each thread's is in its own.
void fake_status(const testutil::Scratch& dir, const std::string& pid, const char* blocked, const char* caught,
                 const std::string& thread = "")
{
    for (const std::string& folder : {dir.proc + "/" + pid, dir.proc + "/" + pid + "/task/" + thread}) {
        ASSERT_EQ(std::system(("mkdir -p '" + folder + "'").c_str()), 0);
        testutil::put(folder + "/status", std::string("Name:\td\nSigBlk:\t") + blocked + "\nSigIgn:\t0\nSigCgt:\t" + caught);
        if (thread.empty())
            break;
    }
}

// The switch daemon: on each SIGUSR1 (after `delay`) the three files, the
// switch-wide count being the dump's number, then the marker; `lacking`
// leaves the per-port file out. Its status shows SIGUSR1 caught.
struct Daemon {
    pid_t pid = -1;
    std::string log;
    explicit Daemon(const testutil::Scratch& dir, std::chrono::milliseconds delay = 0ms, bool lacking = false)
        : log(dir.dir + "/daemon.log")
    {
        sigset_t usr1;
        sigemptyset(&usr1);
        sigaddset(&usr1, SIGUSR1);
        sigprocmask(SIG_BLOCK, &usr1, nullptr);  // no signal lost before the child waits
        pid = fork();
        if (pid == 0) {
            for (int n = 1, sig = 0; sigwait(&usr1, &sig) == 0; ++n) {
                testutil::put(log, std::string(static_cast<size_t>(n), 's'));
                std::this_thread::sleep_for(delay);
                testutil::put(dir.global, "TOTAL_SHARED_COUNT=" + std::to_string(n) + "\n");
                if (!lacking)
                    testutil::put(dir.port, "");
                testutil::put(dir.pg, "");
                testutil::put(dir.marker, "");
            }
            _exit(0);
        }
        sigprocmask(SIG_UNBLOCK, &usr1, nullptr);
        fake_status(dir, std::to_string(pid), "0", "0000000000000200");
        testutil::put(dir.pidfile, std::to_string(pid) + "\n");
    }
    ~Daemon() { kill(pid, SIGKILL), waitpid(pid, nullptr, 0); }
    size_t signals() const { return testutil::read_file(log).size(); }
    // Waits until the daemon has taken n signals: whether it has.
    bool took(size_t n) const
    {
        for (int i = 0; i < 300 && signals() < n; ++i)
            std::this_thread::sleep_for(10ms);
        return signals() == n;
    }
    // Waits until the daemon has written dump n.
    bool wrote(size_t n, const testutil::Scratch& dir) const
    {
        for (int i = 0; i < 300 && (signals() < n || !testutil::exists(dir.marker)); ++i)
            std::this_thread::sleep_for(10ms);
        return signals() == n && testutil::exists(dir.marker);
    }
};

// The monitors' clock, moved by hand.
Nanos g_now = 1000s;
Nanos test_clock()
{
    return g_now;
}

StatsStore& fresh_store(const ModelProfile& m)
{
    static StatsStore stores[4];
    static int next = 0;
    StatsStore& store = stores[next++ % 4];
    store_init(store, m.cell_scale);
    return store;
}

}  // namespace

TEST(Exchange, PidFilesHoldDigitsAndOneFinalNewlineAndTheDaemonMustTakeTheSignalInEveryThread)
{
    const struct { std::string text; int32_t pid; } cases[] = {
        {"123\n", 123}, {"2", 2}, {"007\n", 7}, {"2147483647\n", 2147483647}, {"", -1}, {"\n", -1}, {"1\n", -1},
        {"123x", -1}, {" 77\n", -1}, {"77 \n", -1}, {"-5\n", -1}, {"+5", -1}, {"12\n\n", -1}, {"2147483648", -1},
        {"0x10", -1}, {std::string("12\0", 3), -1}};
    for (const auto& c : cases) {
        int32_t pid = 99;
        const char* reason = nullptr;
        EXPECT_EQ(parse_pid_text(c.text.c_str(), static_cast<long>(c.text.size()), &pid, &reason), c.pid < 0 ? -1 : 0);
        EXPECT_EQ(pid == (c.pid < 0 ? 99 : c.pid) && (reason != nullptr) == (c.pid < 0), true) << c.text;
    }
    testutil::Scratch dir;
    fake_status(dir, "100", "0", "0000000000000200");  // caught: process-wide
    fake_status(dir, "200", "0000000000000200", "0", "200");
    fake_status(dir, "200", "0000000000000200", "0", "201");  // blocked in every thread
    fake_status(dir, "300", "fffffffffffffdff", "0", "301");  // a thread that would take it
    fake_status(dir, "300", "0000000000000200", "0", "300");
    fake_status(dir, "400", "0000000000000200", "0");         // no thread to be seen
    fake_status(dir, "500", "0", "0000000000000100");         // SIGSEGV caught, not SIGUSR1
    for (const auto& [pid, want] : {std::pair{100, 1}, {200, 1}, {300, 0}, {400, 0}, {500, 0}, {600, -1}})
        EXPECT_EQ(handles_dump_signal(dir.proc.c_str(), pid), want) << pid;
}

TEST(Exchange, TheStateKeepsItsTextFormAndItsRules)
{
    SharedState s = fresh_state(5s, 42);
    s.generation = 7;
    s.phase = Phase::Complete;
    s.requested = static_cast<int64_t>(Nanos{3s}.count());
    s.stale[3] = {1, 2, 0, 5, 6, -1};
    monitor_slot(s, 77, 4s)->read = 7;
    monitor_slot(s, 78, 5s);
    char text[2048], again[2048];
    const size_t length = format_state(s, text, sizeof text);
    SharedState back{};
    ASSERT_TRUE(parse_state(text, back));
    EXPECT_EQ(format_state(back, again, sizeof again), length);
    EXPECT_STREQ(again, text);
    for (size_t cut : {size_t{0}, length / 2, length - 12}) {  // a state cut short, or another file's text
        text[cut] = '\0';
        EXPECT_FALSE(parse_state(text, back)) << cut;
    }
    EXPECT_FALSE(parse_state("cellscope exchange state 2\n", back));

    // A complete dump waits for the monitors that run, at most kMonitorGrace.
    s.completed = static_cast<int64_t>(Nanos{5s}.count());
    EXPECT_FALSE(may_request(s, 6s, 77, 0s));            // 78 has not read it
    EXPECT_TRUE(may_request(s, 6s, 78, 0s));             // itself aside, every monitor has
    EXPECT_TRUE(may_request(s, 5s + kMonitorGrace, 77, 0s));
    s.monitors[1].seen = static_cast<int64_t>(Nanos{6s - kMonitorGone}.count());  // 78 has stopped passing
    EXPECT_TRUE(may_request(s, 6s, 77, 0s));
    EXPECT_FALSE(may_request(s, 6s - 1ns, 77, 0s));
    // Exporters leave an interval between requests; nobody asks twice at a time.
    s.monitors[1] = {};
    EXPECT_FALSE(may_request(s, 3s + 999ms, 77, 1s));
    EXPECT_TRUE(may_request(s, 4s, 77, 1s));
    s.phase = Phase::Requested;
    EXPECT_FALSE(may_request(s, 60s, 77, 0s));
    // A monitor forgotten after kMonitorGone leaves its slot.
    EXPECT_EQ(monitor_slot(s, 79, 1000s)->pid, 79);
    // A request is repeated only once signalled, and after its wait.
    EXPECT_FALSE(retry_due(s, 60s, 20));
    s.signalled = 123;
    EXPECT_FALSE(retry_due(s, 3s + kRetryAge - 1ns, kPassesBeforeRetry - 1));
    EXPECT_TRUE(retry_due(s, 3s + kRetryAge, 0));
    EXPECT_TRUE(retry_due(s, 4s, kPassesBeforeRetry));
    // A dump is no older than its request and no newer than its sighting.
    s.requested_real = 2'000'000'000;
    note_completion(s, {1, 1, 0, 0, 0, 0}, 9s, Nanos{5'000'000'000});
    EXPECT_EQ(std::pair(s.completed_real, s.completed), std::pair(int64_t{2'000'000'000}, int64_t{6'000'000'000}));
    note_completion(s, {1, 1, 4, 500, 0, 0}, 9s, Nanos{5'000'000'000});
    EXPECT_EQ(s.completed_real, int64_t{4'000'000'500});
    note_completion(s, {1, 1, 6, 0, 0, 0}, 9s, Nanos{5'000'000'000});
    EXPECT_EQ(std::pair(s.completed_real, s.phase), std::pair(int64_t{5'000'000'000}, Phase::Complete));
}

TEST(Exchange, EveryDumpIsNewToEachMonitorWhateverItsFilesStampsAndItsFilesAreReadInOrder)
{
    testutil::Scratch dir;
    const ModelProfile& m = *module_for_ports(24);
    StatsStore &one = fresh_store(m), &two = fresh_store(m);
    ExchangeState a, b;
    a.quiet = b.quiet = true;  // no daemon: the test writes the dumps
    a.id = 1000001, b.id = 1000002;
    // Every dump rewritten in place with one fixed time, 0 as on a module without a clock.
    const auto dump = [&](const char* global, const char* port, const char* pg) {
        dir.dump(global, port, pg);
        const struct timespec epoch[2] = {{0, 0}, {0, 0}};
        for (const std::string& file : {dir.global, dir.port, dir.pg})
            ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), epoch, 0), 0);
    };
    join_exchange(a, dir.paths);
    dump("TOTAL_SHARED_COUNT=9\n", "xe1 PORT_SHARED_COUNT=50\n", "xe1 PG_SHARED_COUNT(2)=40\n");
    join_exchange(b, dir.paths);
    EXPECT_TRUE(exchange_pass(b, two, m, dir.paths));
    EXPECT_TRUE(exchange_pass(a, one, m, dir.paths));  // the last to read it asks for the next
    EXPECT_FALSE(testutil::exists(dir.global));
    dump("TOTAL_SHARED_COUNT=3\n", "xe1 PORT_SHARED_COUNT=20\n", "xe1 PG_SHARED_COUNT(2)=10\n");
    EXPECT_TRUE(exchange_pass(b, two, m, dir.paths));
    EXPECT_FALSE(exchange_pass(b, two, m, dir.paths));  // read once
    // The per-port file's reset clears the group peaks before the group file adds to them.
    for (const StatsStore* store : {&one, &two})
        EXPECT_EQ(store->ports[1].pg_shared[2].max, 40u);
    EXPECT_EQ(std::tuple(two.sw.total_shared.current, two.ports[1].port_shared.current, two.ports[1].pg_shared[2].current),
              std::tuple(3u, 20u, 10u));
}

TEST(Exchange, TwoMonitorsReadEveryDumpAndAskNoMoreThanOneAndAStoppedOneHoldsUpOnlyForAWhile)
{
    testutil::Scratch dir;
    const ModelProfile& m = *module_for_ports(24);
    StatsStore &one = fresh_store(m), &two = fresh_store(m);
    Daemon daemon(dir);
    ExchangeState a, b;
    a.clock = b.clock = test_clock;
    a.id = 1000001, b.id = 1000002;  // two processes in one
    dir.dump("TOTAL_SHARED_COUNT=99\n", "", "");  // left over: deleted by the first request, never read
    join_exchange(a, dir.paths);
    join_exchange(b, dir.paths);  // a request is outstanding: none more
    for (size_t n = 1; n <= 4; ++n) {
        ASSERT_TRUE(daemon.wrote(n, dir));
        g_now += 1s;
        EXPECT_TRUE(exchange_pass(a, one, m, dir.paths));
        EXPECT_TRUE(testutil::exists(dir.marker));  // still there: b has not read it
        g_now += 1s;
        EXPECT_TRUE(exchange_pass(b, two, m, dir.paths));  // read, and the next asked for
        EXPECT_EQ(std::pair(one.sw.total_shared.current, two.sw.total_shared.current), std::pair(uint32_t(n), uint32_t(n)));
    }
    // b stops passing: a waits for it kMonitorGrace after the dump came, then goes on alone.
    ASSERT_TRUE(daemon.wrote(5, dir));
    EXPECT_TRUE(exchange_pass(a, one, m, dir.paths));
    g_now += kMonitorGrace / 2;
    EXPECT_FALSE(exchange_pass(a, one, m, dir.paths));
    EXPECT_EQ(daemon.signals(), 5u);
    g_now += kMonitorGrace;
    exchange_pass(a, one, m, dir.paths);
    ASSERT_TRUE(daemon.wrote(6, dir));
    EXPECT_TRUE(exchange_pass(a, one, m, dir.paths));
    leave_exchange(a, dir.paths);
    leave_exchange(b, dir.paths);
    EXPECT_EQ(one.sw.total_shared.current, 6u);
    EXPECT_EQ(testutil::read_file(dir.state).find("monitor "), std::string::npos);  // both gone
}

TEST(Exchange, ExportersShareADumpPerIntervalTakeOnlyWholeSetsAndStillReadASlowDaemon)
{
    const ModelProfile& m = *module_for_ports(24);
    StatsStore& store = fresh_store(m);
    Nanos completed{};
    const auto scrape = [&](const testutil::Scratch& dir, DumpWanted wanted) {
        ExchangeState x;
        x.quiet = true;
        store_init(store, m.cell_scale);
        const int got = obtain_dump(x, store, m, wanted, &completed, dir.paths);
        return std::pair(got == 0 ? store.sw.total_shared.current : 0u, std::string(last_note(x)));
    };
    {
        testutil::Scratch dir;
        Daemon daemon(dir);
        const DumpWanted wanted{2s, 400ms, 60s};
        EXPECT_EQ(scrape(dir, wanted).first, 1u);
        EXPECT_LE(realtime_now() - completed, 1s);
        EXPECT_EQ(scrape(dir, wanted).first, 1u);  // within the interval: the same dump, not asked for
        std::this_thread::sleep_for(450ms);
        EXPECT_EQ(scrape(dir, wanted).first, 2u);
        EXPECT_EQ(daemon.signals(), 2u);
    }
    {
        testutil::Scratch dir;
        Daemon daemon(dir, 0ms, true);  // a marker over a set without its per-port file: no dump
        EXPECT_EQ(scrape(dir, {300ms, 1s, 60s}), std::pair(0u, "the dump lacked " + dir.port));
    }
    {
        // A daemon slower than the timeout: the request outlives the scrape that made it, and the next scrape takes
        // its dump instead of deleting it unread and asking again. Later, with no fresh dump in time, a scrape falls
        // back on the last one while it is within max_age.
        testutil::Scratch dir;
        Daemon daemon(dir, 500ms);
        const auto [count, why] = scrape(dir, {200ms, 100ms, 60s});
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(why.rfind("the daemon has not answered the request made 0.", 0), 0u) << why;
        EXPECT_EQ(scrape(dir, {2s, 100ms, 60s}).first, 1u);  // waits for it, asks for nothing more
        EXPECT_EQ(daemon.signals(), 1u);
        std::this_thread::sleep_for(200ms);
        EXPECT_EQ(scrape(dir, {200ms, 100ms, 150ms}).first, 0u);  // dump 1 too old to fall back on; 2 asked for
        ASSERT_TRUE(daemon.wrote(2, dir));
        std::this_thread::sleep_for(250ms);
        EXPECT_EQ(scrape(dir, {200ms, 100ms, 60s}).first, 2u);  // 3 asked for, not in time: 2, whole
        EXPECT_EQ(daemon.signals(), 3u);
    }
}

TEST(Exchange, TheDaemonIsSignalledOnceItTakesTheSignalAndAskedAgainOnlyAfterARestart)
{
    testutil::Scratch dir;
    const ModelProfile& m = *module_for_ports(24);
    StatsStore& store = fresh_store(m);
    ExchangeState x;
    x.clock = test_clock;
    auto slow = std::make_unique<Daemon>(dir, 60s);
    fake_status(dir, std::to_string(slow->pid), "0", "0");  // at start, before its handler is in place
    const std::string said = testutil::capture_stderr([&] {
        join_exchange(x, dir.paths);
        exchange_pass(x, store, m, dir.paths);
        EXPECT_EQ(slow->signals(), 0u);
        fake_status(dir, std::to_string(slow->pid), "0", "0000000000000200");
        exchange_pass(x, store, m, dir.paths);  // checked again on every pass
    });
    EXPECT_EQ(said, "cellscope: " + dir.pidfile + ": refusing to signal process id " + std::to_string(slow->pid) +
                        ": SIGUSR1 would end it\n");
    ASSERT_TRUE(slow->took(1));
    for (int pass = 0; pass < 2 * kPassesBeforeRetry; ++pass)  // merely slow: never asked twice
        exchange_pass(x, store, m, dir.paths);
    EXPECT_TRUE(slow->took(1));
    slow.reset();
    testutil::put(dir.global, "TOTAL_SHARED_COUNT=99\n");  // left by the daemon that died mid-dump
    Daemon restarted(dir);
    exchange_pass(x, store, m, dir.paths);  // long without a marker, and restarted since: asked again
    ASSERT_TRUE(restarted.wrote(1, dir));
    EXPECT_TRUE(exchange_pass(x, store, m, dir.paths));
    EXPECT_EQ(store.sw.total_shared.max, 1u);
}

TEST(Exchange, NobodyWaitsOnAStalledProcessAndNothingSharedSwitchesOffSilently)
{
    const ModelProfile& m = *module_for_ports(24);
    StatsStore& store = fresh_store(m);
    Nanos completed{};
    {
        testutil::Scratch dir;
        ExchangeState holder, monitor, exporter;
        holder.quiet = exporter.quiet = true;
        join_exchange(holder, dir.paths);
        const int fd = open(dir.state.c_str(), O_RDONLY);
        ASSERT_EQ(flock(fd, LOCK_EX), 0);  // a process stopped while it holds the state
        const Nanos start = monotonic_now();
        EXPECT_EQ(obtain_dump(exporter, store, m, {1s, 1s, 60s}, &completed, dir.paths), -1);
        EXPECT_LT(monotonic_now() - start, kLockWait + 1s);
        EXPECT_EQ(std::string(last_note(exporter)), dir.state + ": held by another process for over 2 s");
        const std::string said = testutil::capture_stderr([&] { EXPECT_FALSE(exchange_pass(monitor, store, m, dir.paths)); });
        EXPECT_EQ(said, "cellscope: " + dir.state + ": held by another process for over 2 s\n");
        close(fd);
    }
    {
        // Removed while a monitor runs: each process goes on with the file the path names.
        testutil::Scratch dir;
        Daemon daemon(dir);
        ExchangeState a, b;
        a.clock = b.clock = test_clock;
        a.id = 1000001, b.id = 1000002;
        join_exchange(a, dir.paths);
        ASSERT_TRUE(daemon.wrote(1, dir));
        ASSERT_EQ(unlink(dir.state.c_str()), 0);
        EXPECT_FALSE(exchange_pass(a, store, m, dir.paths));  // a new state: asked anew
        join_exchange(b, dir.paths);
        ASSERT_TRUE(daemon.wrote(2, dir));
        EXPECT_TRUE(exchange_pass(a, store, m, dir.paths));
        EXPECT_TRUE(exchange_pass(b, store, m, dir.paths));
        ASSERT_TRUE(daemon.wrote(3, dir));
        const std::string state = testutil::read_file(dir.state);
        EXPECT_NE(state.find("monitor 1000001 "), std::string::npos);
        EXPECT_NE(state.find("monitor 1000002 "), std::string::npos);
    }
}
