// Each module's rules on dump lines, against a fresh store with the expected
// changes made by hand; what each module reports; unsound descriptions.
#include <functional>

#include "helpers.h"
#include "modules/profile.h"

using namespace cellscope;

namespace {

using Edit = std::function<void(StatsStore&)>;

Edit none() { return [](StatsStore&) {}; }
Edit total(uint32_t v) { return [=](StatsStore& s) { record_value(s.sw.total_shared, v); }; }
Edit limit(uint32_t v) { return [=](StatsStore& s) { record_value(s.sw.shared_limit, v); }; }
Edit shared(int slot, uint32_t v) { return [=](StatsStore& s) { record_value(s.ports[slot].port_shared, v); }; }
Edit pg(int slot, int g, uint32_t v) { return [=](StatsStore& s) { record_value(s.ports[slot].pg_shared[g], v); }; }
Edit queue(int slot, int q, uint32_t v) { return [=](StatsStore& s) { record_value(s.ports[slot].queue_shared[q], v); }; }
Edit rxpp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].rxpp = v; }; }
Edit txpp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].txpp = v; }; }
Edit ibp(int slot, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].ibp_drop = v; }; }
Edit hol(int slot, int q, uint64_t v) { return [=](StatsStore& s) { s.ports[slot].hol_drop[q] = v; }; }
Edit all(std::vector<Edit> edits) { return [=](StatsStore& s) { for (const Edit& e : edits) e(s); }; }

const std::string kNoDigits = "No digits were found\n";

struct Case {
    char file;  // g switch-wide, p per-port, q priority-group
    std::string text;
    Edit expect;
    std::string err{};
};

void check(int ports, const std::vector<Case>& cases)
{
    const ModelProfile& m = *module_for_ports(ports);
    static StatsStore got, want;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(ports) + "-port module: " + c.text.substr(0, 100));
        store_init(got, m.cell_scale);
        store_init(want, m.cell_scale);
        c.expect(want);
        std::FILE* stream = testutil::stream_of(c.text);
        const DumpFormat& format = c.file == 'g' ? m.parse_global : c.file == 'p' ? m.parse_port : m.parse_pg;
        EXPECT_EQ(testutil::capture_stderr([&] { parse_dump(stream, got, format); }), c.err);
        EXPECT_EQ(std::fgetc(stream), EOF);
        std::fclose(stream);
        EXPECT_EQ(testutil::store_diff(want, got), std::vector<std::string>{});
    }
}

// A line whose first 255-character piece ends with head; tail follows it.
std::string split(const std::string& head, const std::string& tail)
{
    return std::string(255 - head.size(), '.') + head + tail + "\n";
}

// The description builders' limits are inclusive: segments may touch, in
// either order, and a file may have 8 markers.
constexpr int32_t kFour[] = {0, 1, 2, 3};
static_assert(layout({{4, 1, kFour}, {0, 1, kFour}}).count == 2);
constexpr const char* kEight[] = {"aa", "bb", "cc", "dd", "ee", "ff", "gg", "hh"};
[[maybe_unused]] constexpr MarkerSet kEightMarkers(kEight, 8);

}  // namespace

TEST(Modules, FortyTwoPorts)
{
    check(42, {
        {'g', "THDI_BUFFER_CELL_LIMIT_SP: LIMIT=0x200\nMMU_THDM_DB_POOL_SHARED_COUNT: COUNT=0x1a0\n",
         all({limit(512), total(416)})},
        {'g', "MMU_THDM_DB_POOL_SHARED_COUNT=0x20\nCOUNT=5 MMU_THDM_DB_POOL_SHARED_COUNT\n", total(32)},
        {'q', "THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=0x40\nthdi_port_pg_cntrs_rt1_y[47]: pg_shared_count=12\n",
         all({pg(0, 3, 64), pg(4, 7, 12)})},
        {'q', "[2] THDI_PORT_PG_CNTRS_RT1_X[19]: PG_SHARED_COUNT=1\n", pg(40, 2, 1)},
        {'q', "THDI_PORT_PG_CNTRS_RT1_X[135]: PG_SHARED_COUNT=1\nTHDI_PORT_PG_CNTRS_RT1_X[136]: PG_SHARED_COUNT=1\n"
              "THDI_PORT_PG_CNTRS_RT1_Y[199]: PG_SHARED_COUNT=2\nTHDI_PORT_PG_CNTRS_RT1_Y[200]: PG_SHARED_COUNT=2\n"
              "THDI_PORT_PG_CNTRS_RT1_Y[-1]: PG_SHARED_COUNT=2\nTHDI_PORT_PG_CNTRS_RT1_Y[x]: PG_SHARED_COUNT=2\n",
         all({pg(32, 7, 1), pg(31, 7, 2)}), kNoDigits},
        {'p', "RXPP.xe5: COUNT=250\nTXPP.xe40: COUNT=0x4d\nrxpp.XE7 TXPP: count=10\nRXPP.xe42: COUNT=1\n"
              "COUNT=5 RXPP.xe1\nRXPP.xe3: COUNT=4294967296\nRXPP.xe3 CTR_UC_DROP[0]: PKTCNT=1\n",
         all({rxpp(5, 250), txpp(40, 77), rxpp(7, 10), rxpp(3, 4294967296ULL)})},
        {'p', "RXPP.xeon: COUNT=1\n", none(), kNoDigits},
        {'p', "THDI_PORT_SP_CNTRS_RT_X[36]: PORT_SP_SHARED_COUNT=0x80\nTHDI_PORT_SP_CNTRS_RT_Y[8]: PORT_SP_SHARED_COUNT=0x10\n"
              "THDI_PORT_SP_CNTRS_RT_X[64]: PORT_SP_SHARED_COUNT=3\nTHDI_PORT_SP_CNTRS_RT_X[65]: PORT_SP_SHARED_COUNT=3\n"
              "THDI_PORT_SP_CNTRS_RT_X[68]: PORT_SP_SHARED_COUNT=3\nTHDI_PORT_SP_CNTRS_RT_Y[96]: PORT_SP_SHARED_COUNT=4\n"
              "THDI_PORT_SP_CNTRS_RT_Y[100]: PORT_SP_SHARED_COUNT=4\n",
         all({shared(39, 128), shared(24, 16), shared(32, 3), shared(31, 4)})},
        {'p', "CTR_ING_DROP[3]: PKTCNT=7\nCTR_ING_DROP[70]: PKTCNT=8\nCTR_ING_DROP[16]: PKTCNT=1\n"
              "CTR_ING_DROP[17]: PKTCNT=2\nCTR_ING_DROP[63]: PKTCNT=2\nCTR_ING_DROP[64]: PKTCNT=3\n"
              "CTR_ING_DROP[88]: PKTCNT=4\nCTR_ING_DROP[89]: PKTCNT=5\n",
         all({ibp(8, 7), ibp(12, 8), ibp(32, 1), ibp(16, 3), ibp(31, 4)})},
        {'p', "CTR_UC_DROP[39]: PKTCNT=5\nCTR_UC_DROP[1543]: PKTCNT=9\nCTR_UC_DROP[1600]: PKTCNT=2\n"
              "CTR_UC_DROP[199]: PKTCNT=1\nCTR_UC_DROP[203]: PKTCNT=6\nCTR_UC_DROP[204]: PKTCNT=6\n"
              "CTR_UC_DROP[1535]: PKTCNT=6\nCTR_UC_DROP[1536]: PKTCNT=3\nCTR_UC_DROP[1571]: PKTCNT=4\n"
              "CTR_UC_DROP[1575]: PKTCNT=6\nCTR_UC_DROP[1787]: PKTCNT=7\nCTR_UC_DROP[1788]: PKTCNT=6\n"
              "CTR_UC_DROP[24]: PKTCNT=8\nCTR_UC_DROP[1900]: PKTCNT=6\n",
         all({hol(8, 3, 5), hol(16, 7, 9), hol(12, 0, 2), hol(32, 7, 1), hol(16, 0, 3), hol(28, 5, 4), hol(27, 7, 7),
              hol(0, 0, 8)})},
        {'q', split("THDI_PORT_PG_CNTRS_RT1_X[2]:", " PG_SHARED_COUNT=9") + split("xx", "THDI_PORT_PG_CNTRS_RT1_X[2]: PG_SHARED_COUNT=3"),
         pg(40, 2, 3)},
    });
}

TEST(Modules, TwentyFourPorts)
{
    check(24, {
        {'g', "TOTAL_SHARED_COUNT=0x1a2 TOTAL_SHARED_LIMIT=1\ntotal_shared_limit=0x300\nTOTAL_SHARED_COUNT: 5\n",
         all({total(418), limit(768)})},
        {'q', "xe5 PG_SHARED_COUNT(3)=0x40\nPG_SHARED_COUNT(2).xe6: <PG_SHARED_COUNT=7>\nxe1 PG_SHARED_COUNT=4\n"
              "xe1 PG_SHARED_COUNT(8)=4\nxe42 PG_SHARED_COUNT(1)=4\nxe2 PG_SHARED_COUNT()=9\n",
         all({pg(5, 3, 64), pg(6, 2, 7), pg(2, 0, 9)})},
        {'q', "xeon no marker\n", none(), kNoDigits},
        {'p', "IRXPP.xe4: COUNT=0x2a\nITXPP.xe4: COUNT=42\nPORT_SHARED_COUNT.xe4: PORT_SHARED_COUNT=0x100\n"
              "IBP_DROP_PKT_CNT.xe1: COUNT=4294967296\nHOLDROP_PKT_CNT(5).xe4: COUNT=9\nIRXPP: COUNT=3\n"
              "IBP_DROP_PKT_CNT HOLDROP_PKT_CNT(2).xe2: COUNT=6\nHOLDROP_PKT_CNT.xe3: COUNT=6\n"
              "HOLDROP_PKT_CNT(8).xe3: COUNT=6\nxe23 IRXPP COUNT=1\nxe24 ITXPP COUNT=1\n",
         [](StatsStore& s) {
             s.ports[4].rxpp = 42, s.ports[4].txpp = 42, s.ports[1].ibp_drop = 4294967296ULL;
             s.ports[4].hol_drop[5] = 9, s.ports[2].ibp_drop = 6, s.ports[23].rxpp = 1, s.ports[24].txpp = 1;
             record_value(s.ports[4].port_shared, 256);
         }},
        {'p', "WREDAVGQSIZE_CELL(2).xe3: AVGQSIZE_CELL=0x18000\nxe3(2) WREDAVGQSIZE_CELL=0xC0000000\n"
              "xe4(7) WREDAVGQSIZE_CELL=0x3FFF8000\nxe4(8) WREDAVGQSIZE_CELL=0x8000\n",
         all({queue(3, 2, 3), queue(3, 2, 0), queue(4, 7, 32767)})},
        {'p', "xe1(1) WREDAVGQSIZE_CELL=99999999999\n", none(), std::string("strtoul: ") + std::strerror(ERANGE) + "\n"},
    });
}

TEST(Modules, ThirtyPorts)
{
    std::string drops;
    for (int index : {74, 81, 82, 148, 296, 305, 566, 576, 650, 872, 942, 979, 982, -1, 10})
        drops += "CTR_UC_DROP[" + std::to_string(index) + "]: PKT_CNT=" + std::to_string(index + 1000) + "\n";
    check(30, {
        {'g', "TOTAL_BUFFER_COUNT_CELL_SP: TOTAL_BUFFER_COUNT=0x123\nOP_BUFFER_SHARED_LIMIT_CELL=0x300\n"
              "TOTAL_BUFFER_COUNT_CELL_SP=0x5\n",
         all({total(291), limit(768)})},
        {'q', "PG_SHARED_COUNT_CELL(3).xe5: PG_SHARED_COUNT=0x40\nPG_SHARED_COUNT_CELL.xe5: PG_SHARED_COUNT=1\n",
         pg(5, 3, 64)},
        {'p', drops,
         [](StatsStore& s) {
             s.ports[0].hol_drop[0] = 1074, s.ports[0].hol_drop[7] = 1081, s.ports[4].hol_drop[0] = 1148;
             s.ports[1].hol_drop[0] = 1296, s.ports[16].hol_drop[0] = 1576, s.ports[20].hol_drop[0] = 1650;
             s.ports[17].hol_drop[0] = 1872, s.ports[27].hol_drop[7] = 1979;
         }},
        {'p', "RXPP.xe7: COUNT=0x10\nTXPP.xe7: COUNT=0x10\nPORT_SHARED_COUNT_CELL.xe7: PORT_SHARED_COUNT=0x80\n"
              "DROP_PKT_CNT_ING.xe7: COUNT=3\nrxpp.XE8 txpp: count=9\nCTR_UC_DROP[74].xe9 RXPP: PKT_CNT=5 COUNT=6\n"
              "PORT_SHARED_COUNT_CELL.xe7=0x80\nCTR_UC_DROP: PKT_CNT=1\nxe41 RXPP COUNT=2\n",
         [](StatsStore& s) {
             s.ports[7].rxpp = 16, s.ports[7].txpp = 16, s.ports[7].ibp_drop = 3, s.ports[8].rxpp = 9;
             s.ports[0].hol_drop[0] = 5, s.ports[41].rxpp = 2;
             record_value(s.ports[7].port_shared, 128);
         }},
        {'p', "CTR_UC_DROP[x]: PKT_CNT=1\nRXPP.xe: COUNT=1\n", none(), kNoDigits + kNoDigits},
    });
}

TEST(Modules, WhatEachModuleReportsAndWhatMakesOneUnsound)
{
    // Unicast drops of slots 29 to 31 are past the end of the 42-port
    // module's array; the 30-port module's slot 12 sits at an MMU port
    // without counters; only the 24-port module reports queue occupancy.
    const ModelProfile &m42 = *module_for_ports(42), &m24 = *module_for_ports(24), &m30 = *module_for_ports(30);
    for (int slot = 0; slot < kMaxPorts; ++slot) {
        EXPECT_EQ(module_reports(m42, Field::HolDrop, slot, 7), slot < 29 || slot > 31) << slot;
        EXPECT_EQ(module_reports(m30, Field::HolDrop, slot, 0), slot < 30 && slot != 12) << slot;
        EXPECT_EQ(module_reports(m24, Field::QueueShared, slot, 7), slot < 24) << slot;
        EXPECT_EQ(module_reports(m42, Field::Rxpp, slot, 0), slot < 42) << slot;
    }
    EXPECT_FALSE(module_reports(m42, Field::QueueShared, 0, 0));

    // The build refuses an unsound description; these would be.
    for (const ModelProfile* m : modules())
        EXPECT_TRUE(module_is_sound(*m));
    static const int32_t twice[] = {40, 40};
    static const std::span<const int32_t> twice_maps[] = {twice};
    // The map with every other entry changed, and with the others: no run stands in either in full.
    static int32_t even[64], odd[64];
    const std::span<const int32_t> map30 = m30.port_maps[0];
    for (size_t i = 0; i < map30.size(); ++i)
        even[i] = i % 2 ? -1 : map30[i], odd[i] = i % 2 ? map30[i] : -1;
    static const std::span<const int32_t> halves[] = {{even, map30.size()}, {odd, map30.size()}};
    ModelProfile bad[11] = {m42, m42, m42, m42, m30, m24, m30, m24, m24, m42, m42};
    bad[0].port_labels[0] = "";   // a shown slot without a label
    bad[1].port_count = 41;       // a label beyond the shown slots
    bad[2].port_maps = twice_maps;
    bad[3].port_count = 43;
    bad[4].port_maps = {};        // a layout runs over no map of the module
    bad[5].cell_scale = 0;
    bad[6].port_maps = halves;
    bad[7].port_labels[23] = "X6\n";       // characters a label or a terminal cannot carry
    bad[8].port_labels[0] = "Bay\x7f" "1";
    bad[9].model = "ZQN4TRKW1\x1b[K";
    bad[10].port_labels[5] = "Bay \xc3\xa9" "6";  // not ASCII
    for (const ModelProfile& m : bad)
        EXPECT_FALSE(module_is_sound(m));
    EXPECT_FALSE(module_reports(m30, Field::HolDrop, 0, 8));
    EXPECT_TRUE(module_reports(m30, Field::TotalShared, 0, 0));
    EXPECT_FALSE(module_reports(m24, Field::PortShared, 0, 1));
}
