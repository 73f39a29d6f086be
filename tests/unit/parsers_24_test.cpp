#include <cinttypes>

#include "parsers_test_util.h"

using namespace cellscope;
using namespace parsertest;

namespace {

constexpr uint32_t kScale = 16384;

TEST(Parsers24, GlobalAndPriorityGroupLines)
{
    check_cases(parse_global_24, kScale, {
        {"TOTAL_SHARED_COUNT=0x1a2\n", total(418)}, {"TOTAL_SHARED_LIMIT=0x300\n", limit(768)},
        {"total_shared_count=5\n", total(5)},
        {"TOTAL_SHARED_LIMIT=9 TOTAL_SHARED_COUNT=4\n", total(4)},  // table order, not position
        {"TOTAL_SHARED_COUNT: 5\n", nothing()},
        {"TOTAL_SHARED_COUNT=99999999999\n", nothing(), kStrtoulRange},
        {"TOTAL_SHARED_COUNT=1\nTOTAL_SHARED_COUNT=3\n", both(total(1), total(3))},
        {split_line("TOTAL_SHARED_COUNT=", "12"), total(0)},  // the value in the next piece
    });
    check_cases(parse_pg_24, kScale, {
        {"xe5 PG_SHARED_COUNT(3)=0x40\n", pg(5, 3, 64)},
        {"THDI_PG_SHARED_COUNT(3).xe5: CELLS=12\n", pg(5, 3, 12)},  // any name before the "="
        {"XE5 pg_shared_count(1)=2\n", pg(5, 1, 2)},
        {"xe5 PG_SHARED_COUNT=0x40\n", nothing()},        // no "("
        {"xe5 PG_SHARED_COUNT()=7\n", pg(5, 0, 7)},       // no digits: group 0
        {"xe5 PG_SHARED_COUNT(7)=7\n", pg(5, 7, 7)}, {"xe5 PG_SHARED_COUNT(8)=7\n", nothing()},
        {"(2) xe5 PG_SHARED_COUNT(3)=1\n", pg(5, 2, 1)},  // first "(" of the line
        {"xe41 PG_SHARED_COUNT(0)=1\n", pg(41, 0, 1)}, {"xe42 PG_SHARED_COUNT(0)=1\n", nothing()},
        {"PG_SHARED_COUNT(3)=1\n", nothing()},
        {"xe5 =4 PG_SHARED_COUNT(3)\n", nothing()},       // "=" only before the marker
        {"xeon no marker\n", nothing(), kNoDigits},       // the port is scanned before the marker test
        {"xe5 PG_SHARED_COUNT(3)=0x1ffffffff\n", nothing(), kStrtoulRange},
        {"xe5 PG_SHARED_COUNT(3)=100\nxe5 PG_SHARED_COUNT(3)=50\n", both(pg(5, 3, 100), pg(5, 3, 50))},
    });
}

TEST(Parsers24, PortLines)
{
    check_cases(parse_port_24, kScale, {
        {"IRXPP.xe4: COUNT=0x2a\n", rxpp(4, 42)}, {"ITXPP.xe4: COUNT=0x2a\n", txpp(4, 42)},
        {"PORT_SHARED_COUNT.xe4: PORT_SHARED_COUNT=0x100\n", shared(4, 256)},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x18000\n", queue(3, 2, 3)},
        {"IBP_DROP_PKT_CNT.xe4: COUNT=7\n", ibp(4, 7)}, {"HOLDROP_PKT_CNT(5).xe4: COUNT=9\n", hol(4, 5, 9)},
        {"irxpp.XE4: count=5\n", rxpp(4, 5)}, {"xe4 ITXPP IRXPP COUNT=9\n", rxpp(4, 9)},
        {"IBP_DROP_PKT_CNT.xe4 HOLDROP_PKT_CNT(5): COUNT=9\n", ibp(4, 9)},
        {"IRXPP: COUNT=3\n", nothing()}, {"IRXPP.xeon: COUNT=3\n", nothing(), kNoDigits},
        {"COUNT=3 IRXPP.xe4\n", nothing()}, {"PORT_SHARED_COUNT.xe4: COUNT=5\n", nothing()},
        {"IBP_DROP_PKT_CNT.xe1: COUNT=4294967296\n", ibp(1, 4294967296ull)},
        {"IRXPP.xe4: COUNT=18446744073709551616\n", nothing(), kStrtolRange},
        {"IRXPP.xe4: COUNT=10\nIRXPP.xe4: COUNT=3\n", rxpp(4, 3)},
        {"IRXPP.xe4: COUNT=10\nITXPP.xe4: PKTS=3\n", rxpp(4, 10)},
        {"IRXPP.xe24: COUNT=1\nITXPP.xe41: COUNT=2\n", both(rxpp(24, 1), txpp(41, 2))},
        {"IRXPP.xe42: COUNT=1\n", nothing()},
        // Queue sizes: bits 15 to 29 of the value.
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0xC0000000\n", queue(3, 2, 0)},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x3FFF8000\n", queue(3, 2, 32767)},  // beyond the scale: no hit
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x7FFF\n", queue(3, 2, 0)},
        {"xe3(2) WREDAVGQSIZE_CELL=0x18000\n", queue(3, 2, 3)},  // key inside the marker
        {"WREDAVGQSIZE_CELL(7).xe3: AVGQSIZE_CELL=0x8000\n", queue(3, 7, 1)},
        {"WREDAVGQSIZE_CELL(8).xe3: AVGQSIZE_CELL=0x8000\n", nothing()},
        {"WREDAVGQSIZE_CELL.xe3: AVGQSIZE_CELL=0x8000\n", nothing()},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE=0x8000\n", nothing()},
        {"WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x100000000\n", nothing(), kStrtoulRange},
        {"HOLDROP_PKT_CNT(7).xe4: COUNT=0x1ffffffff\n", hol(4, 7, 0x1ffffffffull)},
        {"HOLDROP_PKT_CNT(8).xe4: COUNT=9\n", nothing()}, {"HOLDROP_PKT_CNT.xe4: COUNT=9\n", nothing()},
        {"(3) HOLDROP_PKT_CNT(5).xe4: COUNT=9\n", hol(4, 3, 9)},
        // Long lines arrive in pieces of 255 characters.
        {std::string(300, '-') + "IRXPP.xe5: COUNT=7\n", rxpp(5, 7)},
        {split_line("IRXPP.xe5: COUNT=12", "345"), rxpp(5, 12)},
        {split_line("IRX", "PP.xe5: COUNT=1"), nothing()}, {split_line("xe5", " IRXPP: COUNT=1"), nothing()},
    });
    auto store = fresh_store(kScale);
    parse_text(parse_port_24, "WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x3FFF8000\n", *store);
    for (const UsageBucket& b : store->ports[3].queue_shared[2].buckets)
        EXPECT_EQ(b.hits, 0u);
}

uint32_t usage(int cycle, int slot, int k) { return static_cast<uint32_t>((cycle * 5003 + slot * 433 + k * 97) % 17000); }
uint64_t counter(int cycle, int slot, int k) { return (uint64_t(cycle) << 34) + uint64_t(slot) * 100 + uint64_t(k); }

Dump make_dump(int cycle, StatsStore& want)
{
    Dump d;
    d.global += fmt("MMU: TOTAL_SHARED_LIMIT=0x%x\n", 0x3800 + cycle);
    d.global += fmt("MMU: TOTAL_SHARED_COUNT=0x%x\n", usage(cycle, 60, 0));
    d.global += "MMU: TOTAL_RESERVED=0x100\n";
    record_value(want.sw.shared_limit, 0x3800 + cycle);
    record_value(want.sw.total_shared, usage(cycle, 60, 0));
    d.port += "# per-port counters\n";
    d.pg += "# priority groups\n";
    for (int slot = 0; slot < 24; ++slot) {
        PortStats& w = want.ports[slot];
        d.port += fmt("IRXPP.xe%d\t\t: COUNT=%" PRIu64 "\t\t+7\n", slot, counter(cycle, slot, 1));
        d.port += fmt("ITXPP.xe%d\t\t: COUNT=0x%" PRIx64 "\t\t+7\n", slot, counter(cycle, slot, 2));
        d.port += fmt("IRPKT.xe%d\t\t: COUNT=1\n", slot);
        d.port += fmt("PORT_SHARED_COUNT.xe%d: PORT_MIN_COUNT=0 PORT_SHARED_COUNT=0x%x\n", slot, usage(cycle, slot, 9));
        d.port += fmt("IBP_DROP_PKT_CNT.xe%d\t: COUNT=%" PRIu64 "\n", slot, counter(cycle, slot, 3));
        w.rxpp = counter(cycle, slot, 1);
        w.txpp = counter(cycle, slot, 2);
        w.ibp_drop = counter(cycle, slot, 3);
        record_value(w.port_shared, usage(cycle, slot, 9));
        for (int q = 0; q < 8; ++q) {
            const uint32_t size = usage(cycle, slot, 20 + q) * 2 % 32768;  // 15 bits, with a fraction below
            const uint32_t raw = (size << 15) | 0x1234U | (cycle == 2 ? 0xC0000000U : 0U);
            d.port += fmt("OP_QUEUE_WREDAVGQSIZE_CELL(%d).xe%d: WREDAVGQSIZE_CELL=0x%x\n", q, slot, raw);
            d.port += fmt("HOLDROP_PKT_CNT(%d).xe%d\t: COUNT=%" PRIu64 "\n", q, slot, counter(cycle, slot, 10 + q));
            record_value(w.queue_shared[q], size);
            w.hol_drop[q] = counter(cycle, slot, 10 + q);

            d.pg += fmt("THDI_PG_SHARED_COUNT(%d).xe%d: PG_SHARED_COUNT=0x%x PG_MIN_COUNT=0\n", q, slot, usage(cycle, slot, q));
            d.pg += fmt("THDI_PG_MIN_COUNT(%d).xe%d: PG_MIN_COUNT=0x1\n", q, slot);
            record_value(w.pg_shared[q], usage(cycle, slot, q));
        }
    }
    return d;
}

TEST(Parsers24, WholeDumpsTwoCycles)
{
    check_dumps(*profile_for_ports(24), make_dump);
}

}  // namespace
