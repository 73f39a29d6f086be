// Views: complete reports for the three modules, the frame on standard
// output, the line-erase text and the number formats.
//
// Expected text is built here from the documented layouts with plain string
// operations (no printf formats shared with the renderers).
#include <gtest/gtest.h>

#include <cstdlib>
#include <fcntl.h>
#include <string>
#include <unistd.h>
#include <vector>

#include "models/profile.h"
#include "store/store.h"
#include "test_helpers.h"
#include "views/views.h"

using namespace cellscope;

namespace {

// ---- capture of standard output and of a report stream ----------------

class StdoutCapture {
public:
    StdoutCapture()
    {
        const char* dir = std::getenv("TMPDIR");
        path_ = std::string(dir ? dir : "/tmp") + "/cellscope-views-XXXXXX";
        int fd = mkstemp(path_.data());
        std::fflush(stdout);
        saved_ = dup(1);
        dup2(fd, 1);
        close(fd);
    }
    ~StdoutCapture() { text(); }
    std::string text()
    {
        if (saved_ >= 0) {
            std::fflush(stdout);
            dup2(saved_, 1);
            close(saved_);
            saved_ = -1;
            text_ = testutil::read_file(path_);
            unlink(path_.c_str());
        }
        return text_;
    }

private:
    int saved_ = -1;
    std::string path_;
    std::string text_;
};

std::string read_stream(std::FILE* f)
{
    std::fflush(f);
    std::rewind(f);
    std::string out;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    return out;
}

struct Output {
    std::string report;    // what the report stream received
    std::string terminal;  // what standard output received
};

// Runs fn(ctx) with the report stream either standard output or a file.
template <typename Fn>
Output render(const StatsStore& store, const ModelProfile& profile, bool batch, bool report_is_stdout, Fn fn)
{
    std::FILE* file = report_is_stdout ? nullptr : std::tmpfile();
    MonitorState state{};
    state.batch = batch ? 1 : 0;
    Output out;
    {
        StdoutCapture capture;
        state.report = report_is_stdout ? stdout : file;
        fn(ViewContext{state, store, profile});
        out.terminal = capture.text();
    }
    if (file != nullptr) {
        out.report = read_stream(file);
        std::fclose(file);
    } else {
        out.report = out.terminal;
    }
    return out;
}

std::string batch_report(const StatsStore& store, const ModelProfile& profile)
{
    return render(store, profile, true, false, [](const ViewContext& c) { render_all_views(c); }).report;
}

// ---- the three modules ---------------------------------------------------

struct Module {
    const char* name;
    ModelProfile profile;
    int report_lines;
    const char* last_label;
};

const Module kModules[] = {
    {"42-port", {42, 32768, port_labels_42, nullptr, nullptr, nullptr}, 881, "ISL2"},
    {"24-port", {24, 16384, port_labels_24, nullptr, nullptr, nullptr}, 521, "X6"},
    {"30-port", {30, 32768, port_labels_30, nullptr, nullptr, nullptr}, 641, "ISL4"},
};

// Bucket bounds in cells, as tabulated for each cell scale.
std::vector<uint32_t> thresholds(uint32_t scale)
{
    if (scale == 16384)
        return {163, 819, 1638, 3276, 8192, 9830, 11468, 13107, 14745, 16384};
    return {327, 1638, 3276, 6553, 16384, 19660, 22937, 26214, 29491, 32768};
}

// ---- what the filled store holds ------------------------------------------
//
// Usage record r of slot p: r 0 is port_shared, 1 to 8 pg_shared[0..7],
// 9 to 16 queue_shared[0..7]. Each gets a distinct peak (at or above the
// cell scale, so in no bucket), then after a reset a distinct latest value
// in the 90 % bucket, and per bucket a number of values from the bucket's
// lower bound.

struct Plan {
    bool filled;
    uint32_t scale;

    static uint32_t code(int p, int r) { return (static_cast<uint32_t>(p) << 5) + static_cast<uint32_t>(r); }
    uint32_t peak(int p, int r) const { return filled ? scale + code(p, r) : 0; }
    uint32_t latest(int p, int r) const { return filled ? scale - 1 - code(p, r) : 0; }
    static uint32_t fills(int p, int r, int b)
    {
        return b == 0 ? 1 + static_cast<uint32_t>(p * 17 + r) : static_cast<uint32_t>((p + r + b) % 4);
    }
    uint32_t hits(int p, int r, int b) const
    {
        if (!filled)
            return 0;
        return fills(p, r, b) + (b == 9 ? 1 : 0);  // the latest value
    }

    uint32_t total_peak() const { return filled ? scale + 0x123 : 0; }
    uint32_t total_latest() const { return filled ? scale - 5 : 0; }
    uint32_t total_hits(int b) const { return filled ? static_cast<uint32_t>(b * 3 + 2) + (b == 9 ? 1 : 0) : 0; }
    uint32_t limit() const { return filled ? 0x12345 : 0; }

    // Counter c of slot p: 0 ibp_drop, 1 to 8 hol_drop[0..7], 9 rxpp, 10 txpp.
    // High halves are set so that only the low 32 bits may show.
    uint64_t counter(int p, int c) const
    {
        if (!filled)
            return 0;
        const uint64_t low = 0x10000000ull * static_cast<uint64_t>(c + 1) + static_cast<uint64_t>(p << 8) + 0xab;
        return (static_cast<uint64_t>(c + 1 + p) << 32) | low;
    }
};

UsageRecord& record_of(PortStats& port, int r)
{
    if (r == 0)
        return port.port_shared;
    if (r <= 8)
        return port.pg_shared[r - 1];
    return port.queue_shared[r - 9];
}

void fill(StatsStore& store, const Plan& plan)
{
    store_init(store, plan.scale);
    if (!plan.filled)
        return;
    const std::vector<uint32_t> t = thresholds(plan.scale);
    for (int p = 0; p < kMaxPorts; ++p) {
        for (int r = 0; r < 17; ++r) {
            UsageRecord& rec = record_of(store.ports[p], r);
            for (int b = 0; b < kBuckets; ++b)
                for (uint32_t i = 0; i < Plan::fills(p, r, b); ++i)
                    record_value(rec, b == 0 ? 0 : t[b - 1]);
            record_value(rec, plan.peak(p, r));
        }
        PortStats& port = store.ports[p];
        port.ibp_drop = plan.counter(p, 0);
        for (int k = 0; k < kGroups; ++k)
            port.hol_drop[k] = plan.counter(p, 1 + k);
        port.rxpp = plan.counter(p, 9);
        port.txpp = plan.counter(p, 10);
    }
    store_reset_ports(store);
    for (int p = 0; p < kMaxPorts; ++p)
        for (int r = 0; r < 17; ++r)
            record_value(record_of(store.ports[p], r), plan.latest(p, r));

    UsageRecord& total = store.sw.total_shared;
    for (int b = 0; b < kBuckets; ++b)
        for (int i = 0; i < b * 3 + 2; ++i)
            record_value(total, b == 0 ? 0 : t[b - 1]);
    record_value(total, plan.total_peak());
    store_reset_global(store);
    record_value(total, plan.total_latest());
    record_value(store.sw.shared_limit, plan.limit());
}

// ---- expected text ---------------------------------------------------------

std::string hex(uint64_t v, size_t width)
{
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdef"[v % 16]);
        v /= 16;
    } while (v != 0);
    if (digits.size() < width)
        digits.insert(0, width - digits.size(), '0');
    return digits;
}

std::string dec2(int v) { return (v < 10 ? "0" : "") + std::to_string(v); }

const std::string kPercentLine =
    "       1%       5%      10%      20%      50%      60%      70%      80%      90%     100%";

// The content of each of the 22 views, erase being the line-erase text.
std::vector<std::string> expected_views(const Plan& plan, const ModelProfile& profile, const std::string& erase)
{
    std::vector<std::string> v(22);
    const int n = profile.port_count;
    auto label = [&](int p) { return std::string(profile.port_labels[p]); };

    v[0] = "Total Shared Count: " + hex(plan.total_latest(), 4) + ", Max: " + hex(plan.total_peak(), 4) +
           " Limit: " + hex(plan.limit(), 4) + " \n";

    v[1] = "PID PShr PSMx PG0S PG0SM PG1S PG1SM PG2S PG2SM PG3S PG3SM PG4S PG4SM PG5S PG5SM "
           "PG6S PG6SM PG7S PG7SM Port Name " + erase + "\n";
    v[2] = "PID PShr PSMx Q0SZ Q0SM Q1SZ Q1SM Q2SZ Q2SM Q3SZ Q3SM Q4SZ Q4SM Q5SZ Q5SM "
           "Q6SZ Q6SM Q7SZ Q7SM  Port Name " + erase + "\n";
    v[3] = "PID ibpdrop  holdrp0  holdrp1  holdrp2  holdrp3  holdrp4  holdrp5  holdrp6  "
           "holdrp7  txpp     rxpp   Port Name " + erase + "\n";
    for (int p = 0; p < n; ++p) {
        std::string pg = dec2(p) + "  " + hex(plan.latest(p, 0), 4) + " " + hex(plan.peak(p, 0), 4);
        for (int k = 0; k < 8; ++k)
            pg += (k == 0 ? " " : "  ") + hex(plan.latest(p, 1 + k), 4) + " " + hex(plan.peak(p, 1 + k), 4);
        v[1] += pg + "  " + label(p) + "\n";

        std::string q = dec2(p) + "  " + hex(plan.latest(p, 0), 4) + " " + hex(plan.peak(p, 0), 4);
        for (int k = 0; k < 8; ++k)
            q += " " + hex(plan.latest(p, 9 + k), 4) + " " + hex(plan.peak(p, 9 + k), 4);
        v[2] += q + " " + label(p) + "\n";

        std::string d = dec2(p) + " ";
        for (int c : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 9})  // transmit before receive
            d += " " + hex(plan.counter(p, c) & 0xffffffffu, 8);
        v[3] += d + " " + label(p) + "\n";
    }

    v[4] = "Total shared memory usage:\n" + kPercentLine + erase + "\n" + erase;
    for (int b = 0; b < 10; ++b)
        v[4] += " " + hex(plan.total_hits(b), 8);
    v[4] += "\n";

    for (int view = 5; view < 22; ++view) {
        const int r = view - 5;  // port, pg0..7, q0..7: the record order of the plan
        std::string title = view == 5   ? "Port shared memory usage:"
                            : view < 14 ? "PG" + std::to_string(view - 6) + " shared memory usage:"
                                        : "Egress Q" + std::to_string(view - 14) + " shared memory usage:";
        v[view] = title + "\n" + kPercentLine + erase + "\n";
        for (int p = 0; p < n; ++p) {
            v[view] += erase + "xe" + std::to_string(p) + " ";
            for (int b = 0; b < 10; ++b)
                v[view] += " " + hex(plan.hits(p, r, b), 8);
            v[view] += " " + label(p) + "\n";
        }
    }
    return v;
}

std::string joined(const std::vector<std::string>& parts)
{
    std::string all;
    for (const std::string& s : parts)
        all += s;
    return all;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < text.size()) {
        size_t nl = text.find('\n', start);
        if (nl == std::string::npos) {
            lines.push_back(text.substr(start));
            break;
        }
        lines.push_back(text.substr(start, nl - start));
        start = nl + 1;
    }
    return lines;
}

// Line-by-line comparison that names the first differing line.
void expect_same_text(const std::string& actual, const std::string& expected, const std::string& what)
{
    const std::vector<std::string> a = lines_of(actual), e = lines_of(expected);
    for (size_t i = 0; i < a.size() && i < e.size(); ++i) {
        if (a[i] != e[i]) {
            ADD_FAILURE() << what << ": line " << i + 1 << " differs\n  actual:   [" << a[i] << "]\n  expected: [" << e[i] << "]";
            return;
        }
    }
    EXPECT_EQ(a.size(), e.size()) << what;
    EXPECT_EQ(actual, expected) << what;  // trailing newline and the like
}

StatsStore g_view_store;

}  // namespace

// ---- complete batch reports -------------------------------------------------

TEST(ViewsBatchReport, AllModulesEmptyAndFilledStore)
{
    for (const Module& m : kModules) {
        for (bool filled : {false, true}) {
            const Plan plan{filled, m.profile.cell_scale};
            fill(g_view_store, plan);
            const std::string what = std::string(m.name) + (filled ? " filled" : " empty");
            const Output out =
                render(g_view_store, m.profile, true, false, [](const ViewContext& c) { EXPECT_EQ(render_all_views(c), 0); });
            EXPECT_EQ(out.terminal, "") << what;  // batch mode: no frame
            EXPECT_EQ(lines_of(out.report).size(), static_cast<size_t>(m.report_lines)) << what;
            expect_same_text(out.report, joined(expected_views(plan, m.profile, "")), what);
            EXPECT_EQ(out.report.find('\033'), std::string::npos) << what;
        }
    }
}

TEST(ViewsBatchReport, LiteralRowsOfEachModule)
{
    for (const Module& m : kModules) {
        fill(g_view_store, Plan{false, m.profile.cell_scale});
        const std::vector<std::string> lines = lines_of(batch_report(g_view_store, m.profile));
        const size_t n = static_cast<size_t>(m.profile.port_count);
        // view 1: header at line 2, rows follow
        EXPECT_EQ(lines[2], "00  0000 0000 0000 0000  0000 0000  0000 0000  0000 0000  0000 0000  0000 0000  "
                            "0000 0000  0000 0000  Bay 1") << m.name;
        EXPECT_EQ(lines[1 + n].substr(0, 2), std::to_string(n - 1)) << m.name;
        EXPECT_TRUE(lines[1 + n].ends_with(std::string("  ") + m.last_label)) << m.name;
        // view 5 begins after views 0 to 4: 1 + 3 * (1 + n) + 3 lines
        const size_t v5 = 1 + 3 * (1 + n) + 3;
        EXPECT_EQ(lines[v5], "Port shared memory usage:") << m.name;
        EXPECT_EQ(lines[v5 + 2].substr(0, 5), "xe0  ") << m.name;
        EXPECT_TRUE(lines[v5 + 1 + n].ends_with(std::string(" ") + m.last_label)) << m.name;
    }
    // The 24-port module's bays alternate: slot 1 is Bay 9, slot 16 is X1, slot 17 X8.
    fill(g_view_store, Plan{false, 16384});
    const std::vector<std::string> lines = lines_of(batch_report(g_view_store, kModules[1].profile));
    EXPECT_TRUE(lines[3].ends_with("  Bay 9"));
    EXPECT_TRUE(lines[18].ends_with("  X1"));
    EXPECT_TRUE(lines[19].ends_with("  X8"));
    const size_t v5 = 1 + 3 * 25 + 3;
    EXPECT_EQ(lines[v5 + 3],
              "xe1  00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 Bay 9");
}

// ---- number formats ------------------------------------------------------------

TEST(ViewsFormat, SummaryLine)
{
    const ModelProfile& profile = kModules[0].profile;
    fill(g_view_store, Plan{false, 32768});
    auto summary = [&] {
        return render(g_view_store, profile, true, false, [](const ViewContext& c) { render_summary(c); }).report;
    };
    EXPECT_EQ(summary(), "Total Shared Count: 0000, Max: 0000 Limit: 0000 \n");

    record_value(g_view_store.sw.total_shared, 0x3ff);
    store_reset_global(g_view_store);
    record_value(g_view_store.sw.total_shared, 0x1a2);
    record_value(g_view_store.sw.shared_limit, 0x4000);
    EXPECT_EQ(summary(), "Total Shared Count: 01a2, Max: 03ff Limit: 4000 \n");

    record_value(g_view_store.sw.total_shared, 0xabcde);
    EXPECT_EQ(summary(), "Total Shared Count: abcde, Max: abcde Limit: 4000 \n");
}

TEST(ViewsFormat, CountersShowLow32BitsOnly)
{
    const ModelProfile& profile = kModules[0].profile;
    fill(g_view_store, Plan{false, 32768});
    g_view_store.ports[7].ibp_drop = 5;
    g_view_store.ports[3].hol_drop[2] = (1ull << 32) + 5;
    g_view_store.ports[3].hol_drop[5] = 1ull << 32;
    g_view_store.ports[3].txpp = 0xffffffffffffffffull;
    g_view_store.ports[3].rxpp = 0x80000000ull;
    const std::vector<std::string> lines = lines_of(
        render(g_view_store, profile, true, false, [](const ViewContext& c) { render_drop_summary(c); }).report);
    ASSERT_EQ(lines.size(), 43u);
    EXPECT_EQ(lines[8], "07  00000005 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 "
                        "00000000 00000000 Bay 8");
    EXPECT_EQ(lines[4], "03  00000000 00000000 00000000 00000005 00000000 00000000 00000000 00000000 00000000 "
                        "ffffffff 80000000 Bay 4");
}

TEST(ViewsFormat, WideUsageValuesShiftTheRow)
{
    const ModelProfile& profile = kModules[0].profile;
    fill(g_view_store, Plan{false, 32768});
    record_value(g_view_store.ports[0].port_shared, 0x10000);  // above the cell scale: no bucket
    record_value(g_view_store.ports[0].queue_shared[7], 0x123456);
    const Output out = render(g_view_store, profile, true, false, [](const ViewContext& c) {
        render_pg_summary(c);
        render_queue_summary(c);
        render_port_histogram(c);
    });
    const std::vector<std::string> lines = lines_of(out.report);
    EXPECT_EQ(lines[1], "00  10000 10000 0000 0000  0000 0000  0000 0000  0000 0000  0000 0000  0000 0000  "
                        "0000 0000  0000 0000  Bay 1");
    EXPECT_EQ(lines[44], "00  10000 10000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 "
                         "123456 123456 Bay 1");
    EXPECT_EQ(lines[88],
              "xe0  00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 Bay 1");
}

TEST(ViewsFormat, HistogramRowAndBucketEdges)
{
    const ModelProfile& profile = kModules[0].profile;
    fill(g_view_store, Plan{false, 32768});
    for (int i = 0; i < 3; ++i)
        record_value(g_view_store.ports[0].port_shared, 326);
    record_value(g_view_store.ports[1].port_shared, 32767);
    record_value(g_view_store.ports[1].port_shared, 32768);  // 100 %: no column
    const std::vector<std::string> lines = lines_of(
        render(g_view_store, profile, true, false, [](const ViewContext& c) { render_port_histogram(c); }).report);
    ASSERT_EQ(lines.size(), 44u);
    EXPECT_EQ(lines[1], kPercentLine);
    EXPECT_EQ(lines[2],
              "xe0  00000003 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 Bay 1");
    EXPECT_EQ(lines[3],
              "xe1  00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000001 Bay 2");
}

// ---- interactive frame ------------------------------------------------------------

TEST(ViewsInteractive, SummaryFrameOnStandardOutput)
{
    fill(g_view_store, Plan{false, 32768});
    const Output out = render(g_view_store, kModules[0].profile, false, true, [](const ViewContext& c) { render_view(c, 0); });
    EXPECT_EQ(out.terminal, "\033[H\033[KTotal Shared Count: 0000, Max: 0000 Limit: 0000 \n\033[H");
}

TEST(ViewsInteractive, AllViewsToStandardOutputInOrder)
{
    for (const Module& m : kModules) {
        const Plan plan{true, m.profile.cell_scale};
        fill(g_view_store, plan);
        std::string expected;
        for (const std::string& content : expected_views(plan, m.profile, "\033[K"))
            expected += "\033[H\033[K" + content + "\033[H";
        const Output out = render(g_view_store, m.profile, false, true, [](const ViewContext& c) { render_all_views(c); });
        expect_same_text(out.terminal, expected, m.name);
    }
}

TEST(ViewsInteractive, ReportFileGetsContentTerminalGetsFrames)
{
    const Module& m = kModules[1];
    const Plan plan{true, m.profile.cell_scale};
    fill(g_view_store, plan);
    const Output out = render(g_view_store, m.profile, false, false, [](const ViewContext& c) { render_all_views(c); });
    std::string frames;
    for (uint32_t v = 0; v < kViewCount; ++v)
        frames += "\033[H\033[K\033[H";
    EXPECT_EQ(out.terminal, frames);
    expect_same_text(out.report, joined(expected_views(plan, m.profile, "\033[K")), "report file");
    EXPECT_EQ(out.report.find("\033[H"), std::string::npos);
    EXPECT_EQ(out.report.rfind("Total Shared Count: ", 0), 0u);
    // Histogram rows start with the erase sequence; table rows hold none.
    const std::vector<std::string> lines = lines_of(out.report);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 13), "Port Name \033[K");
    EXPECT_EQ(lines[2].find('\033'), std::string::npos);
    EXPECT_EQ(lines[76], "Total shared memory usage:");
    EXPECT_EQ(lines[77], kPercentLine + "\033[K");
    EXPECT_EQ(lines[78].rfind("\033[K 00000002 00000005 ", 0), 0u);
    EXPECT_EQ(lines[81].rfind("\033[Kxe0  ", 0), 0u);
}

TEST(ViewsInteractive, ViewsOutOfRangeWriteNothing)
{
    fill(g_view_store, Plan{true, 32768});
    for (bool to_stdout : {true, false}) {
        const Output out = render(g_view_store, kModules[0].profile, false, to_stdout, [](const ViewContext& c) {
            for (uint32_t view : {22u, 23u, 100u, 0x80000000u, 0xffffffffu})
                render_view(c, view);
            render_pg_histogram(c, 8);
            render_queue_histogram(c, 8);
            print_histogram_row(c, -1, c.store.ports[0].port_shared);
            print_histogram_row(c, kMaxPorts, c.store.ports[0].port_shared);
        });
        EXPECT_EQ(out.terminal, "");
        EXPECT_EQ(out.report, "");
    }
}
