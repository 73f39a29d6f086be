// Dump parsers of the 30-port module.
//
// Lines name their port by "xe", except the per-queue drop counters, which
// carry one flat index over the chip's MMU ports and their queues; that index
// is split into MMU port and queue, and mmu_port_map gives the slot. Nothing
// here writes queue_shared.
#include "models/dump_reader.h"
#include "models/profile.h"
#include "snapshot/scanners.h"

namespace cellscope {

namespace {

constexpr int kMmuPorts = 49;

// Slot of each MMU port, -1 where the MMU port has no port on this module.
constexpr int32_t mmu_port_map[kMmuPorts] = {
    -1,
    0,  4,  8,  12, 1,  5,  9,  13, 2,  6,  10, 14, 3,  7,  11, 15,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
    16, 20, 24, 28, 17, 21, 25, 29, 18, 22, 26, -1, 19, 23, 27,
};

// Each of the 30 slots appears exactly once.
consteval bool map_covers_slots()
{
    int seen[30] = {};
    for (int32_t slot : mmu_port_map) {
        if (slot < -1 || slot >= 30)
            return false;
        if (slot >= 0)
            ++seen[slot];
    }
    for (int count : seen) {
        if (count != 1)
            return false;
    }
    return true;
}
static_assert(map_covers_slots());

// ---- switch-wide file

enum GlobalBranch { kTotalCount, kSharedLimit };
constexpr const char* kGlobalMarkerTexts[] = {"TOTAL_BUFFER_COUNT_CELL_SP", "OP_BUFFER_SHARED_LIMIT_CELL"};
constexpr MarkerSet kGlobalMarkers{kGlobalMarkerTexts};
constexpr KeyStarts kTotalCountFrom = key_starts(kGlobalMarkerTexts, "TOTAL_BUFFER_COUNT=");
constexpr KeyStarts kLimitFrom = key_starts(kGlobalMarkerTexts, "OP_BUFFER_SHARED_LIMIT_CELL=");

void global_branch(const DumpLine& line, DumpContext& context)
{
    SwitchStats& sw = context.store.sw;
    if (line.branch == kTotalCount)
        record_sample(value_text(line, kTotalCountFrom), "TOTAL_BUFFER_COUNT=", sw.total_shared);
    else
        record_sample(value_text(line, kLimitFrom), "OP_BUFFER_SHARED_LIMIT_CELL=", sw.shared_limit);
}

constexpr DumpFormat kGlobalFormat{kGlobalMarkers, kNoPortFirst, global_branch};

// ---- priority-group file: the port is scanned before the marker test

constexpr const char* kPgMarkerTexts[] = {"PG_SHARED_COUNT_CELL"};
constexpr MarkerSet kPgMarkers{kPgMarkerTexts};
constexpr KeyStarts kPgCountFrom = key_starts(kPgMarkerTexts, "PG_SHARED_COUNT=");

void pg_branch(const DumpLine& line, DumpContext& context)
{
    uint32_t group = 0;
    if (scan_group(line.text, &group) != 0)  // above 7: skipped
        return;
    record_sample(value_text(line, kPgCountFrom), "PG_SHARED_COUNT=", context.store.ports[line.port].pg_shared[group]);
}

constexpr DumpFormat kPgFormat{kPgMarkers, 0, pg_branch};

// ---- per-port file: drop counter lines first, then the port is scanned

enum PortBranch { kUcDrop, kRxpp, kTxpp, kPortShared, kIngressDrop };
constexpr const char* kPortMarkerTexts[] = {
    "CTR_UC_DROP", "RXPP", "TXPP", "PORT_SHARED_COUNT_CELL", "DROP_PKT_CNT_ING",
};
constexpr MarkerSet kPortMarkers{kPortMarkerTexts};
constexpr KeyStarts kDropCountFrom = key_starts(kPortMarkerTexts, "PKT_CNT=");
constexpr KeyStarts kCountFrom = key_starts(kPortMarkerTexts, "COUNT=");
constexpr KeyStarts kPortCountFrom = key_starts(kPortMarkerTexts, "PORT_SHARED_COUNT=");

// MMU ports 0 to 3 have 74 counters each from index 0, 5 to 32 ten each
// from 296, 34 to 37 74 each from 576, 38 upward ten each from 872. Only
// queues 0 to 7 are kept.
void uc_drop(const DumpLine& line, DumpContext& context)
{
    if (scan_counter64(value_text(line, kDropCountFrom), "PKT_CNT=", &context.counter) != 0)
        return;
    int32_t index = 0;
    if (scan_signed_index(line.text, &index) != 0)  // negative: skipped
        return;
    int32_t mmu_port = 0;
    int32_t queue = 0;
    if (index >= 872) {
        mmu_port = 38 + (index - 872) / 10;
        queue = (index - 872) % 10;
    } else if (index >= 576) {
        mmu_port = 34 + (index - 576) / 74;
        queue = (index - 576) % 74;
    } else if (index >= 296) {
        mmu_port = 5 + (index - 296) / 10;
        queue = (index - 296) % 10;
    } else {
        mmu_port = index / 74;
        queue = index % 74;
    }
    if (mmu_port < 1 || mmu_port >= kMmuPorts)
        return;
    const int32_t slot = mmu_port_map[mmu_port];
    if (slot < 0 || queue >= kGroups)
        return;
    context.store.ports[slot].hol_drop[queue] = context.counter;
}

void port_branch(const DumpLine& line, DumpContext& context)
{
    if (line.branch == kUcDrop) {
        uc_drop(line, context);
        return;
    }
    PortStats& port = context.store.ports[line.port];
    switch (line.branch) {
    case kRxpp:
        if (scan_counter64(value_text(line, kCountFrom), "COUNT=", &context.counter) == 0)
            port.rxpp = context.counter;
        break;
    case kTxpp:
        if (scan_counter64(value_text(line, kCountFrom), "COUNT=", &context.counter) == 0)
            port.txpp = context.counter;
        break;
    case kPortShared:
        record_sample(value_text(line, kPortCountFrom), "PORT_SHARED_COUNT=", port.port_shared);
        break;
    case kIngressDrop:
        if (scan_counter64(value_text(line, kCountFrom), "COUNT=", &context.counter) == 0)
            port.ibp_drop = context.counter;
        break;
    }
}

constexpr DumpFormat kPortFormat{kPortMarkers, kRxpp, port_branch};

}  // namespace

// Ports above 41 are skipped by the port scan of the reading loop.
void parse_global_30(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kGlobalFormat); }
void parse_pg_30(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kPgFormat); }
void parse_port_30(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kPortFormat); }

}  // namespace cellscope
