#include <cinttypes>

#include "parsers_test_util.h"

using namespace cellscope;
using namespace parsertest;

namespace {

constexpr uint32_t kScale = 32768;

// A line of an indexed counter array: marker[index] rest.
std::string at(const char* marker, const char* index, const char* rest)
{
    return std::string(marker) + "[" + index + "]" + rest + "\n";
}

TEST(Parsers42, GlobalLines)
{
    check_cases(parse_global_42, kScale, {
        {"THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x200\n", limit(512)},
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x1a0\n", total(416)},
        {"thdi_buffer_cell_limit_sp: limit=9\n", limit(9)},
        {"MMU_THDM_DB_POOL_SHARED_COUNT=0x20\n", total(32)},  // the key completes the marker
        // The table order decides, not the position: the limit is tested first.
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=5 THDI_BUFFER_CELL_LIMIT_SP: LIMIT=7\n", limit(7)},
        {"COUNT=5 MMU_THDM_DB_POOL_SHARED_COUNT: none\n", nothing()},
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x100000000\n", nothing(), kStrtoulRange},
        {"THDI_BUFFER_CELL_LIMIT_PUBLIC: LIMIT=3\nno marker COUNT=4\n", nothing()},
        // Usage values accumulate: last sample, highest current, one hit each.
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=100\nMMU_THDM_DB_POOL_SHARED_COUNT: COUNT=2000\n"
         "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=400\n",
         both(both(total(100), total(2000)), total(400))},
    });
}

TEST(Parsers42, PriorityGroupLines)
{
    const char* x = "THDI_PORT_PG_CNTRS_RT1_X";
    const char* y = "THDI_PORT_PG_CNTRS_RT1_Y";
    const char* one = ": PG_SHARED_COUNT=1";
    check_cases(parse_pg_42, kScale, {
        {at(x, "19", ": PG_SHARED_COUNT=0x40"), pg(0, 3, 64)},
        {at(y, "47", ": PG_SHARED_COUNT=12"), pg(4, 7, 12)},
        {"[2] THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=1\n", pg(40, 2, 1)},  // first "[" of the line
        {"thdi_port_pg_cntrs_rt1_y[8]: pg_shared_count=3\n", pg(20, 0, 3)},
        // Y stands first in the line but X comes first in the table.
        {"THDI_PORT_PG_CNTRS_RT1_Y THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=5\n", pg(0, 3, 5)},
        {at(x, "0", one), pg(40, 0, 1)}, {at(x, "135", one), pg(32, 7, 1)}, {at(x, "136", one), nothing()},
        {at(y, "0", one), pg(16, 0, 1)}, {at(y, "199", one), pg(31, 7, 1)}, {at(y, "200", one), nothing()},
        // Negative indexes (also as large unsigned numbers) are skipped quietly.
        {at(x, "-1", one), nothing()}, {at(y, "-8", one), nothing()}, {at(x, "2147483648", one), nothing()},
        {at(x, "", one), nothing(), kNoDigits},
        {"THDI_PORT_PG_CNTRS_RT1_X: PG_SHARED_COUNT=1\n", nothing()},
        {at(x, "19", ": PG_MIN_COUNT=3"), nothing()},
        {"PG_SHARED_COUNT=5 THDI_PORT_PG_CNTRS_RT1_X[19]\n", nothing()},
        {at(x, "19", ": PG_SHARED_COUNT=0x1ffffffff"), nothing(), kStrtoulRange},
        {at(x, "19", ": PG_SHARED_COUNT=500") + at(x, "19", ": PG_SHARED_COUNT=50"), both(pg(0, 3, 500), pg(0, 3, 50))},
    });
}

TEST(Parsers42, PacketCounterLines)
{
    check_cases(parse_port_42, kScale, {
        {"RXPP.xe5: COUNT=250\n", rxpp(5, 250)}, {"TXPP.xe40: COUNT=0x4d\n", txpp(40, 77)},
        {"rxpp.XE5: count=10\n", rxpp(5, 10)},
        {"TXPP.xe3: COUNT=4 RXPP.xe9: COUNT=5\n", rxpp(3, 5)},  // RXPP first; first "xe" of the line
        {"RXPP CTR_UC_DROP[39]: PKTCNT=5\n", nothing()},  // RXPP decides even without its key
        {"COUNT=5 RXPP.xe1\n", nothing()},
        {"TXPP.xe2: COUNT=0x123456789abcdef0\n", txpp(2, 0x123456789abcdef0ull)},
        {"RXPP.xe0: COUNT=0\nRXPP.xe41: COUNT=1\n", rxpp(41, 1)},
        {"RXPP.xe42: COUNT=1\nTXPP.xe4294967295: COUNT=1\n", nothing()},  // no such slot
        {"RXPP: COUNT=1\n", nothing()}, {"RXPP.xeon: COUNT=1\n", nothing(), kNoDigits},
        // The counter is scanned before the port: no port message then.
        {"RXPP.xeon: COUNT=18446744073709551616\n", nothing(), kStrtolRange},
        {"RXPP.xe5: COUNT=10\nRXPP.xe5: COUNT=3\n", rxpp(5, 3)},  // replaced, not added
        {"RXPP.xe5: COUNT=10\nTXPP.xe5: PKTS=3\n", rxpp(5, 10)},  // the line before's counter is not stored
    });
}

TEST(Parsers42, PortSharedLines)
{
    const char* x = "THDI_PORT_SP_CNTRS_RT_X";
    const char* y = "THDI_PORT_SP_CNTRS_RT_Y";
    const char* one = ": PORT_SP_SHARED_COUNT=1";
    check_cases(parse_port_42, kScale, {
        {at(x, "36", ": PORT_SP_SHARED_COUNT=0x80"), shared(39, 128)},
        {at(y, "8", ": PORT_SP_SHARED_COUNT=0x10"), shared(24, 16)},
        {at(x, "0", one), shared(40, 1)}, {at(x, "64", one), shared(32, 1)},
        {at(x, "65", one), nothing()}, {at(x, "68", one), nothing()},
        {at(y, "96", one), shared(31, 1)}, {at(y, "97", one), nothing()}, {at(y, "100", one), nothing()},
        {at(x, "-4", one), nothing()},  // a multiple of 4, but negative
        {at(y, "x", one), nothing(), kNoDigits},
        {at(x, "36", ": PORT_SP_MIN_COUNT=3"), nothing()},
        {"[8] THDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=2\n", shared(0, 2)},
    });
}

TEST(Parsers42, IngressDropLines)
{
    const char* m = "CTR_ING_DROP";
    const char* seven = ": PKTCNT=7";
    check_cases(parse_port_42, kScale, {
        {at(m, "3", seven), ibp(8, 7)}, {at(m, "70", seven), ibp(12, 7)},
        {at(m, "0", seven), ibp(40, 7)}, {at(m, "16", seven), ibp(32, 7)},
        {at(m, "17", seven), nothing()}, {at(m, "63", seven), nothing()},
        {at(m, "64", seven), ibp(16, 7)}, {at(m, "88", seven), ibp(31, 7)}, {at(m, "89", seven), nothing()},
        {at(m, "-1", seven), nothing()}, {at(m, "4294967232", seven), nothing()},  // -64
        {at(m, "3", ": PKT_CNT=7"), nothing()},  // this module's key has no underscore
        {"PKTCNT=5 CTR_ING_DROP[3]\n", nothing()},
        {"CTR_ING_DROP: PKTCNT=7\n", nothing()},
        {at(m, "3", ": PKTCNT=4294967296"), ibp(8, 4294967296ull)},
        {at(m, "3", ": PKTCNT=1") + at(m, "3", ": PKTCNT=2"), ibp(8, 2)},
    });
}

TEST(Parsers42, UcDropLines)
{
    const char* m = "CTR_UC_DROP";
    const char* five = ": PKTCNT=5";
    check_cases(parse_port_42, kScale, {
        {at(m, "39", five), hol(8, 3, 5)},
        {at(m, "1543", ": PKTCNT=9"), hol(16, 7, 9)},
        {at(m, "1600", ": PKTCNT=2"), hol(12, 0, 2)},
        {at(m, "199", five), hol(32, 7, 5)}, {at(m, "203", five), nothing()}, {at(m, "204", five), nothing()},
        {at(m, "1535", five), nothing()}, {at(m, "1536", five), hol(16, 0, 5)}, {at(m, "1571", five), hol(28, 5, 5)},
        {at(m, "1575", five), nothing()}, {at(m, "1576", five), hol(11, 0, 5)}, {at(m, "1787", five), hol(27, 7, 5)},
        {at(m, "1788", five), nothing()},
        // Slot 0 (X pipe port 2) receives its drops like every other slot.
        {at(m, "24", five), hol(0, 0, 5)}, {at(m, "31", five), hol(0, 7, 5)}, {at(m, "32", five), nothing()},
        {at(m, "-1", five), nothing()}, {at(m, "-12", five), nothing()},
        {at(m, "39", ": PKTCNT=0x1000000000"), hol(8, 3, 0x1000000000ull)},
        {at(m, "39", ": PKTCNT=18446744073709551616"), nothing(), kStrtolRange},
        {"PKTCNT=5 CTR_UC_DROP[39]\n", nothing()},
    });
}

TEST(Parsers42, LongLinesArriveInPieces)
{
    check_cases(parse_port_42, kScale, {
        {std::string(300, '-') + "RXPP.xe5: COUNT=7\n", rxpp(5, 7)},  // the marker in the second piece
        {split_line("RXPP.xe5: COUNT=12", "345"), rxpp(5, 12)},         // the number cut
        {split_line("RX", "PP.xe5: COUNT=1"), nothing()},               // the marker cut
        {split_line("xe5", " RXPP: COUNT=1"), nothing()},               // the port in the first piece only
    });
    check_cases(parse_pg_42, kScale, {{split_line("THDI_PORT_PG_CNTRS_RT1_X[19]", ": PG_SHARED_COUNT=3"), nothing()}});
}

// Slots of the pipe ports, as the module is wired.
const int kXSlot[17] = {40, 41, 0, 8, 1, 9, 2, 10, 3, 39, 38, 37, 36, 35, 34, 33, 32};
const int kYSlot[25] = {16, 20, 24, 28, 11, 4, 12, 5, 13, 6, 14, 7, 15, 17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31};

uint32_t usage(int cycle, int slot, int k) { return static_cast<uint32_t>((cycle * 7919 + slot * 577 + k * 131) % 33000); }
uint64_t counter(int cycle, int slot, int k) { return (uint64_t(cycle) << 33) + uint64_t(slot) * 1000 + uint64_t(k); }

// Full register and counter arrays as the daemon writes them, with the
// entries no slot takes: the second pool, the unused and higher queues, the
// gaps of the drop arrays. Queue records stay untouched.
Dump make_dump(int cycle, StatsStore& want)
{
    Dump d{"# switch-wide buffer state, unit 0\n", "# per-port counters\n", "# ingress priority groups\n"};
    d.global += fmt("THDI_BUFFER_CELL_LIMIT_SP.mmu0: <LIMIT=0x%x,RESUME_LIMIT=0x10>\n", 0x7000 + cycle);
    d.global += "THDI_BUFFER_CELL_LIMIT_PUBLIC.mmu0: <LIMIT=0x20>\n";
    record_value(want.sw.shared_limit, 0x7000 + cycle);
    for (int pool = 0; pool < 2; ++pool) {
        d.global += fmt("MMU_THDM_DB_POOL_SHARED_COUNT.mmu0[%d]: <COUNT=0x%x>\n", pool, usage(cycle, 50, pool));
        record_value(want.sw.total_shared, usage(cycle, 50, pool));
    }
    for (int slot = 0; slot < kMaxPorts; ++slot) {
        d.port += fmt("RXPP.xe%d\t: COUNT=%" PRIu64 "\t+12\n", slot, counter(cycle, slot, 1));
        d.port += fmt("TXPP.xe%d\t: COUNT=0x%" PRIx64 "\t+3\n", slot, counter(cycle, slot, 2));
        want.ports[slot].rxpp = counter(cycle, slot, 1);
        want.ports[slot].txpp = counter(cycle, slot, 2);
    }
    const struct { const char* pipe; int ports; const int* slot; } pipes[] = {{"X", 17, kXSlot}, {"Y", 25, kYSlot}};
    for (const auto& pipe : pipes) {
        for (int p = 0; p < pipe.ports; ++p) {
            for (int k = 0; k < 4; ++k) {
                const uint32_t v = usage(cycle, pipe.slot[p], k + 10);
                d.port += fmt("THDI_PORT_SP_CNTRS_RT_%s.ipipe0[%d]: <PORT_SP_MIN_COUNT=0,PORT_SP_SHARED_COUNT=0x%x>\n",
                              pipe.pipe, 4 * p + k, v);
                if (k == 0)
                    record_value(want.ports[pipe.slot[p]].port_shared, v);
            }
            for (int k = 0; k < 8; ++k) {
                const uint32_t v = usage(cycle, pipe.slot[p], k);
                d.pg += fmt("THDI_PORT_PG_CNTRS_RT1_%s.ipipe0[%d]: <PG_MIN_COUNT=0,PG_SHARED_COUNT=0x%x,PG_HDRM_COUNT=0>\n",
                            pipe.pipe, 8 * p + k, v);
                record_value(want.ports[pipe.slot[p]].pg_shared[k], v);
            }
        }
    }
    for (int index = 0; index < 89; ++index) {
        d.port += fmt("CTR_ING_DROP.ipipe0[%d]: <PKTCNT=0x%" PRIx64 ">\n", index, counter(cycle, 60, index));
        if (index < 17 || index >= 64)
            want.ports[index < 17 ? kXSlot[index] : kYSlot[index - 64]].ibp_drop = counter(cycle, 60, index);
    }
    for (int index = 0; index < 1788; ++index) {
        d.port += fmt("CTR_UC_DROP.mmu0[%d]: <PKTCNT=%" PRIu64 ">\n", index, counter(cycle, 70, index));
        int slot = -1, queue = 0;
        if (index < 204)
            slot = kXSlot[index / 12], queue = index % 12;
        else if (index >= 1536 && index < 1576)
            slot = kYSlot[(index - 1536) / 10], queue = (index - 1536) % 10;
        else if (index >= 1576)
            slot = kYSlot[4 + (index - 1576) / 12], queue = (index - 1576) % 12;
        if (slot >= 0 && queue < 8)
            want.ports[slot].hol_drop[queue] = counter(cycle, 70, index);
    }
    return d;
}

TEST(Parsers42, WholeDumpsTwoCycles)
{
    check_dumps(*profile_for_ports(42), make_dump);
}

}  // namespace
