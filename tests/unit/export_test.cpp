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

#include <filesystem>
#include <map>
#include <thread>

using namespace cellscope;

TEST(Export, RequestHeadsEndAtTheirFirstEmptyLine)
{
    const std::string get = "GET / HTTP/1.1";
    const struct { std::string text; size_t head; } cases[] = {
        {get + "\r\n\r\n", 18}, {get + "\n\n", 16}, {get + "\n\r\n", 17}, {get + "\r\n\r\nbody\r\n\r\n", 18},
        {get + "\r\nHost: x\r\n\r\n", 27}, {get + "\r\nHost: x\r\n", 0}, {get, 0}, {"", 0}, {"\n", 0}, {"\n\n", 2},
        {"\r\n\r\n", 4},
        // A line holding only a CR is no end yet: its LF may follow.
        {get + "\r\n\r", 0}, {get + "\n\r", 0},
        // A line starting with a CR and holding more is no empty line.
        {get + "\n\rX: y\n\n", 22}, {get + "\n\rX", 0}, {get + "\r\n\r\r\n\r\n", 21}, {get + "\n\r\rX\n\n", 20},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(request_head_length(c.text.data(), c.text.size()), c.head) << testing::PrintToString(c.text);
        // What lies beyond the bytes read so far counts for nothing, a LF there neither.
        const std::string more = c.text + "\n";
        EXPECT_EQ(request_head_length(more.data(), c.text.size()), c.head) << testing::PrintToString(c.text);
    }
}

TEST(Export, RequestHeadsAreJudged)
{
    using R = Resource;
    const struct { std::string head; int status; R resource = R::None; } cases[] = {
        {"GET /metrics HTTP/1.1\r\nHost: x\r\nX-Authorization0: z\r\n\r\n", 200, R::Metrics},
        {"GET /metrics?a=b HTTP/1.0\n\n", 200, R::Metrics}, {"HEAD /metrics HTTP/1.0\r\n\r\n", 200, R::Metrics},
        {"GET / HTTP/1.1\r\n\r\n", 200, R::Landing}, {"HEAD /?x HTTP/1.1\r\n\r\n", 200, R::Landing},
        {"GET /metric HTTP/1.1\r\n\r\n", 404}, {"GET /metrics/x HTTP/1.1\r\n\r\n", 404},
        {"HEAD /x HTTP/1.1\r\n\r\n", 404}, {"GET //h/metrics HTTP/1.1\r\n\r\n", 404},
        {"POST /metrics HTTP/1.1\r\n\r\n", 405}, {"get /metrics HTTP/1.1\r\n\r\n", 405},
        // Absolute form (RFC 9112 3.2.2: a server accepts it), asterisk and authority forms.
        {"GET http://host:9465/metrics HTTP/1.1\r\nHost: host:9465\r\n\r\n", 200, R::Metrics},
        {"HEAD HTTPS://h/metrics?x=/y HTTP/1.1\r\n\r\n", 200, R::Metrics}, {"GET http://h HTTP/1.1\r\n\r\n", 200, R::Landing},
        {"GET http://h?x HTTP/1.1\r\n\r\n", 200, R::Landing}, {"GET http://h/x HTTP/1.1\r\n\r\n", 404},
        {"GET http:///metrics HTTP/1.1\r\n\r\n", 400}, {"GET http://u@h/metrics HTTP/1.1\r\n\r\n", 400},
        {"GET ftp://h/metrics HTTP/1.1\r\n\r\n", 400}, {"GET http:/metrics HTTP/1.1\r\n\r\n", 400},
        {"OPTIONS * HTTP/1.1\r\n\r\n", 405}, {"GET * HTTP/1.1\r\n\r\n", 400}, {"CONNECT h:443 HTTP/1.1\r\n\r\n", 405},
        {"CONNECT h HTTP/1.1\r\n\r\n", 400}, {"CONNECT h/x:443 HTTP/1.1\r\n\r\n", 400},
        {"GET /metrics HTTP/2.0\r\n\r\n", 400}, {"GET  /metrics HTTP/1.1\r\n\r\n", 400},
        {"GET metrics HTTP/1.1\r\n\r\n", 400}, {"GET /metrics HTTP/1.1\r\nno colon\r\n\r\n", 400},
        {"GET /met rics HTTP/1.1\r\n\r\n", 400}, {"\r\n\r\n", 400}, {"G\x01T /metrics HTTP/1.1\r\n\r\n", 400},
        {std::string("GET /metrics HTTP/1.1\r\nX\0: y\r\n\r\n", 32), 400},
        // Field values: HTAB, SP and bytes above 0x7f, but no other control character, and a CR only
        // as part of the line end.
        {"GET /metrics HTTP/1.1\r\nX:\ta b\t\xc3\xa9\r\nY:\r\n\r\n", 200, R::Metrics},
        {std::string("GET /metrics HTTP/1.1\r\nX: a\0b\r\n\r\n", 33), 400},
        {"GET /metrics HTTP/1.1\r\nX: a\rb\r\n\r\n", 400}, {"GET /metrics HTTP/1.1\r\nX: a\r\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\nX: a\r\n\n", 200, R::Metrics}, {"GET /metrics HTTP/1.1\r\nX: \x1b[2J\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\r\nX: a\x7f\r\n\r\n", 400}, {"GET /metrics HTTP/1.1\r\nX: a\x01\r\n\r\n", 400},
        // Exactly one head, ending with its empty line.
        {"GET /metrics HTTP/1.1\r\nHost: x\r\n", 400}, {"GET /metrics HTTP/1.1\r\n\r\nX: y\r\n\r\n", 400},
        {"GET /metrics HTTP/1.1\n\rX: y\n\n", 400},
    };
    for (const auto& c : cases) {
        const Verdict v = judge_request(c.head.data(), c.head.size());
        EXPECT_EQ(v.status, c.status) << testing::PrintToString(c.head);
        EXPECT_EQ(v.resource, c.resource) << testing::PrintToString(c.head);
        EXPECT_EQ(v.head, c.head.rfind("HEAD ", 0) == 0) << testing::PrintToString(c.head);
    }
}

// The fuzz target's seeds are the status matrix: each file a kind of request
// named after the status it earns, judged as the exporter judges what it read
// (its head when it has one, else all of it).
TEST(Export, TheStatusMatrixOfTheFuzzSeeds)
{
    const std::filesystem::path folder = CELLSCOPE_SOURCE_DIR "/fuzz/corpus/http";
    std::map<int, int> kinds;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        const std::string text = testutil::read_file(entry.path().string());
        const size_t head = request_head_length(text.data(), text.size());
        const int status = judge_request(text.data(), head != 0 ? head : text.size()).status;
        EXPECT_EQ(std::to_string(status), name.substr(0, 3)) << name;
        ++kinds[status];
    }
    EXPECT_EQ(kinds.size(), 4u);
}

TEST(Export, AnswerHeads)
{
    char buffer[kMaxResponseHead];
    const auto head = [&](Verdict v, long length) {
        return std::string(buffer, format_response_head(buffer, sizeof buffer, v, length));
    };
    EXPECT_EQ(head({200, false, Resource::Metrics}, 1234),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\n"
              "Content-Length: 1234\r\nConnection: close\r\n\r\n");
    // A HEAD of the metrics: the length of metrics not made is left out.
    EXPECT_EQ(head({200, true, Resource::Metrics}, -1),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head({200, false, Resource::Landing}, 10),
              "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: 10\r\n"
              "Connection: close\r\n\r\n");
    EXPECT_EQ(head({405, false, Resource::None}, 19),
              "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\nAllow: GET, HEAD\r\n"
              "Content-Length: 19\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head({404, true, Resource::None}, 10).substr(0, 24), "HTTP/1.1 404 Not Found\r\n");
    EXPECT_EQ(head({400, false, Resource::None}, 12).substr(0, 26), "HTTP/1.1 400 Bad Request\r\n");
    EXPECT_EQ(std::string(answer_content({405, false, Resource::None})), "method not allowed\n");
    const std::string page = answer_content({200, false, Resource::Landing});
    EXPECT_EQ(page.rfind("<!DOCTYPE html>\n", 0), 0u);
    EXPECT_NE(page.find("<a href=\"/metrics\">"), std::string::npos);
    EXPECT_EQ(format_response_head(buffer, 20, {405, false, Resource::None}, 19), 0u);  // too small: nothing
}

// Writing an answer through partial writes: a pipe that takes less than it
// at a time, emptied while it is written.
TEST(Export, AnswersAreWrittenWhole)
{
    int pipe_fds[2];
    ASSERT_EQ(pipe(pipe_fds), 0);
    const std::string head(100, 'h'), content(300000, 'c');
    std::string got;
    std::thread reader([&] {
        char chunk[7000];
        for (ssize_t n; (n = read(pipe_fds[0], chunk, sizeof chunk)) > 0;)
            got.append(chunk, static_cast<size_t>(n));
    });
    EXPECT_EQ(write_answer(pipe_fds[1], head.data(), head.size(), content.data(), content.size()), 0);
    close(pipe_fds[1]);
    reader.join();
    close(pipe_fds[0]);
    EXPECT_TRUE(got == head + content) << got.size();
    EXPECT_EQ(write_answer(-1, head.data(), head.size(), "", 0), EBADF);
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
