// Dump parsers of the 42-port module.
//
// Most per-port buffer counters come in two halves, one per pipeline (X and
// Y), indexed by pipe port number; the maps below turn a pipe port into the
// store slot (the "xe" number). Only packet counter lines name their port
// directly. Nothing here writes queue_shared.
#include "models/dump_reader.h"
#include "models/profile.h"
#include "snapshot/scanners.h"

namespace cellscope {

namespace {

constexpr int kXPipePorts = 17;
constexpr int kYPipePorts = 25;

constexpr int32_t xpipe_port_map[kXPipePorts] = {
    40, 41, 0, 8, 1, 9, 2, 10, 3, 39, 38, 37, 36, 35, 34, 33, 32,
};

constexpr int32_t ypipe_port_map[kYPipePorts] = {
    16, 20, 24, 28, 11, 4, 12, 5, 13, 6, 14, 7, 15, 17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31,
};

// Together the maps name every slot exactly once.
consteval bool maps_cover_all_slots()
{
    int seen[kMaxPorts] = {};
    for (int32_t slot : xpipe_port_map)
        ++seen[slot];
    for (int32_t slot : ypipe_port_map)
        ++seen[slot];
    for (int count : seen) {
        if (count != 1)
            return false;
    }
    return true;
}
static_assert(kXPipePorts + kYPipePorts == kMaxPorts && maps_cover_all_slots());

// ---- switch-wide file

enum GlobalBranch { kCellLimit, kPoolSharedCount };
constexpr const char* kGlobalMarkerTexts[] = {"THDI_BUFFER_CELL_LIMIT_SP", "MMU_THDM_DB_POOL_SHARED_COUNT"};
constexpr MarkerSet kGlobalMarkers{kGlobalMarkerTexts};
constexpr KeyStarts kLimitFrom = key_starts(kGlobalMarkerTexts, "LIMIT=");
constexpr KeyStarts kCountFrom = key_starts(kGlobalMarkerTexts, "COUNT=");

void global_branch(const DumpLine& line, DumpContext& context)
{
    SwitchStats& sw = context.store.sw;
    if (line.branch == kCellLimit)
        record_sample(value_text(line, kLimitFrom), "LIMIT=", sw.shared_limit);
    else
        record_sample(value_text(line, kCountFrom), "COUNT=", sw.total_shared);
}

constexpr DumpFormat kGlobalFormat{kGlobalMarkers, kNoPortFirst, global_branch};

// ---- priority-group file: eight counters per pipe port, index 8p + k

enum PgBranch { kPgX, kPgY };
constexpr const char* kPgMarkerTexts[] = {"THDI_PORT_PG_CNTRS_RT1_X", "THDI_PORT_PG_CNTRS_RT1_Y"};
constexpr MarkerSet kPgMarkers{kPgMarkerTexts};
constexpr KeyStarts kPgCountFrom = key_starts(kPgMarkerTexts, "PG_SHARED_COUNT=");

void pg_branch(const DumpLine& line, DumpContext& context)
{
    const bool x = line.branch == kPgX;
    int32_t index = 0;
    if (scan_signed_index(line.text, &index) != 0)  // negative: skipped
        return;
    if (index > (x ? 135 : 199))
        return;
    const int32_t* map = x ? xpipe_port_map : ypipe_port_map;
    const int32_t slot = map[index / kGroups];
    record_sample(value_text(line, kPgCountFrom), "PG_SHARED_COUNT=", context.store.ports[slot].pg_shared[index % kGroups]);
}

constexpr DumpFormat kPgFormat{kPgMarkers, kNoPortFirst, pg_branch};

// ---- per-port file

enum PortBranch { kRxpp, kTxpp, kSharedX, kSharedY, kIngressDrop, kUcDrop };
constexpr const char* kPortMarkerTexts[] = {
    "RXPP", "TXPP", "THDI_PORT_SP_CNTRS_RT_X", "THDI_PORT_SP_CNTRS_RT_Y", "CTR_ING_DROP", "CTR_UC_DROP",
};
constexpr MarkerSet kPortMarkers{kPortMarkerTexts};
constexpr KeyStarts kPacketCountFrom = key_starts(kPortMarkerTexts, "COUNT=");
constexpr KeyStarts kSpCountFrom = key_starts(kPortMarkerTexts, "PORT_SP_SHARED_COUNT=");
constexpr KeyStarts kDropCountFrom = key_starts(kPortMarkerTexts, "PKTCNT=");

// Packet counters name their slot by "xe"; a port above 41 is skipped.
void packet_counter(const DumpLine& line, DumpContext& context)
{
    if (scan_counter64(value_text(line, kPacketCountFrom), "COUNT=", &context.counter) != 0)
        return;
    uint32_t slot = 0;
    if (scan_slot(line.text, &slot) != 0)
        return;
    PortStats& port = context.store.ports[slot];
    (line.branch == kRxpp ? port.rxpp : port.txpp) = context.counter;
}

// Four counters per pipe port, index 4p + k; only k = 0 is used.
void port_shared_count(const DumpLine& line, DumpContext& context)
{
    const bool x = line.branch == kSharedX;
    int32_t index = 0;
    if (scan_signed_index(line.text, &index) != 0)  // negative: skipped
        return;
    if (index % 4 != 0 || index > (x ? 67 : 99))
        return;
    const int32_t* map = x ? xpipe_port_map : ypipe_port_map;
    const int32_t slot = map[index / 4];
    record_sample(value_text(line, kSpCountFrom), "PORT_SP_SHARED_COUNT=", context.store.ports[slot].port_shared);
}

// One array for both pipelines: X pipe port p at p, Y pipe port p at 64 + p.
void ingress_drop(const DumpLine& line, DumpContext& context)
{
    if (scan_counter64(value_text(line, kDropCountFrom), "PKTCNT=", &context.counter) != 0)
        return;
    int32_t index = 0;
    if (scan_signed_index(line.text, &index) != 0)  // negative: skipped
        return;
    int32_t slot = 0;
    if (index > 88)
        return;
    if (index >= 64)
        slot = ypipe_port_map[index - 64];
    else if (index > 16)
        return;
    else
        slot = xpipe_port_map[index];
    context.store.ports[slot].ibp_drop = context.counter;
}

// One array for both pipelines: 12 queues per X pipe port from 0, 10 per Y
// pipe port 0 to 3 from 1536, 12 per Y pipe port from 4 on from 1576; the
// array ends with queue 7 of Y pipe port 21. Only queues 0 to 7 are kept.
// Slot 0 (X pipe port 2) is stored like every other slot.
void uc_drop(const DumpLine& line, DumpContext& context)
{
    if (scan_counter64(value_text(line, kDropCountFrom), "PKTCNT=", &context.counter) != 0)
        return;
    int32_t index = 0;
    if (scan_signed_index(line.text, &index) != 0)  // negative: skipped
        return;
    int32_t slot = 0;
    int32_t queue = 0;
    if (index > 1787) {
        return;
    } else if (index >= 1576) {
        const int32_t r = index - 1576;
        slot = ypipe_port_map[4 + r / 12];
        queue = r % 12;
    } else if (index >= 1536) {
        const int32_t r = index - 1536;
        slot = ypipe_port_map[r / 10];
        queue = r % 10;
    } else if (index > 203) {
        return;
    } else {
        slot = xpipe_port_map[index / 12];
        queue = index % 12;
    }
    if (queue >= kGroups)
        return;
    context.store.ports[slot].hol_drop[queue] = context.counter;
}

void port_branch(const DumpLine& line, DumpContext& context)
{
    switch (line.branch) {
    case kRxpp:
    case kTxpp:
        packet_counter(line, context);
        break;
    case kSharedX:
    case kSharedY:
        port_shared_count(line, context);
        break;
    case kIngressDrop:
        ingress_drop(line, context);
        break;
    case kUcDrop:
        uc_drop(line, context);
        break;
    }
}

constexpr DumpFormat kPortFormat{kPortMarkers, kNoPortFirst, port_branch};

}  // namespace

void parse_global_42(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kGlobalFormat); }
void parse_pg_42(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kPgFormat); }
void parse_port_42(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kPortFormat); }

}  // namespace cellscope
