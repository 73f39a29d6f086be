// The views, as text built here from the documented layouts with plain
// string operations (no printf format shared with the renderers): rows with
// values, the frame on the screen stream and the line-erase text in the
// content. Whole reports of every module are compared end to end.
#include <algorithm>

#include "helpers.h"
#include "views/views.h"

using namespace cellscope;

namespace {

// Lower-case hexadecimal of at least width digits.
std::string hex(uint64_t v, size_t width)
{
    std::string s;
    do {
        s.insert(s.begin(), "0123456789abcdef"[v % 16]);
        v /= 16;
    } while (v != 0);
    return std::string(width > s.size() ? width - s.size() : 0, '0') + s;
}

// The ten hit columns with one hit in each of the given buckets.
std::string hits(std::initializer_list<int> buckets)
{
    std::string row;
    for (int b = 0; b < kBuckets; ++b)
        row += " " + hex(static_cast<uint64_t>(std::count(buckets.begin(), buckets.end(), b)), 8);
    return row;
}

std::vector<std::string> lines_of(const std::string& text)
{
    std::vector<std::string> lines;
    for (size_t start = 0, nl; start < text.size(); start = nl + 1) {
        nl = text.find('\n', start);
        lines.push_back(text.substr(start, nl - start));
        if (nl == std::string::npos)
            break;
    }
    return lines;
}

struct Output {
    std::string report, screen;
};

constexpr int kAll = -1;

Output render(const StatsStore& store, const ModelProfile& m, bool batch, int view)
{
    std::FILE *report = std::tmpfile(), *screen = std::tmpfile();
    const ViewContext ctx{{report, screen, batch}, store, m};
    if (view == kAll)
        render_all_views(ctx);
    else
        render_view(ctx, static_cast<uint32_t>(view));
    Output out{testutil::contents_of(report), testutil::contents_of(screen)};
    std::fclose(report);
    std::fclose(screen);
    return out;
}

}  // namespace

TEST(Views, RowsShowCurrentMaxLow32BitsAndHitsInTheirColumns)
{
    static StatsStore store;
    const ModelProfile& m = *module_for_ports(24);
    store_init(store, m.cell_scale);
    PortStats& p = store.ports[1];
    record_value(p.port_shared, 0x12345);
    reset_port_and_group_peaks(store);
    record_value(p.port_shared, 0x30);
    record_value(p.pg_shared[7], 0xab);
    record_value(p.queue_shared[0], 200);
    record_value(p.queue_shared[0], 16383);
    p.ibp_drop = (1ULL << 32) + 5;
    p.hol_drop[7] = 1ULL << 32;
    p.txpp = 0xdeadbeef;
    p.rxpp = 0xffffffffffffffffULL;
    record_value(store.sw.total_shared, 0x1a2);
    record_value(store.sw.shared_limit, 0x4000);

    EXPECT_EQ(lines_of(render(store, m, true, 0).report)[0], "Total Shared Count: 01a2, Max: 01a2 Limit: 4000 ");
    std::string pgs, queues = hex(0x30, 4) + " " + hex(0x12345, 4);
    for (int k = 0; k < kGroups; ++k) {
        pgs += "  " + (k == 7 ? hex(0xab, 4) + " " + hex(0xab, 4) : std::string("0000 0000"));
        queues += " " + (k == 0 ? hex(16383, 4) + " " + hex(16383, 4) : std::string("0000 0000"));
    }
    EXPECT_EQ(lines_of(render(store, m, true, 1).report)[2], "01  0030 12345" + pgs.substr(1) + "  Bay 9");
    EXPECT_EQ(lines_of(render(store, m, true, 2).report)[2], "01  " + queues + " Bay 9");
    EXPECT_EQ(lines_of(render(store, m, true, 3).report)[2],
              "01  00000005 00000000 00000000 00000000 00000000 00000000 00000000 00000000 00000000 deadbeef "
              "ffffffff Bay 9");
    // 200 cells are from 1 % (163) to below 5 % of 16384, 16383 in the last column.
    EXPECT_EQ(lines_of(render(store, m, true, 14).report)[3], "xe1 " + hits({1, 9}) + " Bay 9");
    EXPECT_EQ(lines_of(render(store, m, true, 13).report)[0], "PG7 shared memory usage:");
    EXPECT_EQ(lines_of(render(store, m, true, 21).report)[0], "Egress Q7 shared memory usage:");
    std::string percents;
    for (const char* p100 : {"1", "5", "10", "20", "50", "60", "70", "80", "90", "100"})
        percents += std::string(8 - std::strlen(p100), ' ') + p100 + "%";
    const std::vector<std::string> total = lines_of(render(store, m, true, 4).report);
    EXPECT_EQ(total[1], percents);
    EXPECT_EQ(total[2], hits({1}));  // 0x1a2 = 418
    EXPECT_EQ(render(store, m, true, 22).report, "");
}

TEST(Views, InteractiveFramesGoToTheScreenAndLineErasesIntoTheContent)
{
    static StatsStore store;
    const ModelProfile& m = *module_for_ports(30);
    store_init(store, m.cell_scale);
    const Output all = render(store, m, false, kAll);
    std::string frames;
    for (uint32_t v = 0; v < kViewCount; ++v)
        frames += "\033[H\033[K\033[H";
    EXPECT_EQ(all.screen, frames);
    EXPECT_EQ(all.report.find("\033[H"), std::string::npos);
    const std::vector<std::string> lines = lines_of(all.report);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 13), "Port Name \033[K");
    EXPECT_EQ(lines.back().substr(0, 8), "\033[Kxe29 ");
    EXPECT_EQ(lines_of(render(store, m, false, 4).report)[1].substr(90), "\033[K");
}
