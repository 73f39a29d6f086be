#include <cinttypes>

#include "parsers_test_util.h"

using namespace cellscope;
using namespace parsertest;

namespace {

constexpr uint32_t kScale = 32768;

TEST(Parsers30, GlobalAndPriorityGroupLines)
{
    check_cases(parse_global_30, kScale, {
        {"TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=0x123\n", total(291)},
        {"OP_BUFFER_SHARED_LIMIT_CELL=0x300\n", limit(768)},
        {"TOTAL_BUFFER_COUNT_CELL_SP=0x123\n", nothing()},
        {"op_buffer_shared_limit_cell: OP_BUFFER_SHARED_LIMIT_CELL=4 TOTAL_BUFFER_COUNT_CELL_SP\n", nothing()},
        {"OP_BUFFER_SHARED_LIMIT_CELL=9 TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=4\n", total(4)},
        {"TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=0x100000000\n", nothing(), kStrtoulRange},
    });
    auto line = [](const char* group, int port, const char* rest = ": PG_SHARED_COUNT=2") {
        return std::string("PG_SHARED_COUNT_CELL") + group + ".xe" + std::to_string(port) + rest + "\n";
    };
    check_cases(parse_pg_30, kScale, {
        {line("(3)", 5, ": PG_SHARED_COUNT=0x40"), pg(5, 3, 64)},
        {"pg_shared_count_cell(3).XE5: pg_shared_count=1\n", pg(5, 3, 1)},
        {line("", 5), nothing()}, {line("()", 5), pg(5, 0, 2)},  // no "(", no digits
        {line("(7)", 5), pg(5, 7, 2)}, {line("(8)", 5), nothing()},
        {line("(0)", 29), pg(29, 0, 2)}, {line("(0)", 41), pg(41, 0, 2)}, {line("(0)", 42), nothing()},
        {"PG_SHARED_COUNT_CELL(0): PG_SHARED_COUNT=2\n", nothing()},
        {"PG_SHARED_COUNT=2 PG_SHARED_COUNT_CELL(0).xe1\n", nothing()},
        {line("(0)", 1, ": PG_MIN_COUNT=2"), nothing()},
        {"xeon without a marker\n", nothing(), kNoDigits},
        {split_line("PG_SHARED_COUNT_CELL(3).xe5: ", "PG_SHARED_COUNT=3"), nothing()},
    });
}

TEST(Parsers30, PortLines)
{
    check_cases(parse_port_30, kScale, {
        {"CTR_UC_DROP[300]: PKT_CNT=0x5\n", hol(1, 4, 5)},
        {"RXPP.xe7: COUNT=0x10\n", rxpp(7, 16)}, {"TXPP.xe7: COUNT=0x10\n", txpp(7, 16)},
        {"PORT_SHARED_COUNT_CELL.xe7: PORT_SHARED_COUNT=0x80\n", shared(7, 128)},
        {"DROP_PKT_CNT_ING.xe7: COUNT=3\n", ibp(7, 3)},
        {"rxpp.XE7: count=9\n", rxpp(7, 9)}, {"TXPP.xe7 RXPP: COUNT=9\n", rxpp(7, 9)},
        {"PORT_SHARED_COUNT_CELL.xe7=0x80\n", nothing()}, {"DROP_PKT_CNT_ING.xe7: PKT_CNT=3\n", nothing()},
        {"COUNT=3 DROP_PKT_CNT_ING.xe7\n", nothing()},
        {"DROP_PKT_CNT_ING.xe1: COUNT=4294967296\n", ibp(1, 4294967296ull)},
        {"RXPP.xe30: COUNT=1\nTXPP.xe41: COUNT=2\n", both(rxpp(30, 1), txpp(41, 2))},
        {"RXPP.xe42: COUNT=1\n", nothing()}, {"RXPP: COUNT=1\n", nothing()},
        {"xeon without a marker\n", nothing(), kNoDigits},  // the port is scanned whenever the drop marker is absent
        {"RXPP.xe7: COUNT=10\nRXPP.xe7: COUNT=4\n", rxpp(7, 4)},
        {"RXPP.xe7: COUNT=10\nTXPP.xe7: PKTS=4\n", rxpp(7, 10)},
        {"RXPP.xe7: COUNT=18446744073709551616\n", nothing(), kStrtolRange},
        {std::string(300, '-') + "RXPP.xe5: COUNT=7\n", rxpp(5, 7)},
        {split_line("CTR_UC_DROP[300]: PKT_CNT=12", "345"), hol(1, 4, 12)},
        {split_line("CTR_UC", "_DROP[300]: PKT_CNT=1"), nothing()},
    });
}

TEST(Parsers30, UcDropLines)
{
    auto line = [](const char* index, const char* rest = ": PKT_CNT=6") {
        return std::string("CTR_UC_DROP[") + index + "]" + rest + "\n";
    };
    check_cases(parse_port_30, kScale, {
        {line("0"), nothing()}, {line("73"), nothing()}, {line("74"), hol(0, 0, 6)}, {line("81"), hol(0, 7, 6)},
        {line("82"), nothing()}, {line("148"), hol(4, 0, 6)}, {line("295"), nothing()} /* MMU port 3, queue 73 */,
        {line("296"), hol(1, 0, 6)}, {line("305"), nothing()}, {line("566"), nothing()}, {line("576"), hol(16, 0, 6)},
        {line("650"), hol(20, 0, 6)}, {line("872"), hol(17, 0, 6)}, {line("942"), nothing()},
        {line("979"), hol(27, 7, 6)}, {line("982"), nothing()}, {line("2147483647"), nothing()},
        {line("-1"), nothing()}, {line("-74"), nothing()}, {line("4294967295"), nothing()},
        // The drop marker decides and needs no port; a port name is not used.
        {"RXPP.xe3 CTR_UC_DROP[300]: PKT_CNT=0x5\n", hol(1, 4, 5)},
        {"CTR_UC_DROP.xeon[300]: PKT_CNT=0x5\n", hol(1, 4, 5)},
        {"CTR_UC_DROP: PKT_CNT=5\n", nothing()}, {line("x"), nothing(), kNoDigits},
        {"PKT_CNT=5 CTR_UC_DROP[300]\n", nothing()}, {line("300", ": PKTCNT=5"), nothing()},
        {"[74] CTR_UC_DROP[300]: PKT_CNT=1\n", hol(0, 0, 1)},
        {line("300", ": PKT_CNT=0x123456789") + line("300", ": PKT_CNT=2"), hol(1, 4, 2)},
        {line("300", ": PKT_CNT=0x123456789"), hol(1, 4, 0x123456789ull)},
    });
}

// The slot of an MMU port, by the module's wiring pattern; -1 for none.
int mmu_slot(int m)
{
    if (m >= 1 && m <= 16)
        return 4 * ((m - 1) % 4) + (m - 1) / 4;
    if (m >= 34 && m <= 48 && m != 45)
        return 16 + 4 * ((m - 34) % 4) + (m - 34) / 4;
    return -1;
}

uint32_t usage(int cycle, int slot, int k) { return static_cast<uint32_t>((cycle * 6007 + slot * 311 + k * 71) % 33000); }
uint64_t counter(int cycle, int slot, int k) { return (uint64_t(cycle) << 36) + uint64_t(slot) * 1000 + uint64_t(k); }

// The whole drop counter layout, queues above 7 and MMU ports without a slot
// included; MMU port 4 has no counters, so slot 12 gets none.
Dump make_dump(int cycle, StatsStore& want)
{
    Dump d;
    d.global += fmt("TOTAL_BUFFER_COUNT_CELL_SP.mmu0: TOTAL_BUFFER_COUNT=0x%x\n", usage(cycle, 50, 0));
    d.global += fmt("OP_BUFFER_SHARED_LIMIT_CELL.mmu0: OP_BUFFER_SHARED_LIMIT_CELL=0x%x\n", 0x7000 + cycle);
    d.global += "OP_BUFFER_LIMIT_RESUME_CELL.mmu0: OP_BUFFER_LIMIT_RESUME_CELL=0x10\n";
    record_value(want.sw.total_shared, usage(cycle, 50, 0));
    record_value(want.sw.shared_limit, 0x7000 + cycle);
    for (int slot = 0; slot < 30; ++slot) {
        PortStats& w = want.ports[slot];
        d.port += fmt("RXPP.xe%d\t: COUNT=%" PRIu64 " +1\n", slot, counter(cycle, slot, 1));
        d.port += fmt("TXPP.xe%d\t: COUNT=0x%" PRIx64 " +1\n", slot, counter(cycle, slot, 2));
        d.port += fmt("THDI_PORT_SHARED_COUNT_CELL.xe%d: PORT_SHARED_COUNT=0x%x\n", slot, usage(cycle, slot, 9));
        d.port += fmt("DROP_PKT_CNT_ING.xe%d\t: COUNT=%" PRIu64 "\n", slot, counter(cycle, slot, 3));
        d.port += fmt("DROP_PKT_CNT_EGR.xe%d\t: PKTS=5\n", slot);
        w.rxpp = counter(cycle, slot, 1);
        w.txpp = counter(cycle, slot, 2);
        w.ibp_drop = counter(cycle, slot, 3);
        record_value(w.port_shared, usage(cycle, slot, 9));
        for (int k = 0; k < 8; ++k) {
            d.pg += fmt("THDI_PG_SHARED_COUNT_CELL(%d).xe%d: PG_SHARED_COUNT=0x%x PG_MIN=0\n", k, slot, usage(cycle, slot, k));
            record_value(w.pg_shared[k], usage(cycle, slot, k));
        }
    }
    // MMU ports with their first counter index and queue count.
    const struct { int first_port, last_port, base, queues; } layout[] = {
        {0, 3, 0, 74}, {5, 32, 296, 10}, {34, 37, 576, 74}, {38, 48, 872, 10}};
    for (const auto& block : layout) {
        for (int m = block.first_port; m <= block.last_port; ++m) {
            for (int q = 0; q < block.queues; ++q) {
                const int index = block.base + (m - block.first_port) * block.queues + q;
                d.port += fmt("CTR_UC_DROP.mmu0[%d]: PKT_CNT=0x%" PRIx64 "\n", index, counter(cycle, 60, index));
                if (mmu_slot(m) >= 0 && q < 8)
                    want.ports[mmu_slot(m)].hol_drop[q] = counter(cycle, 60, index);
            }
        }
    }
    return d;
}

TEST(Parsers30, WholeDumpsTwoCycles)
{
    check_dumps(*profile_for_ports(30), make_dump);
}

}  // namespace
