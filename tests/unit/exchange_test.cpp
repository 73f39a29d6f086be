#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "snapshot/exchange.h"
#include "test_helpers.h"

using namespace cellscope;

namespace {

// A scratch folder holding the dump paths.
struct ScratchDir {
    static std::string make()
    {
        std::string dir = std::filesystem::temp_directory_path().string() + "/cellscope-exchange-XXXXXX";
        EXPECT_NE(mkdtemp(dir.data()), nullptr);
        return dir;
    }
    ~ScratchDir() { std::filesystem::remove_all(dir); }
    std::string file(const char* name) const { return dir + "/" + name; }
    DumpPaths paths() const { return {global.c_str(), port.c_str(), pg.c_str(), marker.c_str(), pidfile.c_str()}; }

    const std::string dir = make();
    const std::string global = file("sw_global_info.1"), port = file("port_info.1"), pg = file("pg_info.1");
    const std::string marker = file("swfabric_se_dump_complete"), pidfile = file("swfabric_se_dump.pid");
};

void put(const std::string& path, const std::string& text, time_t sec = 0, long nsec = 0)
{
    std::FILE* f = std::fopen(path.c_str(), "w");
    std::fputs(text.c_str(), f);
    std::fclose(f);
    if (sec != 0) {
        const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }
}

bool exists(const std::string& path)
{
    struct stat st;
    return lstat(path.c_str(), &st) == 0;
}

// A parser stand-in: records each line's number into one record and notes
// the calls and the record's current peak at the start of the call.
int g_parse_calls;
uint32_t g_current_seen;
void parse_count(std::FILE* stream, StatsStore& store)
{
    ++g_parse_calls;
    g_current_seen = store.ports[3].pg_shared[2].current;
    char line[256];
    while (std::fgets(line, sizeof line, stream) != nullptr)
        record_value(store.ports[3].pg_shared[2], static_cast<uint32_t>(std::strtoul(line, nullptr, 10)));
}

const ModelProfile kCounting{42, 32768, port_labels_42, parse_count, parse_count, parse_count};
StatsStore g_store_under_test;

}  // namespace

TEST(FileChanged, NanosecondTimestampAndMissingFile)
{
    ScratchDir dir;
    const std::string path = dir.file("f");
    FileTime last{0, 0};
    EXPECT_FALSE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.sec, 0);

    put(path, "x", 1000, 100);
    EXPECT_TRUE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.sec, 1000);
    EXPECT_EQ(last.nsec, 100);
    EXPECT_FALSE(file_changed(path.c_str(), last));

    // A new file written within the same second is still a change.
    put(path, "x", 1000, 200);
    EXPECT_TRUE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.nsec, 200);

    unlink(path.c_str());
    EXPECT_FALSE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.sec, 1000);
}

TEST(Readers, ResetsBeforeEachFileAndOpenOnlyChangedRegularFiles)
{
    ScratchDir dir;
    const DumpPaths paths = dir.paths();
    StatsStore& store = g_store_under_test;
    store_init(store, 32768);
    MonitorState state{};
    const UsageRecord& r = store.ports[3].pg_shared[2];
    g_parse_calls = 0;

    put(paths.port, "500\n100\n");
    ASSERT_EQ(read_port_file(state, store, kCounting, paths), 0);
    EXPECT_EQ(r.current, 500u);

    // A lower second dump: current is reset before parsing, max stays.
    put(paths.port, "200\n", 2000, 1);
    ASSERT_EQ(read_port_file(state, store, kCounting, paths), 0);
    EXPECT_EQ(g_current_seen, 0u);
    EXPECT_EQ(r.current, 200u);
    EXPECT_EQ(r.max, 500u);

    // The priority-group reader resets nothing.
    put(paths.pg, "50\n");
    ASSERT_EQ(read_pg_file(state, store, kCounting, paths), 0);
    EXPECT_EQ(g_current_seen, 200u);
    EXPECT_EQ(r.current, 200u);

    // The switch-wide reader resets only total_shared.current.
    record_value(store.sw.total_shared, 900);
    put(paths.global, "1\n");
    ASSERT_EQ(read_global_file(state, store, kCounting, paths), 0);
    EXPECT_EQ(store.sw.total_shared.current, 0u);
    EXPECT_EQ(store.sw.total_shared.max, 900u);
    EXPECT_EQ(r.current, 200u);
    EXPECT_EQ(g_parse_calls, 4);

    // Unchanged files are not read again.
    EXPECT_EQ(read_port_file(state, store, kCounting, paths), 0);
    EXPECT_EQ(read_pg_file(state, store, kCounting, paths), 0);
    EXPECT_EQ(g_parse_calls, 4);

    // What is not a regular file is not opened, and nothing is reset for it.
    for (const char* p : {paths.global, paths.port, paths.pg})
        unlink(p);
    state = MonitorState{};  // new files may carry the same coarse time stamps
    ASSERT_EQ(mkfifo(paths.port, 0600), 0);  // would block a plain fopen
    EXPECT_EQ(read_port_file(state, store, kCounting, paths), -1);
    ASSERT_EQ(mkdir(paths.pg, 0700), 0);
    EXPECT_EQ(read_pg_file(state, store, kCounting, paths), -1);
    put(dir.file("target"), "5\n");
    ASSERT_EQ(symlink(dir.file("target").c_str(), paths.global), 0);
    EXPECT_EQ(read_global_file(state, store, kCounting, paths), -1);
    EXPECT_EQ(g_parse_calls, 4);
    EXPECT_EQ(r.current, 200u);
    EXPECT_EQ(read_port_file(state, store, kCounting, paths), 0);  // the same version is not tried again
}

TEST(PidText, OnlyPlainProcessIdsAboveOne)
{
    struct Case { std::string text; int32_t pid; };  // pid -1: rejected
    const Case cases[] = {
        {"123\n", 123}, {"42", 42}, {"  77 \n", 77}, {"\t2\t", 2}, {"2147483647\n", 2147483647},
        {"", -1}, {"\n", -1}, {"   ", -1}, {"0", -1}, {"1\n", -1}, {"-1", -1}, {"-5\n", -1}, {"+5", -1},
        {"abc", -1}, {"12a", -1}, {"12 13", -1}, {"12\n\n", -1}, {"12\nx", -1}, {"2147483648", -1},
        {"99999999999999999999", -1}, {"0x10", -1}, {"1.5", -1}, {std::string("12\0", 3), -1},
    };
    for (const Case& c : cases) {
        int32_t pid = 99;
        const char* reason = nullptr;
        const int rc = parse_pid_text(c.text.c_str(), static_cast<long>(c.text.size()), &pid, &reason);
        EXPECT_EQ(rc, c.pid < 0 ? -1 : 0) << c.text;
        EXPECT_EQ(pid, c.pid < 0 ? 99 : c.pid) << c.text;
        EXPECT_EQ(reason != nullptr, c.pid < 0) << c.text;
    }
}

TEST(RequestSnapshot, RemovesDumpAndReportsBadPidFile)
{
    ScratchDir dir;
    const DumpPaths paths = dir.paths();
    for (const char* p : {paths.global, paths.port, paths.pg, paths.marker})
        put(p, "old\n");
    EXPECT_TRUE(snapshot_complete(paths));

    std::string err = testutil::capture_stderr([&] { EXPECT_EQ(request_snapshot(paths), 0); });
    for (const char* p : {paths.global, paths.port, paths.pg, paths.marker})
        EXPECT_FALSE(exists(p)) << p;
    EXPECT_FALSE(snapshot_complete(paths));
    EXPECT_EQ(err, std::string("cellscope: ") + paths.pidfile + ": cannot open: " + std::strerror(ENOENT) + "\n");

    // Missing files are fine; a pid file of -1 or 0 signals nobody.
    for (const char* text : {"-1\n", "0\n"}) {
        put(paths.pidfile, text);
        err = testutil::capture_stderr([&] { EXPECT_EQ(request_snapshot(paths), 0); });
        EXPECT_EQ(err, std::string("cellscope: ") + paths.pidfile + ": " +
                           (text[0] == '0' ? "refusing to signal process id 0 or 1" : "not a process id") + "\n");
    }
}
