// Views: complete reports for the three modules, the frame on standard
// output, the line-erase text and the number formats. Expected text is built
// here from the documented layouts with plain string operations, sharing no
// printf formats with the renderers.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "models/profile.h"
#include "store/store.h"
#include "test_helpers.h"
#include "views/views.h"

using namespace cellscope;

namespace {

struct Output {
    std::string report;    // what the report stream received
    std::string terminal;  // what standard output received
};

// Runs fn(ctx) with the report stream either standard output or a file.
template <typename Fn>
Output render(const StatsStore& store, const ModelProfile& profile, bool batch, bool report_is_stdout, Fn fn)
{
    std::FILE* file = report_is_stdout ? stdout : std::tmpfile();
    const MonitorState state{file, batch ? 1 : 0, 0, {}, {}, {}};
    Output out;
    {
        testutil::FdCapture capture(1);
        fn(ViewContext{state, store, profile});
        out.terminal = capture.text();
    }
    out.report = out.terminal;
    if (!report_is_stdout) {
        out.report = testutil::contents_of(file);
        std::fclose(file);
    }
    return out;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, nl; start < text.size(); start = nl + 1) {
        nl = std::min(text.find('\n', start), text.size());
        lines.push_back(text.substr(start, nl - start));
    }
    return lines;
}

struct Module {
    const char* name;
    ModelProfile profile;
    size_t report_lines;
};

const Module kModules[] = {
    {"42-port", {42, 32768, port_labels_42, nullptr, nullptr, nullptr}, 881},
    {"24-port", {24, 16384, port_labels_24, nullptr, nullptr, nullptr}, 521},
    {"30-port", {30, 32768, port_labels_30, nullptr, nullptr, nullptr}, 641},
};

// ---- what the filled store holds
//
// Usage record r of slot p: 0 port_shared, 1 to 8 pg_shared[0..7], 9 to 16
// queue_shared[0..7]. Each gets a distinct peak at or above the cell scale
// (in no bucket, up to seven hex digits wide), then after a reset a distinct
// peak in the 90 % bucket and a last sample of 0, and per bucket a number of
// values from the bucket's lower bound.
struct Plan {
    bool filled;
    uint32_t scale;

    static uint32_t code(int p, int r) { return (static_cast<uint32_t>(p) << 5) + static_cast<uint32_t>(r); }
    static uint32_t fills(int p, int r, int b) { return static_cast<uint32_t>(b == 0 ? 1 + p * 17 + r : (p + r + b) % 4); }
    uint32_t peak(int p, int r) const { return filled ? (scale << (p % 8)) + code(p, r) : 0; }
    uint32_t current(int p, int r) const { return filled ? scale - 1 - code(p, r) : 0; }
    uint32_t hits(int p, int r, int b) const { return filled ? fills(p, r, b) + (b == 0 || b == 9 ? 1 : 0) : 0; }
    uint32_t total_peak() const { return filled ? scale + 0x123 : 0; }
    uint32_t total_current() const { return filled ? scale - 5 : 0; }
    uint32_t total_hits(int b) const { return filled ? static_cast<uint32_t>(b * 3 + 2 + (b == 0 || b == 9)) : 0; }
    uint32_t limit() const { return filled ? 0x12345 : 0; }
    // Counter c of slot p: 0 ibp_drop, 1 to 8 hol_drop[0..7], 9 rxpp, 10 txpp;
    // the high halves are set so that only the low 32 bits may show.
    uint64_t counter(int p, int c) const
    {
        const uint64_t low = 0x10000000ull * static_cast<uint64_t>(c + 1) + static_cast<uint64_t>(p << 8) + 0xab;
        return filled ? (static_cast<uint64_t>(c + 1 + p) << 32) | low : 0;
    }
};

UsageRecord& record_of(PortStats& port, int r)
{
    return r == 0 ? port.port_shared : r <= 8 ? port.pg_shared[r - 1] : port.queue_shared[r - 9];
}

StatsStore g_view_store;

void fill(const Plan& plan)
{
    StatsStore& store = g_view_store;
    store_init(store, plan.scale);
    if (!plan.filled)
        return;
    // The lower bound of each bucket, from the tabulated thresholds.
    const std::vector<uint32_t> lower = plan.scale == 16384
        ? std::vector<uint32_t>{0, 163, 819, 1638, 3276, 8192, 9830, 11468, 13107, 14745}
        : std::vector<uint32_t>{0, 327, 1638, 3276, 6553, 16384, 19660, 22937, 26214, 29491};
    for (int p = 0; p < kMaxPorts; ++p) {
        for (int r = 0; r < 17; ++r) {
            for (int b = 0; b < kBuckets; ++b)
                for (uint32_t i = 0; i < Plan::fills(p, r, b); ++i)
                    record_value(record_of(store.ports[p], r), lower[b]);
            record_value(record_of(store.ports[p], r), plan.peak(p, r));
        }
        PortStats& port = store.ports[p];
        port.ibp_drop = plan.counter(p, 0);
        for (int k = 0; k < kGroups; ++k)
            port.hol_drop[k] = plan.counter(p, 1 + k);
        port.rxpp = plan.counter(p, 9);
        port.txpp = plan.counter(p, 10);
    }
    store_reset_ports(store);
    for (int p = 0; p < kMaxPorts; ++p) {
        for (int r = 0; r < 17; ++r) {
            record_value(record_of(store.ports[p], r), plan.current(p, r));
            record_value(record_of(store.ports[p], r), 0);
        }
    }

    for (int b = 0; b < kBuckets; ++b)
        for (int i = 0; i < b * 3 + 2; ++i)
            record_value(store.sw.total_shared, lower[b]);
    record_value(store.sw.total_shared, plan.total_peak());
    store_reset_global(store);
    record_value(store.sw.total_shared, plan.total_current());
    record_value(store.sw.total_shared, 0);
    record_value(store.sw.shared_limit, plan.limit());
}

// ---- expected text

std::string hex(uint64_t v, size_t width)
{
    std::string digits;
    do {
        digits.insert(digits.begin(), "0123456789abcdef"[v % 16]);
        v /= 16;
    } while (v != 0);
    return std::string(width > digits.size() ? width - digits.size() : 0, '0') + digits;
}

const std::string kPercentLine =
    "       1%       5%      10%      20%      50%      60%      70%      80%      90%     100%";

// The content of each of the 22 views, erase being the line-erase text.
std::vector<std::string> expected_views(const Plan& plan, const ModelProfile& profile, const std::string& erase)
{
    std::vector<std::string> v(22);
    v[0] = "Total Shared Count: " + hex(plan.total_current(), 4) + ", Max: " + hex(plan.total_peak(), 4) +
           " Limit: " + hex(plan.limit(), 4) + " \n";
    v[1] = "PID PShr PSMx PG0S PG0SM PG1S PG1SM PG2S PG2SM PG3S PG3SM PG4S PG4SM PG5S PG5SM "
           "PG6S PG6SM PG7S PG7SM Port Name " + erase + "\n";
    v[2] = "PID PShr PSMx Q0SZ Q0SM Q1SZ Q1SM Q2SZ Q2SM Q3SZ Q3SM Q4SZ Q4SM Q5SZ Q5SM "
           "Q6SZ Q6SM Q7SZ Q7SM  Port Name " + erase + "\n";
    v[3] = "PID ibpdrop  holdrp0  holdrp1  holdrp2  holdrp3  holdrp4  holdrp5  holdrp6  "
           "holdrp7  txpp     rxpp   Port Name " + erase + "\n";
    v[4] = "Total shared memory usage:\n" + kPercentLine + erase + "\n" + erase;
    for (int b = 0; b < 10; ++b)
        v[4] += " " + hex(plan.total_hits(b), 8);
    v[4] += "\n";
    for (int view = 5; view < 22; ++view) {
        v[view] = view == 5   ? "Port shared memory usage:\n"
                  : view < 14 ? "PG" + std::to_string(view - 6) + " shared memory usage:\n"
                              : "Egress Q" + std::to_string(view - 14) + " shared memory usage:\n";
        v[view] += kPercentLine + erase + "\n";
    }
    for (int p = 0; p < profile.port_count; ++p) {
        const std::string label = profile.port_labels[p];
        const std::string id = (p < 10 ? "0" : "") + std::to_string(p);
        auto usage = [&](int r) { return hex(plan.current(p, r), 4) + " " + hex(plan.peak(p, r), 4); };
        std::string pg = id + "  " + usage(0), q = pg, d = id + " ";
        for (int k = 0; k < 8; ++k) {
            pg += (k == 0 ? " " : "  ") + usage(1 + k);
            q += " " + usage(9 + k);
        }
        for (int c : {0, 1, 2, 3, 4, 5, 6, 7, 8, 10, 9})  // transmit before receive
            d += " " + hex(plan.counter(p, c) & 0xffffffffu, 8);
        v[1] += pg + "  " + label + "\n";
        v[2] += q + " " + label + "\n";
        v[3] += d + " " + label + "\n";
        for (int view = 5; view < 22; ++view) {
            v[view] += erase + "xe" + std::to_string(p) + " ";
            for (int b = 0; b < 10; ++b)
                v[view] += " " + hex(plan.hits(p, view - 5, b), 8);
            v[view] += " " + label + "\n";
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

}  // namespace

TEST(ViewsBatchReport, AllModulesEmptyAndFilledStore)
{
    for (const Module& m : kModules) {
        for (bool filled : {false, true}) {
            const Plan plan{filled, m.profile.cell_scale};
            fill(plan);
            const std::string what = std::string(m.name) + (filled ? " filled" : " empty");
            const Output out = render(g_view_store, m.profile, true, false,
                                      [](const ViewContext& c) { EXPECT_EQ(render_all_views(c), 0); });
            EXPECT_EQ(out.terminal, "") << what;  // batch mode: no frame
            EXPECT_EQ(std::count(out.report.begin(), out.report.end(), '\n'), m.report_lines) << what;
            EXPECT_EQ(out.report, joined(expected_views(plan, m.profile, ""))) << what;
        }
    }
    // Literal rows, as anchors for the generated text: the first row of view
    // 1, and the 24-port module's alternating bays in view 5.
    fill(Plan{false, 16384});
    const std::vector<std::string> lines = lines_of(
        render(g_view_store, kModules[1].profile, true, false, [](const ViewContext& c) { render_all_views(c); }).report);
    EXPECT_EQ(lines[2], "00  0000 0000 0000 0000  0000 0000  0000 0000  0000 0000  0000 0000  0000 0000  "
                        "0000 0000  0000 0000  Bay 1");
    EXPECT_EQ(lines[1 + 3 * 25 + 3 + 3],
              "xe1  00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 Bay 9");
}

// Values wider than four digits shift the row; counters show their low 32 bits.
TEST(ViewsFormat, WideValuesAndLow32BitCounters)
{
    fill(Plan{false, 32768});
    StatsStore& s = g_view_store;
    record_value(s.sw.total_shared, 0x3ff);
    store_reset_global(s);
    record_value(s.sw.total_shared, 0x1a2);
    record_value(s.sw.shared_limit, 0xabcde);
    record_value(s.ports[0].port_shared, 0x10000);
    record_value(s.ports[0].queue_shared[7], 0x123456);
    s.ports[3].hol_drop[2] = (1ull << 32) + 5;
    s.ports[3].txpp = 0xffffffffffffffffull;
    s.ports[3].rxpp = 0x80000000ull;
    const std::vector<std::string> lines = lines_of(render(s, kModules[0].profile, true, false, [](const ViewContext& c) {
                                                        render_summary(c);
                                                        render_queue_summary(c);
                                                        render_drop_summary(c);
                                                    }).report);
    ASSERT_EQ(lines.size(), 1u + 2 * 43);
    EXPECT_EQ(lines[0], "Total Shared Count: 01a2, Max: 03ff Limit: abcde ");
    EXPECT_EQ(lines[2], "00  10000 10000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 0000 "
                        "123456 123456 Bay 1");
    EXPECT_EQ(lines[48], "03  00000000 00000000 00000000 00000005 00000000 00000000 00000000 00000000 00000000 "
                         "ffffffff 80000000 Bay 4");
}

TEST(ViewsInteractive, FramesOnStandardOutputContentOnTheReportStream)
{
    fill(Plan{false, 32768});
    EXPECT_EQ(render(g_view_store, kModules[0].profile, false, true, [](const ViewContext& c) { render_view(c, 0); })
                  .terminal,
              "\033[H\033[KTotal Shared Count: 0000, Max: 0000 Limit: 0000 \n\033[H");

    for (const Module& m : kModules) {
        const Plan plan{true, m.profile.cell_scale};
        fill(plan);
        const std::vector<std::string> content = expected_views(plan, m.profile, "\033[K");
        std::string framed, frames;
        for (const std::string& view : content) {
            framed += "\033[H\033[K" + view + "\033[H";
            frames += "\033[H\033[K\033[H";
        }
        auto all = [](const ViewContext& c) { render_all_views(c); };
        EXPECT_EQ(render(g_view_store, m.profile, false, true, all).terminal, framed) << m.name;
        const Output to_file = render(g_view_store, m.profile, false, false, all);
        EXPECT_EQ(to_file.terminal, frames) << m.name;
        EXPECT_EQ(to_file.report, joined(content)) << m.name;
        EXPECT_EQ(to_file.report.find("\033[H"), std::string::npos) << m.name;
    }
    // Where the erase text stands: after table headers, before histogram rows.
    const std::vector<std::string> lines = lines_of(joined(expected_views(Plan{true, 16384}, kModules[1].profile, "\033[K")));
    EXPECT_EQ(lines[1].substr(lines[1].size() - 13), "Port Name \033[K");
    EXPECT_EQ(lines[2].find('\033'), std::string::npos);
    EXPECT_EQ(lines[76], "Total shared memory usage:");
    EXPECT_EQ(lines[77], kPercentLine + "\033[K");
    EXPECT_EQ(lines[78].rfind("\033[K 00000003 00000005 ", 0), 0u);
    EXPECT_EQ(lines[81].rfind("\033[Kxe0  ", 0), 0u);
}

TEST(ViewsInteractive, ViewsOutOfRangeWriteNothing)
{
    fill(Plan{true, 32768});
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
