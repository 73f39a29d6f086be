// The exporter's parts that need no daemon. The real program is tested end to end (tests/e2e/test_export.py),
// and what judging a head must keep whatever the bytes by the fuzz target fuzz_http.
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <set>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>

#include "export/http.h"
#include "export/metrics.h"
#include "export/options.h"
#include "export/textfile.h"
#include "helpers.h"

using namespace cellscope;
namespace fs = std::filesystem;

TEST(Export, RequestHeadsEndAtTheirFirstEmptyLine)
{
    const std::string get = "GET / HTTP/1.1";
    const struct { std::string text; size_t head; } cases[] = {
        {"", 0}, {"\n", 0}, {"\n\n", 2}, {"\r\n\r\n", 4}, {get, 0}, {get + "\r\nHost: x\r\n", 0}, {get + "\n\n", 16},
        {get + "\n\r\n", 17}, {get + "\r\n\r\nbody\r\n\r\n", 18},
        // A line of only a CR is no end yet (its LF may follow); one starting with a CR and holding more is none.
        {get + "\r\n\r", 0}, {get + "\n\r", 0}, {get + "\n\rX: y\n\n", 22}, {get + "\n\rX", 0},
        {get + "\r\n\r\r\n\r\n", 21}, {get + "\n\r\rX\n\n", 20},
    };
    for (const auto& c : cases)  // each with a LF beyond the bytes read, which counts for nothing
        EXPECT_EQ(request_head_length((c.text + "\n").data(), c.text.size()), c.head) << testing::PrintToString(c.text);
}

// Each kind of request of the fuzz target's seeds, but for those its own checks
// catch: a head with a NUL, a bare CR, or other than one empty line at its end.
TEST(Export, RequestHeadsAreJudged)
{
    constexpr Resource M = Resource::Metrics, L = Resource::Landing;
    const std::string v1 = " HTTP/1.1\r\n\r\n", field = "GET /metrics HTTP/1.1\r\n";
    const struct { std::string head; int status; Resource resource = Resource::None; } cases[] = {
        {field + "Host: x\r\nX-Authorization0: z\r\n\r\n", 200, M}, {"HEAD /metrics" + v1, 200, M},
        {"GET /metrics?a=b HTTP/1.0\n\n", 200, M}, {"GET /" + v1, 200, L}, {"HEAD /?x" + v1, 200, L},
        {"GET /metric" + v1, 404}, {"GET /metrics/x" + v1, 404}, {"HEAD /x" + v1, 404}, {"GET //h/metrics" + v1, 404},
        {"POST /metrics" + v1, 405}, {"get /metrics" + v1, 405}, {"GET /metrics\r\n\r\n", 400},
        {"GET metrics" + v1, 400}, {"GET /metrics HTTP/2.0\r\n\r\n", 400}, {"GET  /metrics" + v1, 400},
        {"GET /met rics" + v1, 400}, {"\r\n\r\n", 400}, {"G\x01T /metrics" + v1, 400},
        // Absolute form (RFC 9112 3.2.2: a server accepts it), asterisk and authority forms.
        {"GET http://host:9465/metrics HTTP/1.1\r\nHost: host:9465\r\n\r\n", 200, M}, {"GET http://h/x" + v1, 404},
        {"HEAD HTTPS://h/metrics?x=/y" + v1, 200, M}, {"GET http://h" + v1, 200, L}, {"GET *" + v1, 400},
        {"GET http://h?x" + v1, 200, L}, {"DELETE http://h/metrics" + v1, 405}, {"GET ftp://h/metrics" + v1, 400},
        {"GET http:///metrics" + v1, 400}, {"GET http://u@h/metrics" + v1, 400}, {"GET http:/metrics" + v1, 400},
        {"OPTIONS *" + v1, 405}, {"CONNECT h:443" + v1, 405}, {"CONNECT h" + v1, 400}, {"CONNECT h/x:443" + v1, 400},
        // Field lines: a token, a colon, and a value of HTAB, SP and bytes above 0x7f but no other control character.
        {field + "X:\ta b\t\xc3\xa9\r\nY:\r\n\r\n", 200, M}, {"GET /metrics HTTP/1.1\nX: a\r\n\n", 200, M},
        {field + "no colon\r\n\r\n", 400}, {field + "Host : x\r\n\r\n", 400}, {field + ": x\r\n\r\n", 400},
        {field + "X: a\r\n b\r\n\r\n", 400}, {field + "X: a\x7f\r\n\r\n", 400}, {field + "X: \x1b[2J\r\n\r\n", 400},
    };
    for (const auto& c : cases) {
        const Verdict v = judge_request(c.head.data(), c.head.size());
        const bool head = c.head.starts_with("HEAD ");
        EXPECT_EQ(std::tuple(v.status, v.resource, v.head), std::tuple(c.status, c.resource, head))
            << testing::PrintToString(c.head);
    }
}

TEST(Export, AnswerHeads)
{
    char buffer[kMaxResponseHead];
    const auto head = [&](Verdict v, long length, size_t size = kMaxResponseHead) {
        return std::string(buffer, format_response_head(buffer, size, v, length));
    };
    // A HEAD of the metrics: the length of metrics not made is left out.
    EXPECT_EQ(head({200, true, Resource::Metrics}, -1),
              "HTTP/1.1 200 OK\r\nContent-Type: text/plain; version=0.0.4; charset=utf-8\r\nConnection: close\r\n\r\n");
    EXPECT_EQ(head({200, false, Resource::Landing}, 0), "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\n"
                                                         "Content-Length: 0\r\nConnection: close\r\n\r\n");
    const std::string refusal = "HTTP/1.1 405 Method Not Allowed\r\nContent-Type: text/plain; charset=utf-8\r\n"
                                "Allow: GET, HEAD\r\nContent-Length: 19\r\nConnection: close\r\n\r\n";
    EXPECT_EQ(head({405, false, Resource::None}, 19, refusal.size() + 1), refusal);
    EXPECT_EQ(head({405, false, Resource::None}, 19, refusal.size()), "");  // no room for the terminating NUL
}

// A blocking write stops short when a signal comes: here whenever the pipe
// is full, until the answer is written whole.
TEST(Export, AnswersAreWrittenWholeThroughShortWrites)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    const auto handler = std::signal(SIGUSR1, [](int) {});
    const std::string head(100, 'h'), content = std::string(150000, 'c') + std::string(150000, 'd');
    std::string got;
    std::thread reader([&, writer = pthread_self()] {
        char chunk[70000];
        for (ssize_t n; (n = read(fds[0], chunk, sizeof chunk)) > 0; pthread_kill(writer, SIGUSR1)) {
            got.append(chunk, static_cast<size_t>(n));
            std::this_thread::sleep_for(std::chrono::milliseconds(10));  // the pipe full again
        }
    });
    EXPECT_EQ(write_answer(fds[1], head.data(), head.size(), content.data(), content.size()), 0);
    close(fds[1]);
    reader.join();
    close(fds[0]);
    std::signal(SIGUSR1, handler);
    EXPECT_TRUE(got == head + content) << got.size();
}

// Label values are escaped: the descriptions allow printable ASCII only (a
// line feed stops the build), but backslash and double quote are printable.
TEST(Export, MetricsShowTheLatestDumpAndEscapeLabelValues)
{
    static StatsStore store;
    ModelProfile m = *module_for_ports(42);
    m.model = "ZQ\"N4\\TRKW1\n";
    m.port_labels[5] = "Bay \"6\" \\ A\nB";
    store_init(store, m.cell_scale);
    record_value(store.ports[5].port_shared, 900);
    reset_port_and_group_peaks(store);
    record_value(store.ports[5].port_shared, 300);
    const auto samples = [&](const ModelProfile* profile, bool up) {  // the text without HELP and TYPE lines
        std::FILE* out = std::tmpfile();
        write_metrics(out, store, profile, up, 1733500000.25);
        std::string text, all = testutil::contents_of(out);
        std::fclose(out);
        for (size_t at = 0, end; at < all.size(); at = end + 1) {
            end = all.find('\n', at);
            if (all[at] != '#')
                text += all.substr(at, end + 1 - at);
        }
        return text;
    };
    const std::string build = "cellscope_build_info{version=\"" CELLSCOPE_VERSION "\"} 1\n",
                      module = "cellscope_module_info{model=\"ZQ\\\"N4\\\\TRKW1\\n\",ports=\"42\"} 1\n"
                               "cellscope_buffer_cells 32768\n";
    // Without a dump only the build and the module's own figures, none for a module unknown.
    EXPECT_EQ(samples(nullptr, true), "cellscope_up 0\n" + build);
    EXPECT_EQ(samples(&m, false), "cellscope_up 0\n" + build + module);
    const std::string text = samples(&m, true);
    EXPECT_EQ(text.rfind("cellscope_up 1\n" + build + module + "cellscope_dump_timestamp_seconds 1733500000.250\n"
                         "cellscope_shared_cells 0\ncellscope_shared_limit_cells 0\n", 0), 0u);
    EXPECT_NE(text.find("\ncellscope_port_shared_cells{port=\"xe5\",panel=\"Bay \\\"6\\\" \\\\ A\\nB\"} 300\n"),
              std::string::npos);
}

TEST(Export, CommandLines)
{
    const struct { std::vector<const char*> args; int result; bool http = false; int timeout = 0; } cases[] = {
        {{}, 0, false, 5}, {{"--http", "--timeout", "3600"}, 0, true, 3600}, {{"--textfile", "p", "--timeout", "1"}, 0},
        {{"--timeout", "0"}, -1}, {{"--timeout", "3601"}, -1}, {{"--timeout", "7x"}, -1}, {{"--timeout", ""}, -1},
        {{"--http", "--textfile", "p"}, -1}, {{"extra"}, -1}, {{"--bogus"}, -1}, {{"--help"}, 1}};
    for (auto c : cases) {
        c.args.insert(c.args.begin(), "cellscope-export");
        ExportOptions o;
        int got = 0;
        testutil::capture_stderr([&] {
            got = parse_export_options(static_cast<int>(c.args.size()), const_cast<char**>(c.args.data()), o);
        });
        EXPECT_EQ(got, c.result) << testing::PrintToString(c.args);
        EXPECT_TRUE(got != 0 || (o.http == c.http && (c.timeout == 0 || o.timeout.count() == c.timeout)));
    }
}

// The file replaced whole under any umask, and what is left beside it: the
// file of a writer killed is removed, but no other name or kind of file, nor
// the file of a writer at work.
TEST(Export, TheTextFileIsReplacedWholeAndOnlyLeftoversOfGoneWritersRemoved)
{
    // Writes "first"; meanwhile the old file is whole, and a second writer replaces it and sweeps the leftovers.
    const TextWriter first_beside_a_second = [](std::FILE* out, const void* path) {
        const auto file = static_cast<const char*>(path);
        std::fputs("first\n", out);
        std::fflush(out);
        EXPECT_EQ(testutil::read_file(file), "old\n");
        EXPECT_EQ(replace_file(file, [](std::FILE* f, const void*) { std::fputs("second\n", f); }, nullptr), 0);
        EXPECT_EQ(remove_leftovers(file), 0);
    };
    for (const bool unnamed : {true, false}) {
        SCOPED_TRACE(unnamed ? "unnamed temporary file" : "named temporary file");
        testutil::Scratch s;
        const std::string path = s.dir + "/m.prom", d = s.dir + "/";
        const auto names = [&] { return std::set<fs::path>(fs::directory_iterator(s.dir), {}); };
        for (const char* name : {"m.prom", "m.prom.tmp-abc", "m.prom.tmp-abcdefg", "m.prom.backup", "other.tmp-ABCDEF",
                                 "m.prom.tmp-Ab_12C", "m.prom.tmp-HELD12"})
            testutil::put(d + name, "old\n");
        ASSERT_EQ(symlink("m.prom", (d + "m.prom.tmp-LNK123").c_str()), 0);
        ASSERT_EQ(mkfifo((d + "m.prom.tmp-FIFO12").c_str(), 0644), 0);
        const auto others = names();
        const int held = open((d + "m.prom.tmp-HELD12").c_str(), O_RDONLY);
        ASSERT_EQ(flock(held, LOCK_EX), 0);  // a writer at work
        for (const char* gone : {"m.prom.tmp-Ab12Cd", "m.prom.tmp-000000"})
            testutil::put(d + gone, "cellscope_up 1\n");
        const mode_t mask = umask(077);
        EXPECT_EQ(replace_file(path.c_str(), first_beside_a_second, path.c_str(), unnamed), 0);
        umask(mask);
        EXPECT_EQ(fs::status(path).permissions(), fs::perms(0644));
        EXPECT_EQ(testutil::read_file(path), "first\n");
        EXPECT_EQ(names(), others);
        close(held);
        EXPECT_EQ(remove_leftovers(path.c_str()), 1);
        EXPECT_EQ(remove_leftovers((s.dir + "/none/m.prom").c_str()), 0);
        EXPECT_EQ(replace_file((s.dir + "/none/m.prom").c_str(), first_beside_a_second, "", unnamed), ENOENT);
        EXPECT_EQ(replace_file((s.dir + "/").c_str(), first_beside_a_second, "", unnamed), EISDIR);
    }
}
