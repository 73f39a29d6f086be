// The readers' order, every file new after a request, the locks shared by
// readers. Requests, signals and pid files are checked end to end.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

#include "helpers.h"

using namespace cellscope;

TEST(Exchange, PidFilesHoldOnlyPlainProcessIdsAboveOne)
{
    const struct { std::string text; int32_t pid; } cases[] = {
        {"123\n", 123}, {"  77 \n", 77}, {"\t2\t", 2}, {"2147483647\n", 2147483647}, {"", -1}, {"\n", -1},
        {"1\n", -1}, {"-5\n", -1}, {"+5", -1}, {"12a", -1}, {"12 13", -1}, {"12\n\n", -1}, {"2147483648", -1},
        {"0x10", -1}, {std::string("12\0", 3), -1}};
    for (const auto& c : cases) {
        int32_t pid = 99;
        const char* reason = nullptr;
        EXPECT_EQ(parse_pid_text(c.text.c_str(), static_cast<long>(c.text.size()), &pid, &reason), c.pid < 0 ? -1 : 0);
        EXPECT_EQ(pid == (c.pid < 0 ? 99 : c.pid) && (reason != nullptr) == (c.pid < 0), true) << c.text;
    }
}

TEST(Exchange, TheReadersTakeTheFilesInOrderAndEveryFileAfterARequestIsNew)
{
    testutil::Scratch dir;
    const ModelProfile& m = *module_for_ports(24);
    static StatsStore store;
    store_init(store, m.cell_scale);
    ExchangeState state;
    // Every dump carries one fixed time, 0 as on a module without a clock.
    const auto stamp = [&] {
        const struct timespec epoch[2] = {{0, 0}, {0, 0}};
        for (const std::string& file : {dir.global, dir.port, dir.pg})
            ASSERT_EQ(utimensat(AT_FDCWD, file.c_str(), epoch, 0), 0);
    };
    dir.dump("TOTAL_SHARED_COUNT=9\n", "xe1 PORT_SHARED_COUNT=50\n", "xe1 PG_SHARED_COUNT(2)=40\n");
    stamp();
    read_dump_files(state, store, m, dir.paths);
    EXPECT_EQ(store.sw.total_shared.current, 9u);
    // A lower dump: new files after the request; the groups' peaks reset with the ports'.
    EXPECT_TRUE(exchange_pass(state, store, m, dir.paths));
    dir.dump("TOTAL_SHARED_COUNT=3\n", "xe1 PORT_SHARED_COUNT=20\n", "xe1 PG_SHARED_COUNT(2)=10\n");
    stamp();
    testutil::capture_stderr([&] { EXPECT_TRUE(exchange_pass(state, store, m, dir.paths)); });
    EXPECT_EQ(store.sw.total_shared.current, 3u);
    EXPECT_EQ(store.ports[1].port_shared.current, 20u);
    EXPECT_EQ(store.ports[1].pg_shared[2].current, 10u);
    EXPECT_EQ(store.ports[1].pg_shared[2].max, 40u);
    EXPECT_FALSE(testutil::exists(dir.marker));
}

TEST(Exchange, ARestartedDaemonIsAskedAgainAfterTenPassesWithoutAMarker)
{
    testutil::Scratch dir;
    static StatsStore store;
    ExchangeState state;
    testutil::put(dir.pidfile, "2000000000\n");
    testutil::capture_stderr([&] {
        request_snapshot(state, dir.paths);
        for (const char* pid : {"2000000000\n", "2000000001\n"}) {  // rewritten, then another process
            testutil::put(dir.pidfile, pid);
            testutil::put(dir.global, "left by a daemon that died mid-dump");
            for (int pass = 1; pass < kPassesBeforeRetry; ++pass)
                exchange_pass(state, store, *module_for_ports(42), dir.paths);
            EXPECT_TRUE(testutil::exists(dir.global));  // perhaps merely slow
            exchange_pass(state, store, *module_for_ports(42), dir.paths);
            EXPECT_FALSE(testutil::exists(dir.global));  // asked again
        }
    });
}

TEST(Exchange, OneProcessAsksForDumpsAndNobodyDeletesADumpBeingRead)
{
    testutil::Scratch dir;
    const ModelProfile& m = *module_for_ports(24);
    static StatsStore store;
    store_init(store, m.cell_scale);
    ExchangeState monitor, exporter, second;
    // No monitor: an exporter asks for its own dump, never takes the one lying there.
    dir.dump("TOTAL_SHARED_COUNT=5\n", "", "");
    const int reading = open(dir.read_lock.c_str(), O_RDONLY | O_CREAT, 0644);
    ASSERT_EQ(flock(reading, LOCK_SH), 0);  // its request has to wait: no dump in time
    FileStamp completed{};
    EXPECT_EQ(obtain_dump(exporter, store, m, std::chrono::milliseconds{300}, &completed, dir.paths), -1);
    EXPECT_EQ(store.sw.total_shared.max, 0u);
    close(reading);
    announce_monitor(monitor, dir.paths);
    EXPECT_FALSE(claim_requests(exporter, dir.paths));  // a monitor runs, even before it asks
    EXPECT_TRUE(claim_requests(monitor, dir.paths));
    EXPECT_FALSE(claim_requests(exporter, dir.paths));
    dir.dump("TOTAL_SHARED_COUNT=7\n", "", "");
    EXPECT_TRUE(exchange_pass(exporter, store, m, dir.paths));  // read, not asked for again
    EXPECT_FALSE(exchange_pass(exporter, store, m, dir.paths));
    EXPECT_EQ(store.sw.total_shared.current, 7u);
    EXPECT_TRUE(testutil::exists(dir.marker));

    // A reader holds the dump: the request waits for a later pass.
    const int reader = open(dir.read_lock.c_str(), O_RDONLY);
    ASSERT_EQ(flock(reader, LOCK_SH), 0);
    EXPECT_EQ(request_snapshot(monitor, dir.paths), -1);
    EXPECT_TRUE(testutil::exists(dir.global));
    flock(reader, LOCK_UN);
    close(reader);
    testutil::capture_stderr([&] { EXPECT_EQ(request_snapshot(monitor, dir.paths), 0); });
    EXPECT_FALSE(testutil::exists(dir.global));
    EXPECT_FALSE(exchange_pass(exporter, store, m, dir.paths));  // nothing complete to read

    // Another reader gets the requester's next dump without asking.
    std::thread daemon([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        dir.dump("TOTAL_SHARED_COUNT=9\n", "", "");
    });
    EXPECT_EQ(obtain_dump(exporter, store, m, std::chrono::seconds{2}, &completed, dir.paths), 0);
    daemon.join();
    EXPECT_EQ(store.sw.total_shared.current, 9u);
    EXPECT_TRUE(testutil::exists(dir.global));
    EXPECT_GE(completed.sec, 1);
    // The requester's lock free: a monitor takes it, an exporter leaves it to them.
    release_requests(monitor);
    EXPECT_FALSE(claim_requests(exporter, dir.paths));
    announce_monitor(second, dir.paths);
    EXPECT_TRUE(claim_requests(second, dir.paths));
    EXPECT_FALSE(claim_requests(monitor, dir.paths));  // given back, now another's
}
