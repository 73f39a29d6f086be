#include <gtest/gtest.h>

#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

#include "snapshot/exchange.h"
#include "test_helpers.h"

using namespace cellscope;

namespace {

// A scratch folder with the dump paths inside it.
class ScratchDir {
public:
    ScratchDir()
    {
        const char* base = std::getenv("TMPDIR");
        dir_ = std::string(base ? base : "/tmp") + "/cellscope-exchange-XXXXXX";
        if (mkdtemp(dir_.data()) == nullptr)
            dir_.clear();
        global_ = dir_ + "/sw_global_info.1";
        port_ = dir_ + "/port_info.1";
        pg_ = dir_ + "/pg_info.1";
        marker_ = dir_ + "/swfabric_se_dump_complete";
        pidfile_ = dir_ + "/swfabric_se_dump.pid";
    }
    ~ScratchDir()
    {
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (!dir_.empty() && std::system(cmd.c_str()) != 0)
            ADD_FAILURE() << "cannot remove " << dir_;
    }
    DumpPaths paths() const { return {global_.c_str(), port_.c_str(), pg_.c_str(), marker_.c_str(), pidfile_.c_str()}; }
    std::string file(const char* name) const { return dir_ + "/" + name; }
    static void put(const std::string& path, const std::string& text)
    {
        std::FILE* f = std::fopen(path.c_str(), "w");
        std::fputs(text.c_str(), f);
        std::fclose(f);
    }
    static bool exists(const std::string& path)
    {
        struct stat st;
        return lstat(path.c_str(), &st) == 0;
    }
    static void set_mtime(const std::string& path, time_t sec, long nsec)
    {
        const struct timespec times[2] = {{sec, nsec}, {sec, nsec}};
        utimensat(AT_FDCWD, path.c_str(), times, 0);
    }

    std::string dir_, global_, port_, pg_, marker_, pidfile_;
};

// Parser stand-ins that record what they saw.
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

ModelProfile counting_profile()
{
    return ModelProfile{42, 32768, port_labels_42, parse_count, parse_count, parse_count};
}

}  // namespace

TEST(FileChanged, FullTimestampAndMissingFile)
{
    ScratchDir dir;
    const std::string path = dir.file("f");
    FileTime last{0, 0};
    EXPECT_FALSE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.sec, 0);

    ScratchDir::put(path, "x");
    ScratchDir::set_mtime(path, 1000, 100);
    EXPECT_TRUE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.sec, 1000);
    EXPECT_EQ(last.nsec, 100);
    EXPECT_FALSE(file_changed(path.c_str(), last));

    // A new file written within the same second is still a change.
    ScratchDir::set_mtime(path, 1000, 200);
    EXPECT_TRUE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.nsec, 200);

    unlink(path.c_str());
    EXPECT_FALSE(file_changed(path.c_str(), last));
    EXPECT_EQ(last.sec, 1000);
}

TEST(Readers, ResetsBeforeEachFile)
{
    ScratchDir dir;
    const DumpPaths paths = dir.paths();
    static StatsStore store;
    store_init(store, 32768);
    MonitorState state{};
    const ModelProfile profile = counting_profile();
    g_parse_calls = 0;

    // First dump: peak 500 in the per-port file.
    ScratchDir::put(paths.port, "500\n100\n");
    ASSERT_EQ(read_port_file(state, store, profile, paths), 0);
    EXPECT_EQ(store.ports[3].pg_shared[2].current, 500u);

    // Second dump, lower: the reader resets current before parsing, max stays.
    ScratchDir::put(paths.port, "200\n");
    ScratchDir::set_mtime(paths.port, 2000, 1);
    ASSERT_EQ(read_port_file(state, store, profile, paths), 0);
    EXPECT_EQ(g_current_seen, 0u);
    EXPECT_EQ(store.ports[3].pg_shared[2].current, 200u);
    EXPECT_EQ(store.ports[3].pg_shared[2].max, 500u);

    // The priority-group reader resets nothing.
    ScratchDir::put(paths.pg, "50\n");
    ASSERT_EQ(read_pg_file(state, store, profile, paths), 0);
    EXPECT_EQ(g_current_seen, 200u);
    EXPECT_EQ(store.ports[3].pg_shared[2].current, 200u);

    // The switch-wide reader resets only total_shared.current.
    record_value(store.sw.total_shared, 900);
    ScratchDir::put(paths.global, "1\n");
    ASSERT_EQ(read_global_file(state, store, profile, paths), 0);
    EXPECT_EQ(store.sw.total_shared.current, 0u);
    EXPECT_EQ(store.sw.total_shared.max, 900u);
    EXPECT_EQ(store.ports[3].pg_shared[2].current, 201u - 1u);

    // Unchanged files are not read again.
    const int calls = g_parse_calls;
    EXPECT_EQ(read_port_file(state, store, profile, paths), 0);
    EXPECT_EQ(read_pg_file(state, store, profile, paths), 0);
    EXPECT_EQ(g_parse_calls, calls);
}

TEST(Readers, OnlyRegularFilesAreOpened)
{
    ScratchDir dir;
    const DumpPaths paths = dir.paths();
    static StatsStore store;
    store_init(store, 32768);
    record_value(store.ports[0].port_shared, 77);
    MonitorState state{};
    const ModelProfile profile = counting_profile();
    g_parse_calls = 0;

    ASSERT_EQ(mkfifo(paths.port, 0600), 0);  // would block a plain fopen
    EXPECT_EQ(read_port_file(state, store, profile, paths), -1);
    ASSERT_EQ(mkdir(paths.pg, 0700), 0);
    EXPECT_EQ(read_pg_file(state, store, profile, paths), -1);
    ScratchDir::put(dir.file("target"), "5\n");
    ASSERT_EQ(symlink(dir.file("target").c_str(), paths.global), 0);
    EXPECT_EQ(read_global_file(state, store, profile, paths), -1);

    EXPECT_EQ(g_parse_calls, 0);
    EXPECT_EQ(store.ports[0].port_shared.current, 77u);  // nothing was reset
    // The same version is not tried again.
    EXPECT_EQ(read_port_file(state, store, profile, paths), 0);
}

TEST(PidText, OnlyPlainProcessIdsAboveOne)
{
    struct Case { const char* text; int32_t pid; };
    const Case good[] = {{"123\n", 123}, {"42", 42}, {"  77 \n", 77}, {"\t2\t", 2}, {"2147483647\n", 2147483647}};
    for (const Case& c : good) {
        int32_t pid = 0;
        const char* reason = nullptr;
        EXPECT_EQ(parse_pid_text(c.text, static_cast<long>(std::strlen(c.text)), &pid, &reason), 0) << c.text;
        EXPECT_EQ(pid, c.pid) << c.text;
    }
    const char* bad[] = {"", "\n", "   ", "0", "1\n", "-1", "-5\n", "+5", "abc", "12a", "12 13", "12\n\n",
                         "12\nx", "2147483648", "99999999999999999999", "0x10", "1.5"};
    for (const char* text : bad) {
        int32_t pid = 99;
        const char* reason = nullptr;
        EXPECT_EQ(parse_pid_text(text, static_cast<long>(std::strlen(text)), &pid, &reason), -1) << text;
        EXPECT_EQ(pid, 99) << text;
        EXPECT_NE(reason, nullptr);
    }
    int32_t pid = 0;
    const char* reason = nullptr;
    EXPECT_EQ(parse_pid_text("12\0", 3, &pid, &reason), -1);  // a NUL is garbage too
}

TEST(RequestSnapshot, RemovesDumpAndReportsBadPidFile)
{
    ScratchDir dir;
    const DumpPaths paths = dir.paths();
    for (const char* p : {paths.global, paths.port, paths.pg, paths.marker})
        ScratchDir::put(p, "old\n");
    EXPECT_TRUE(snapshot_complete(paths));

    std::string err = testutil::capture_stderr([&] { EXPECT_EQ(request_snapshot(paths), 0); });
    for (const char* p : {paths.global, paths.port, paths.pg, paths.marker})
        EXPECT_FALSE(ScratchDir::exists(p)) << p;
    EXPECT_FALSE(snapshot_complete(paths));
    EXPECT_EQ(err, std::string("cellscope: ") + paths.pidfile + ": cannot open: " + std::strerror(ENOENT) + "\n");

    // Missing files are fine; a pid file of -1 or 0 signals nobody.
    for (const char* text : {"-1\n", "0\n"}) {
        ScratchDir::put(paths.pidfile, text);
        err = testutil::capture_stderr([&] { EXPECT_EQ(request_snapshot(paths), 0); });
        EXPECT_EQ(err, std::string("cellscope: ") + paths.pidfile + ": " +
                           (text[0] == '0' ? "refusing to signal process id 0 or 1" : "not a process id") + "\n");
    }
}
