#include <cinttypes>

#include "parsers_test_util.h"

using namespace cellscope;
using namespace parsertest;

namespace {

constexpr uint32_t kScale = 32768;

TEST(Parsers42, GlobalLines)
{
    check_cases(parse_global_42, kScale, {
        {"THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x200\n", limit(512)},
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x1a0\n", total(416)},
        {"thdi_buffer_cell_limit_sp: limit=9\n", limit(9)},
        // The key may complete the marker itself.
        {"MMU_THDM_DB_POOL_SHARED_COUNT=0x20\n", total(32)},
        // The table order decides, not the position: the limit is tested first.
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=5 THDI_BUFFER_CELL_LIMIT_SP: LIMIT=7\n", limit(7)},
        {"COUNT=5 MMU_THDM_DB_POOL_SHARED_COUNT: none\n", nothing()},
        {"MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x100000000\n", nothing(), kStrtoulRange},
        {"THDI_BUFFER_CELL_LIMIT_PUBLIC: LIMIT=3\nno marker COUNT=4\n", nothing()},
    });
}

TEST(Parsers42, GlobalValuesAccumulate)
{
    auto store = fresh_store(kScale);
    EXPECT_EQ(parse_text(parse_global_42,
                         "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=100\n"
                         "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=2000\n"
                         "MMU_THDM_DB_POOL_SHARED_COUNT: COUNT=400\n"
                         "THDI_BUFFER_CELL_LIMIT_SP: LIMIT=30000\n",
                         *store),
              "");
    const UsageRecord& t = store->sw.total_shared;
    EXPECT_EQ(t.sample, 400u);
    EXPECT_EQ(t.current, 2000u);
    EXPECT_EQ(t.max, 2000u);
    EXPECT_EQ(t.buckets[0].hits, 1u);  // 100 below 327
    EXPECT_EQ(t.buckets[1].hits, 1u);  // 400 below 1638
    EXPECT_EQ(t.buckets[2].hits, 1u);  // 2000 below 3276
    EXPECT_EQ(store->sw.shared_limit.sample, 30000u);
    for (const UsageBucket& b : store->sw.shared_limit.buckets)
        EXPECT_EQ(b.hits, 0u);
}

TEST(Parsers42, PriorityGroupLines)
{
    const char* x = "THDI_PORT_PG_CNTRS_RT1_X";
    const char* y = "THDI_PORT_PG_CNTRS_RT1_Y";
    auto line = [](const char* marker, const char* index, const char* rest = ": PG_SHARED_COUNT=1") {
        return std::string(marker) + "[" + index + "]" + rest + "\n";
    };
    check_cases(parse_pg_42, kScale, {
        {line(x, "19", ": PG_SHARED_COUNT=0x40"), pg(0, 3, 64)},
        {line(y, "47", ": PG_SHARED_COUNT=12"), pg(4, 7, 12)},
        {"[2] THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=1\n", pg(40, 2, 1)},
        {"thdi_port_pg_cntrs_rt1_y[8]: pg_shared_count=3\n", pg(20, 0, 3)},
        // Y stands first in the line but X comes first in the table.
        {"THDI_PORT_PG_CNTRS_RT1_Y THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=5\n", pg(0, 3, 5)},
        {line(x, "0"), pg(40, 0, 1)},
        {line(x, "135"), pg(32, 7, 1)},
        {line(x, "136"), nothing()},
        {line(y, "0"), pg(16, 0, 1)},
        {line(y, "199"), pg(31, 7, 1)},
        {line(y, "200"), nothing()},
        // Negative indexes (also as large unsigned numbers) are skipped quietly.
        {line(x, "-1"), nothing()},
        {line(y, "-8"), nothing()},
        {line(x, "2147483648"), nothing()},
        {line(x, "", ": PG_SHARED_COUNT=1"), nothing(), kNoDigits},
        {"THDI_PORT_PG_CNTRS_RT1_X: PG_SHARED_COUNT=1\n", nothing()},
        {line(x, "19", ": PG_MIN_COUNT=3"), nothing()},
        {"PG_SHARED_COUNT=5 THDI_PORT_PG_CNTRS_RT1_X[19]\n", nothing()},
        {line(x, "19", ": PG_SHARED_COUNT=0x1ffffffff"), nothing(), kStrtoulRange},
    });
}

TEST(Parsers42, PacketCounterLines)
{
    check_cases(parse_port_42, kScale, {
        {"RXPP.xe5: COUNT=250\n", rxpp(5, 250)},
        {"TXPP.xe40: COUNT=0x4d\n", txpp(40, 77)},
        {"rxpp.XE5: count=10\n", rxpp(5, 10)},
        {"TXPP.xe3: COUNT=4 RXPP.xe9: COUNT=5\n", rxpp(3, 5)},  // RXPP first; first "xe" of the line
        // RXPP decides even without its key; the drop branch is not tried.
        {"RXPP CTR_UC_DROP[39]: PKTCNT=5\n", nothing()},
        {"COUNT=5 RXPP.xe1\n", nothing()},
        {"TXPP.xe2: COUNT=0x123456789abcdef0\n", txpp(2, 0x123456789abcdef0ull)},
        {"RXPP.xe0: COUNT=0\nRXPP.xe41: COUNT=1\n", rxpp(41, 1)},
        {"RXPP.xe42: COUNT=1\nTXPP.xe4294967295: COUNT=1\n", nothing()},  // no such slot
        {"RXPP: COUNT=1\n", nothing()},
        {"RXPP.xeon: COUNT=1\n", nothing(), kNoDigits},
        // The counter is scanned before the port: no port message then.
        {"RXPP.xeon: COUNT=18446744073709551616\n", nothing(), kStrtolRange},
        {"RXPP.xe5: COUNT=10\nRXPP.xe5: COUNT=3\n", rxpp(5, 3)},  // replaced, not added
        // The temporary of the line before is never stored.
        {"RXPP.xe5: COUNT=10\nTXPP.xe5: PKTS=3\n", rxpp(5, 10)},
    });
}

TEST(Parsers42, PortSharedLines)
{
    auto line = [](const char* pipe, const char* index, const char* rest = ": PORT_SP_SHARED_COUNT=1") {
        return std::string("THDI_PORT_SP_CNTRS_RT_") + pipe + "[" + index + "]" + rest + "\n";
    };
    check_cases(parse_port_42, kScale, {
        {line("X", "36", ": PORT_SP_SHARED_COUNT=0x80"), shared(39, 128)},
        {line("Y", "8", ": PORT_SP_SHARED_COUNT=0x10"), shared(24, 16)},
        {line("X", "0"), shared(40, 1)},
        {line("X", "64"), shared(32, 1)},
        {line("X", "65"), nothing()},
        {line("X", "68"), nothing()},
        {line("Y", "96"), shared(31, 1)},
        {line("Y", "97"), nothing()},
        {line("Y", "100"), nothing()},
        {line("X", "-4"), nothing()},  // a multiple of 4, but negative
        {line("Y", "x"), nothing(), kNoDigits},
        {line("X", "36", ": PORT_SP_MIN_COUNT=3"), nothing()},
        {"[8] THDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=2\n", shared(0, 2)},
    });
}

TEST(Parsers42, IngressDropLines)
{
    auto line = [](const char* index, const char* rest = ": PKTCNT=7") {
        return std::string("CTR_ING_DROP[") + index + "]" + rest + "\n";
    };
    check_cases(parse_port_42, kScale, {
        {line("3"), ibp(8, 7)},
        {line("70"), ibp(12, 7)},
        {line("0"), ibp(40, 7)},
        {line("16"), ibp(32, 7)},
        {line("17"), nothing()},
        {line("63"), nothing()},
        {line("64"), ibp(16, 7)},
        {line("88"), ibp(31, 7)},
        {line("89"), nothing()},
        {line("-1"), nothing()},
        {line("4294967232"), nothing()},  // -64
        {line("3", ": PKT_CNT=7"), nothing()},  // this module's key has no underscore
        {"PKTCNT=5 CTR_ING_DROP[3]\n", nothing()},
        {"CTR_ING_DROP: PKTCNT=7\n", nothing()},
        {line("3", ": PKTCNT=4294967296"), ibp(8, 4294967296ull)},
        {line("3", ": PKTCNT=1") + line("3", ": PKTCNT=2"), ibp(8, 2)},
    });
}

TEST(Parsers42, UcDropLines)
{
    auto line = [](const char* index, const char* rest = ": PKTCNT=5") {
        return std::string("CTR_UC_DROP[") + index + "]" + rest + "\n";
    };
    check_cases(parse_port_42, kScale, {
        {line("39"), hol(8, 3, 5)},
        {line("1543", ": PKTCNT=9"), hol(16, 7, 9)},
        {line("1600", ": PKTCNT=2"), hol(12, 0, 2)},
        {line("199"), hol(32, 7, 5)},
        {line("203"), nothing()},
        {line("204"), nothing()},
        {line("1535"), nothing()},
        {line("1536"), hol(16, 0, 5)},
        {line("1571"), hol(28, 5, 5)},
        {line("1575"), nothing()},
        {line("1576"), hol(11, 0, 5)},
        {line("1787"), hol(27, 7, 5)},
        {line("1788"), nothing()},
        // Slot 0 (X pipe port 2) receives its drops like every other slot.
        {line("24"), hol(0, 0, 5)},
        {line("31"), hol(0, 7, 5)},
        {line("32"), nothing()},
        {line("-1"), nothing()},
        {line("-12"), nothing()},
        {line("39", ": PKTCNT=0x1000000000"), hol(8, 3, 0x1000000000ull)},
        {line("39", ": PKTCNT=18446744073709551616"), nothing(), kStrtolRange},
        {"PKTCNT=5 CTR_UC_DROP[39]\n", nothing()},
    });
}

TEST(Parsers42, LongLinesArriveInPieces)
{
    check_cases(parse_port_42, kScale, {
        // The marker line sits in the second piece.
        {std::string(300, '-') + "RXPP.xe5: COUNT=7\n", rxpp(5, 7)},
        // The first piece ends inside the number: the value is cut.
        {split_line("RXPP.xe5: COUNT=12", "345"), rxpp(5, 12)},
        // A marker cut in two is in neither piece.
        {split_line("RX", "PP.xe5: COUNT=1"), nothing()},
        // The port name stands in the first piece only.
        {split_line("xe5", " RXPP: COUNT=1"), nothing()},
    });
    check_cases(parse_pg_42, kScale, {
        {split_line("THDI_PORT_PG_CNTRS_RT1_X[19]", ": PG_SHARED_COUNT=3"), nothing()},
    });
}

// ---- a whole refresh cycle, twice

// Pipe port to front-panel label, as the module's hardware wires them.
const char* const kXPipeLabels[17] = {"ISL1", "ISL2", "Bay 1", "Bay 9", "Bay 2", "Bay 10", "Bay 3", "Bay 11", "Bay 4",
                                      "X8",   "X7",   "X6",    "X5",    "X4",    "X3",     "X2",    "X1"};
const char* const kYPipeLabels[25] = {"Q1.1",  "Q2.1",  "Q3.1", "Q4.1", "Bay 12", "Bay 5", "Bay 13",
                                      "Bay 6", "Bay 14", "Bay 7", "Bay 15", "Bay 8", "Bay 16", "Q1.2",
                                      "Q1.3",  "Q1.4",  "Q2.2", "Q2.3", "Q2.4",   "Q3.2",  "Q3.3",
                                      "Q3.4",  "Q4.2",  "Q4.3", "Q4.4"};

int xslot(int p) { return slot_of(port_labels_42, kXPipeLabels[p]); }
int yslot(int p) { return slot_of(port_labels_42, kYPipeLabels[p]); }

uint32_t usage(int cycle, int slot, int k) { return static_cast<uint32_t>((cycle * 7919 + slot * 577 + k * 131) % 33000); }
uint64_t counter(int cycle, int slot, int k) { return (uint64_t(cycle) << 33) + uint64_t(slot) * 1000 + uint64_t(k); }

struct Dump {
    std::string global, port, pg;
};

// The dumps of one cycle, and the same cycle applied to the expected store.
Dump make_dump(int cycle, StatsStore& want)
{
    Dump d;
    store_reset_global(want);
    d.global += "# switch-wide buffer state, unit 0\n";
    d.global += fmt("THDI_BUFFER_CELL_LIMIT_SP.mmu0: <LIMIT=0x%x,RESUME_LIMIT=0x10>\n", 0x7000 + cycle);
    record_value(want.sw.shared_limit, 0x7000 + cycle);
    d.global += "THDI_BUFFER_CELL_LIMIT_PUBLIC.mmu0: <LIMIT=0x20>\n";
    for (int pool = 0; pool < 2; ++pool) {
        const uint32_t v = usage(cycle, 50, pool);
        d.global += fmt("MMU_THDM_DB_POOL_SHARED_COUNT.mmu0[%d]: <COUNT=0x%x>\n", pool, v);
        record_value(want.sw.total_shared, v);
    }

    store_reset_ports(want);
    d.port += "# per-port counters\n";
    for (int slot = 0; slot < kMaxPorts; ++slot) {
        d.port += fmt("RXPP.xe%d\t: COUNT=%" PRIu64 "\t+12\n", slot, counter(cycle, slot, 1));
        d.port += fmt("TXPP.xe%d\t: COUNT=0x%" PRIx64 "\t+3\n", slot, counter(cycle, slot, 2));
        want.ports[slot].rxpp = counter(cycle, slot, 1);
        want.ports[slot].txpp = counter(cycle, slot, 2);
    }
    const struct {
        const char* pipe;
        int ports;
        int (*slot)(int);
    } pipes[] = {{"X", 17, xslot}, {"Y", 25, yslot}};
    for (const auto& pipe : pipes) {
        for (int p = 0; p < pipe.ports; ++p) {
            for (int k = 0; k < 4; ++k) {
                const uint32_t v = usage(cycle, pipe.slot(p), k + 10);
                d.port += fmt("THDI_PORT_SP_CNTRS_RT_%s.ipipe0[%d]: <PORT_SP_MIN_COUNT=0,PORT_SP_SHARED_COUNT=0x%x>\n",
                              pipe.pipe, 4 * p + k, v);
                if (k == 0)
                    record_value(want.ports[pipe.slot(p)].port_shared, v);
            }
        }
    }
    for (int index = 0; index < 89; ++index) {
        d.port += fmt("CTR_ING_DROP.ipipe0[%d]: <PKTCNT=0x%" PRIx64 ">\n", index, counter(cycle, 60, index));
        if (index < 17)
            want.ports[xslot(index)].ibp_drop = counter(cycle, 60, index);
        else if (index >= 64)
            want.ports[yslot(index - 64)].ibp_drop = counter(cycle, 60, index);
    }
    // The whole UC drop array, unused gap included.
    for (int index = 0; index < 1788; ++index) {
        d.port += fmt("CTR_UC_DROP.mmu0[%d]: <PKTCNT=%" PRIu64 ">\n", index, counter(cycle, 70, index));
        int slot = -1, queue = 0;
        if (index < 204) {
            slot = xslot(index / 12), queue = index % 12;
        } else if (index >= 1536 && index < 1576) {
            slot = yslot((index - 1536) / 10), queue = (index - 1536) % 10;
        } else if (index >= 1576) {
            slot = yslot(4 + (index - 1576) / 12), queue = (index - 1576) % 12;
        }
        if (slot >= 0 && queue < 8)
            want.ports[slot].hol_drop[queue] = counter(cycle, 70, index);
    }

    d.pg += "# ingress priority groups\n";
    for (const auto& pipe : pipes) {
        for (int p = 0; p < pipe.ports; ++p) {
            for (int k = 0; k < 8; ++k) {
                const uint32_t v = usage(cycle, pipe.slot(p), k);
                d.pg += fmt("THDI_PORT_PG_CNTRS_RT1_%s.ipipe0[%d]: <PG_MIN_COUNT=0,PG_SHARED_COUNT=0x%x,PG_HDRM_COUNT=0>\n",
                            pipe.pipe, 8 * p + k, v);
                record_value(want.ports[pipe.slot(p)].pg_shared[k], v);
            }
        }
    }
    return d;
}

TEST(Parsers42, WholeDumpsTwoCycles)
{
    auto got = fresh_store(kScale);
    auto want = fresh_store(kScale);
    for (int cycle = 1; cycle <= 2; ++cycle) {
        SCOPED_TRACE("cycle " + std::to_string(cycle));
        const Dump d = make_dump(cycle, *want);
        store_reset_global(*got);
        EXPECT_EQ(parse_text(parse_global_42, d.global, *got), "");
        store_reset_ports(*got);
        EXPECT_EQ(parse_text(parse_port_42, d.port, *got), "");
        EXPECT_EQ(parse_text(parse_pg_42, d.pg, *got), "");
        EXPECT_EQ(store_diff(*want, *got), std::vector<std::string>{});
    }
    EXPECT_TRUE(queues_untouched(*got));
    // Y pipe ports 22 to 24 lie beyond the UC drop array.
    for (int slot : {29, 30, 31})
        EXPECT_EQ(got->ports[slot].hol_drop[0], 0u);
    EXPECT_NE(got->ports[0].hol_drop[0], 0u);
}

}  // namespace
