#include <cinttypes>

#include "parsers_test_util.h"

using namespace cellscope;
using namespace parsertest;

namespace {

constexpr uint32_t kScale = 16384;

TEST(Parsers24, GlobalLines)
{
    check_cases(parse_global_24, kScale, {
        {"TOTAL_SHARED_COUNT=0x1a2\n", total(418)},
        {"TOTAL_SHARED_LIMIT=0x300\n", limit(768)},
        {"total_shared_count=5\n", total(5)},
        {"TOTAL_SHARED_LIMIT=9 TOTAL_SHARED_COUNT=4\n", total(4)},  // table order, not position
        {"TOTAL_SHARED_COUNT: 5\n", nothing()},
        {"TOTAL_SHARED_COUNT=99999999999\n", nothing(), kStrtoulRange},
        {"TOTAL_SHARED_COUNT=1\nTOTAL_SHARED_COUNT=3\n", [](StatsStore& s) {
             record_value(s.sw.total_shared, 1);
             record_value(s.sw.total_shared, 3);
         }},
    });
}

TEST(Parsers24, PriorityGroupLines)
{
    check_cases(parse_pg_24, kScale, {
        {"xe5 PG_SHARED_COUNT(3)=0x40\n", pg(5, 3, 64)},
        {"THDI_PG_SHARED_COUNT(3).xe5: CELLS=12\n", pg(5, 3, 12)},  // any name before the "="
        {"XE5 pg_shared_count(1)=2\n", pg(5, 1, 2)},
        {"xe5 PG_SHARED_COUNT=0x40\n", nothing()},        // no "("
        {"xe5 PG_SHARED_COUNT()=7\n", pg(5, 0, 7)},       // no digits: group 0
        {"xe5 PG_SHARED_COUNT(7)=7\n", pg(5, 7, 7)},
        {"xe5 PG_SHARED_COUNT(8)=7\n", nothing()},        // no such group
        {"(2) xe5 PG_SHARED_COUNT(3)=1\n", pg(5, 2, 1)},  // first "(" of the line
        {"xe41 PG_SHARED_COUNT(0)=1\n", pg(41, 0, 1)},
        {"xe42 PG_SHARED_COUNT(0)=1\n", nothing()},       // no such slot
        {"PG_SHARED_COUNT(3)=1\n", nothing()},
        {"xe5 =4 PG_SHARED_COUNT(3)\n", nothing()},       // "=" only before the marker
        // The port is scanned before the marker test.
        {"xeon no marker\n", nothing(), kNoDigits},
        {"xe5 PG_SHARED_COUNT(3)=0x1ffffffff\n", nothing(), kStrtoulRange},
        {"xe5 PG_SHARED_COUNT(3)=100\nxe5 PG_SHARED_COUNT(3)=50\n", [](StatsStore& s) {
             record_value(s.ports[5].pg_shared[3], 100);
             record_value(s.ports[5].pg_shared[3], 50);
         }},
    });
}

TEST(Parsers24, PortLines)
{
    check_cases(parse_port_24, kScale, {
        {"IRXPP.xe4: COUNT=0x2a\n", rxpp(4, 42)},
        {"ITXPP.xe4: COUNT=0x2a\n", txpp(4, 42)},
        {"PORT_SHARED_COUNT.xe4: PORT_SHARED_COUNT=0x100\n", shared(4, 256)},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x18000\n", queue(3, 2, 3)},
        {"IBP_DROP_PKT_CNT.xe4: COUNT=7\n", ibp(4, 7)},
        {"HOLDROP_PKT_CNT(5).xe4: COUNT=9\n", hol(4, 5, 9)},
        {"irxpp.XE4: count=5\n", rxpp(4, 5)},
        {"xe4 ITXPP IRXPP COUNT=9\n", rxpp(4, 9)},
        {"IBP_DROP_PKT_CNT.xe4 HOLDROP_PKT_CNT(5): COUNT=9\n", ibp(4, 9)},
        {"IRXPP: COUNT=3\n", nothing()},
        {"IRXPP.xeon: COUNT=3\n", nothing(), kNoDigits},
        {"COUNT=3 IRXPP.xe4\n", nothing()},
        {"IBP_DROP_PKT_CNT.xe1: COUNT=4294967296\n", ibp(1, 4294967296ull)},
        {"IRXPP.xe4: COUNT=18446744073709551616\n", nothing(), kStrtolRange},
        {"IRXPP.xe4: COUNT=10\nIRXPP.xe4: COUNT=3\n", rxpp(4, 3)},
        {"IRXPP.xe4: COUNT=10\nITXPP.xe4: PKTS=3\n", rxpp(4, 10)},
        {"IRXPP.xe24: COUNT=1\nITXPP.xe41: COUNT=2\n", [](StatsStore& s) {
             s.ports[24].rxpp = 1;
             s.ports[41].txpp = 2;
         }},
        {"IRXPP.xe42: COUNT=1\n", nothing()},
        {"PORT_SHARED_COUNT.xe4: COUNT=5\n", nothing()},
    });
}

TEST(Parsers24, QueueSizeAndDropLines)
{
    check_cases(parse_port_24, kScale, {
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0xC0000000\n", queue(3, 2, 0)},   // bits 30, 31 dropped
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x3FFF8000\n", queue(3, 2, 32767)},  // no bucket
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x7FFF\n", queue(3, 2, 0)},
        {"xe3(2) WREDAVGQSIZE_CELL=0x18000\n", queue(3, 2, 3)},  // key inside the marker
        {"WREDAVGQSIZE_CELL(7).xe3: AVGQSIZE_CELL=0x8000\n", queue(3, 7, 1)},
        {"WREDAVGQSIZE_CELL(8).xe3: AVGQSIZE_CELL=0x8000\n", nothing()},
        {"WREDAVGQSIZE_CELL.xe3: AVGQSIZE_CELL=0x8000\n", nothing()},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE=0x8000\n", nothing()},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x100000000\n", nothing(), kStrtoulRange},
        {"HOLDROP_PKT_CNT(7).xe4: COUNT=0x1ffffffff\n", hol(4, 7, 0x1ffffffffull)},
        {"HOLDROP_PKT_CNT(8).xe4: COUNT=9\n", nothing()},
        {"HOLDROP_PKT_CNT.xe4: COUNT=9\n", nothing()},
        {"(3) HOLDROP_PKT_CNT(5).xe4: COUNT=9\n", hol(4, 3, 9)},
    });
    // 32767 is beyond this module's scale: recorded, but no hit.
    auto store = fresh_store(kScale);
    parse_text(parse_port_24, "WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x3FFF8000\n", *store);
    EXPECT_EQ(store->ports[3].queue_shared[2].max, 32767u);
    for (const UsageBucket& b : store->ports[3].queue_shared[2].buckets)
        EXPECT_EQ(b.hits, 0u);
}

TEST(Parsers24, LongLinesArriveInPieces)
{
    check_cases(parse_port_24, kScale, {
        {std::string(300, '-') + "IRXPP.xe5: COUNT=7\n", rxpp(5, 7)},
        {split_line("IRXPP.xe5: COUNT=12", "345"), rxpp(5, 12)},
        {split_line("IRX", "PP.xe5: COUNT=1"), nothing()},
        {split_line("xe5", " IRXPP: COUNT=1"), nothing()},
    });
    check_cases(parse_global_24, kScale, {
        {split_line("TOTAL_SHARED_COUNT=", "12"), total(0)},
    });
}

// ---- a whole refresh cycle, twice

uint32_t usage(int cycle, int slot, int k) { return static_cast<uint32_t>((cycle * 5003 + slot * 433 + k * 97) % 17000); }
uint64_t counter(int cycle, int slot, int k) { return (uint64_t(cycle) << 34) + uint64_t(slot) * 100 + uint64_t(k); }

TEST(Parsers24, WholeDumpsTwoCycles)
{
    auto got = fresh_store(kScale);
    auto want = fresh_store(kScale);
    for (int cycle = 1; cycle <= 2; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        std::string global, port, pgs;
        store_reset_global(*want);
        global += fmt("MMU: TOTAL_SHARED_LIMIT=0x%x\n", 0x3800 + cycle);
        global += fmt("MMU: TOTAL_SHARED_COUNT=0x%x\n", usage(cycle, 60, 0));
        global += "MMU: TOTAL_RESERVED=0x100\n";
        record_value(want->sw.shared_limit, 0x3800 + cycle);
        record_value(want->sw.total_shared, usage(cycle, 60, 0));

        store_reset_ports(*want);
        port += "# per-port counters\n";
        for (int slot = 0; slot < 24; ++slot) {
            PortStats& w = want->ports[slot];
            port += fmt("IRXPP.xe%d\t\t: COUNT=%" PRIu64 "\t\t+7\n", slot, counter(cycle, slot, 1));
            port += fmt("ITXPP.xe%d\t\t: COUNT=0x%" PRIx64 "\t\t+7\n", slot, counter(cycle, slot, 2));
            port += fmt("IRPKT.xe%d\t\t: COUNT=1\n", slot);
            port += fmt("PORT_SHARED_COUNT.xe%d: PORT_MIN_COUNT=0 PORT_SHARED_COUNT=0x%x\n", slot, usage(cycle, slot, 9));
            port += fmt("IBP_DROP_PKT_CNT.xe%d\t: COUNT=%" PRIu64 "\n", slot, counter(cycle, slot, 3));
            w.rxpp = counter(cycle, slot, 1);
            w.txpp = counter(cycle, slot, 2);
            w.ibp_drop = counter(cycle, slot, 3);
            record_value(w.port_shared, usage(cycle, slot, 9));
            for (int q = 0; q < 8; ++q) {
                const uint32_t size = usage(cycle, slot, 20 + q) * 2 % 32768;  // 15 bits
                const uint32_t raw = (size << 15) | 0x1234U | (cycle == 2 ? 0xC0000000U : 0U);
                port += fmt("OP_QUEUE_WREDAVGQSIZE_CELL(%d).xe%d: WREDAVGQSIZE_CELL=0x%x\n", q, slot, raw);
                port += fmt("HOLDROP_PKT_CNT(%d).xe%d\t: COUNT=%" PRIu64 "\n", q, slot, counter(cycle, slot, 10 + q));
                record_value(w.queue_shared[q], size);
                w.hol_drop[q] = counter(cycle, slot, 10 + q);
            }
        }

        pgs += "# priority groups\n";
        for (int slot = 0; slot < 24; ++slot) {
            for (int k = 0; k < 8; ++k) {
                pgs += fmt("THDI_PG_SHARED_COUNT(%d).xe%d: PG_SHARED_COUNT=0x%x PG_MIN_COUNT=0\n", k, slot, usage(cycle, slot, k));
                pgs += fmt("THDI_PG_MIN_COUNT(%d).xe%d: PG_MIN_COUNT=0x1\n", k, slot);
                record_value(want->ports[slot].pg_shared[k], usage(cycle, slot, k));
            }
        }

        store_reset_global(*got);
        EXPECT_EQ(parse_text(parse_global_24, global, *got), "");
        store_reset_ports(*got);
        EXPECT_EQ(parse_text(parse_port_24, port, *got), "");
        EXPECT_EQ(parse_text(parse_pg_24, pgs, *got), "");
        EXPECT_EQ(store_diff(*want, *got), std::vector<std::string>{});
    }
}

}  // namespace
