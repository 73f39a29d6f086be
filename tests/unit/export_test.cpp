// The exporter's parts that need no daemon: judging an HTTP request head,
// the metrics text of a store, replacing the text file. Reading a request is
// checked end to end.
#include <csignal>
#include <dirent.h>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include "export/http.h"
#include "export/metrics.h"
#include "export/options.h"
#include "export/textfile.h"
#include "helpers.h"

using namespace cellscope;

TEST(Export, RequestHeadsAreJudged)
{
    const struct { std::string head; int status; } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Authorization0: z\r\n\r\n", 200}, {"GET /metrics?a=b HTTP/1.0\n\n", 200},
        {"GET /metric HTTP/1.1\r\n\r\n", 404}, {"GET /metrics/x HTTP/1.1\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\n\r\n", 405}, {"HEAD /metrics HTTP/1.0\r\n\r\n", 405},
        {"GET /metrics HTTP/2.0\r\n\r\n", 400}, {"GET  /metrics HTTP/1.1\r\n\r\n", 400},
        {"GET metrics HTTP/1.1\r\n\r\n", 400}, {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", 400},
        {"GET /met rics HTTP/1.1\r\n\r\n", 400}, {"\r\n\r\n", 400}, {"G\x01T /metrics HTTP/1.1\r\n\r\n", 400},
        {std::string("GET /metrics HTTP/1.1\r\nX\0: y\r\n\r\n", 32), 400},
    };
    for (const auto& c : cases)
        EXPECT_EQ(judge_request(c.head.data(), c.head.size()), c.status) << c.head;
}

TEST(Export, MetricsShowTheLatestDumpWholeAndLeaveOutWhatIsNeverReported)
{
    static StatsStore store;
    const ModelProfile& m = *module_for_ports(42);
    store_init(store, m.cell_scale);
    record_value(store.ports[5].port_shared, 900);
    reset_port_and_group_peaks(store);
    record_value(store.ports[5].port_shared, 300);
    record_value(store.ports[5].pg_shared[7], 12);
    store.ports[5].rxpp = (1ULL << 32) + 5;
    store.ports[40].hol_drop[7] = 9;
    record_value(store.sw.shared_limit, 512);
    std::FILE* out = std::tmpfile();
    write_metrics(out, store, &m, true, 1733500000.25);
    const std::string text = testutil::contents_of(out);
    std::fclose(out);
    for (const std::string line : {"cellscope_up 1\n", "cellscope_build_info{version=\"" CELLSCOPE_VERSION "\"} 1\n",
                                   "cellscope_module_info{model=\"ZQN4TRKW1\",ports=\"42\"} 1\n",
                                   "cellscope_buffer_cells 32768\n", "cellscope_dump_timestamp_seconds 1733500000.250\n",
                                   "cellscope_shared_limit_cells 512\n",
                                   "\ncellscope_port_shared_cells{port=\"xe5\",panel=\"Bay 6\"} 300\n",
                                   "\ncellscope_pg_shared_cells{port=\"xe5\",panel=\"Bay 6\",pg=\"7\"} 12\n",
                                   "\ncellscope_receive_packets_total{port=\"xe5\",panel=\"Bay 6\"} 4294967301\n",
                                   "\ncellscope_queue_dropped_packets_total{port=\"xe40\",panel=\"ISL1\",queue=\"7\"} 9\n",
                                   "# TYPE cellscope_queue_dropped_packets_total counter\n",
                                   "# TYPE cellscope_ingress_dropped_packets_total counter\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("port=\"xe29\",panel=\"Q4.2\",queue"), std::string::npos);
    EXPECT_EQ(text.find("cellscope_queue_shared_cells"), std::string::npos);
    EXPECT_EQ(text.find("label="), std::string::npos);
}

TEST(Export, WithoutADumpOnlyTheBuildAndTheModule)
{
    static StatsStore store;
    const ModelProfile& m = *module_for_ports(24);
    store_init(store, m.cell_scale);
    std::FILE* out = std::tmpfile();
    write_metrics(out, store, &m, false, 0);
    write_metrics(out, store, nullptr, true, 0);
    std::string samples;
    for (std::string line; const char c : testutil::contents_of(out)) {
        line += c;
        if (c == '\n' && line[0] != '#')
            samples += line;
        if (c == '\n')
            line.clear();
    }
    std::fclose(out);
    EXPECT_EQ(samples, "cellscope_up 0\ncellscope_build_info{version=\"" CELLSCOPE_VERSION "\"} 1\n"
                       "cellscope_module_info{model=\"ZQTRKW1\",ports=\"24\"} 1\ncellscope_buffer_cells 16384\n"
                       "cellscope_up 0\ncellscope_build_info{version=\"" CELLSCOPE_VERSION "\"} 1\n");
}

TEST(Export, LabelValuesAreEscaped)
{
    // The descriptions allow printable ASCII only (a line feed stops the
    // build), but backslash and double quote are printable.
    static StatsStore store;
    ModelProfile m = *module_for_ports(24);
    m.model = "ZQ\"T\\R\nK";
    m.port_labels[1] = "Bay \"9\" \\ A\nB";
    store_init(store, m.cell_scale);
    std::FILE* out = std::tmpfile();
    write_metrics(out, store, &m, true, 0);
    const std::string text = testutil::contents_of(out);
    std::fclose(out);
    EXPECT_NE(text.find("cellscope_module_info{model=\"ZQ\\\"T\\\\R\\nK\",ports=\"24\"} 1\n"), std::string::npos);
    EXPECT_NE(text.find("\ncellscope_port_shared_cells{port=\"xe1\",panel=\"Bay \\\"9\\\" \\\\ A\\nB\"} 0\n"),
              std::string::npos);
}

TEST(Export, CommandLines)
{
    const struct { std::vector<std::string> args; int result; bool http = false; int timeout = 0; } cases[] = {
        {{}, 0, false, 5}, {{"--http", "--timeout", "3600"}, 0, true, 3600}, {{"--textfile", "p", "--timeout", "1"}, 0},
        {{"--timeout", "0"}, -1}, {{"--timeout", "3601"}, -1}, {{"--timeout", "7x"}, -1}, {{"--timeout", ""}, -1},
        {{"--http", "--textfile", "p"}, -1}, {{"extra"}, -1}, {{"--bogus"}, -1}, {{"--help"}, 1}};
    for (const auto& c : cases) {
        std::vector<char*> argv{const_cast<char*>("cellscope-export")};
        for (const std::string& a : c.args)
            argv.push_back(const_cast<char*>(a.c_str()));
        ExportOptions o;
        int got = 0;
        testutil::capture_stderr([&] { got = parse_export_options(static_cast<int>(argv.size()), argv.data(), o); });
        EXPECT_EQ(got, c.result) << c.args.size();
        EXPECT_TRUE(got != 0 || (o.http == c.http && (c.timeout == 0 || o.timeout.count() == c.timeout)));
    }
}

namespace {

// The names in a folder.
std::set<std::string> names_in(const std::string& dir)
{
    std::set<std::string> names;
    DIR* d = opendir(dir.c_str());
    while (const dirent* e = d != nullptr ? readdir(d) : nullptr) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
            names.insert(e->d_name);
    }
    if (d != nullptr)
        closedir(d);
    return names;
}

void write_text(std::FILE* out, const void* text)
{
    std::fputs(static_cast<const char*>(text), out);
}

// Writes half, then the writer is killed.
void write_and_die(std::FILE* out, const void*)
{
    std::fputs("cellscope_up 1\n", out);
    std::fflush(out);
    raise(SIGKILL);
}

// Writes, says so on the first pipe, then waits for a byte on the second.
int g_wrote[2], g_go_on[2];
void write_and_wait(std::FILE* out, const void* text)
{
    std::fputs(static_cast<const char*>(text), out);
    std::fflush(out);
    char byte = 0;
    EXPECT_EQ(write(g_wrote[1], "w", 1), 1);
    EXPECT_EQ(read(g_go_on[0], &byte, 1), 1);
}

bool unnamed_files_here(const std::string& dir)
{
    const int fd = open(dir.c_str(), O_TMPFILE | O_WRONLY, 0600);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

}  // namespace

TEST(Export, TheTextFileIsReplacedWhole)
{
    for (const bool unnamed : {true, false}) {
        testutil::Scratch s;
        const std::string path = s.dir + "/m.prom";
        testutil::put(path, "old\n");
        const mode_t mask = umask(077);
        EXPECT_EQ(replace_file(path.c_str(), write_text, "new\n", unnamed), 0);
        umask(mask);
        struct stat st{};
        EXPECT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 07777, 0644u);
        EXPECT_EQ(testutil::read_file(path), "new\n");
        EXPECT_EQ(names_in(s.dir), std::set<std::string>{"m.prom"});
        EXPECT_EQ(replace_file((s.dir + "/none/m.prom").c_str(), write_text, "", unnamed), ENOENT);
        EXPECT_EQ(replace_file((s.dir + "/").c_str(), write_text, "", unnamed), EISDIR);
    }
}

TEST(Export, AWriterKilledMidWriteLeavesNothingOnceTheNextIsDone)
{
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
        testutil::Scratch s;
        const std::string path = s.dir + "/m.prom";
        testutil::put(path, "old\n");
        const pid_t child = fork();
        if (child == 0)
            _exit(replace_file(path.c_str(), write_and_die, nullptr, unnamed) + 100);  // never returns
        int status = 0;
        ASSERT_EQ(waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_EQ(testutil::read_file(path), "old\n");
        const std::set<std::string> left = names_in(s.dir);
        if (unnamed && unnamed_files_here(s.dir)) {
            EXPECT_EQ(left, std::set<std::string>{"m.prom"});  // nothing at all
        } else {
            ASSERT_EQ(left.size(), 2u);  // the killed writer's file, PATH.tmp-XXXXXX
            EXPECT_EQ(left.rbegin()->substr(0, 11), "m.prom.tmp-");
            EXPECT_EQ(left.rbegin()->size(), 17u);
        }
        EXPECT_EQ(replace_file(path.c_str(), write_text, "new\n", unnamed), 0);
        EXPECT_EQ(names_in(s.dir), std::set<std::string>{"m.prom"});
        EXPECT_EQ(testutil::read_file(path), "new\n");
    }
}

TEST(Export, ARunningWritersFileIsLeftAlone)
{
    testutil::Scratch s;
    const std::string path = s.dir + "/m.prom";
    ASSERT_EQ(pipe(g_wrote), 0);
    ASSERT_EQ(pipe(g_go_on), 0);
    const pid_t child = fork();
    if (child == 0)
        _exit(replace_file(path.c_str(), write_and_wait, "first\n", false));
    char byte = 0;
    ASSERT_EQ(read(g_wrote[0], &byte, 1), 1);  // its file written, named, not renamed yet
    ASSERT_EQ(names_in(s.dir).size(), 1u);
    EXPECT_EQ(replace_file(path.c_str(), write_text, "second\n"), 0);
    EXPECT_EQ(names_in(s.dir).size(), 2u);  // its file and the second's
    EXPECT_EQ(remove_leftovers(path.c_str()), 0);
    EXPECT_EQ(write(g_go_on[1], "g", 1), 1);
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    EXPECT_EQ(testutil::read_file(path), "first\n");
    EXPECT_EQ(names_in(s.dir), std::set<std::string>{"m.prom"});
    for (const int fd : {g_wrote[0], g_wrote[1], g_go_on[0], g_go_on[1]})
        close(fd);
}

TEST(Export, OnlyLeftoversOfGoneWritersAreRemoved)
{
    testutil::Scratch s;
    const std::string path = s.dir + "/m.prom", d = s.dir + "/";
    const std::set<std::string> others = {"m.prom",           "m.prom.tmp-abc",    "m.prom.tmp-abcdefg", "m.prom.backup",
                                          "other.tmp-ABCDEF", "m.prom.tmp-Ab_12C", "m.prom.tmp-DIR123",  "m.prom.tmp-LNK123",
                                          "m.prom.tmp-FIFO12", "m.prom.tmp-HELD12"};
    for (const std::string& name : others)
        testutil::put(d + name, "x\n");
    unlink((d + "m.prom.tmp-DIR123").c_str());
    unlink((d + "m.prom.tmp-LNK123").c_str());
    unlink((d + "m.prom.tmp-FIFO12").c_str());
    ASSERT_EQ(mkdir((d + "m.prom.tmp-DIR123").c_str(), 0755), 0);
    ASSERT_EQ(symlink("m.prom", (d + "m.prom.tmp-LNK123").c_str()), 0);
    ASSERT_EQ(mkfifo((d + "m.prom.tmp-FIFO12").c_str(), 0644), 0);
    const int held = open((d + "m.prom.tmp-HELD12").c_str(), O_RDONLY);
    ASSERT_EQ(flock(held, LOCK_EX), 0);  // a writer at work
    for (const char* gone : {"m.prom.tmp-Ab12Cd", "m.prom.tmp-000000"})
        testutil::put(d + gone, "cellscope_up 1\n");
    EXPECT_EQ(remove_leftovers(path.c_str()), 2);
    EXPECT_EQ(names_in(s.dir), others);
    close(held);
    EXPECT_EQ(remove_leftovers(path.c_str()), 1);
    EXPECT_EQ(remove_leftovers((s.dir + "/none/m.prom").c_str()), 0);
}
