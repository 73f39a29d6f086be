// The exporter's parts that need no daemon: judging an HTTP request head and
// the metrics text of a store. Reading a request is checked end to end.
#include "export/http.h"
#include "export/metrics.h"
#include "export/options.h"
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
    write_metrics(out, store, &m, true, 1.5);
    const std::string text = testutil::contents_of(out);
    std::fclose(out);
    for (const char* line : {"cellscope_up 1\n", "cellscope_module_info{model=\"ZQN4TRKW1\",ports=\"42\"} 1\n",
                             "cellscope_buffer_cells 32768\n", "cellscope_dump_age_seconds 1.500\n",
                             "cellscope_shared_limit_cells 512\n",
                             "\ncellscope_port_shared_cells{port=\"xe5\",label=\"Bay 6\"} 300\n",
                             "\ncellscope_pg_shared_cells{port=\"xe5\",label=\"Bay 6\",pg=\"7\"} 12\n",
                             "\ncellscope_receive_packets_total{port=\"xe5\",label=\"Bay 6\"} 4294967301\n",
                             "\ncellscope_queue_drops_total{port=\"xe40\",label=\"ISL1\",queue=\"7\"} 9\n",
                             "# TYPE cellscope_queue_drops_total counter\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line;
    EXPECT_EQ(text.find("port=\"xe29\",label=\"Q4.2\",queue"), std::string::npos);
    EXPECT_EQ(text.find("cellscope_queue_shared_cells"), std::string::npos);
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
