// Dump parsers of the 24-port module.
//
// Every per-port and priority-group line names its port by "xe", whose
// number is the store slot; the port is scanned before any marker is tested.
// This module alone reports egress queue occupancy (queue_shared).
#include <cerrno>
#include <cstring>

#include "models/dump_reader.h"
#include "models/profile.h"
#include "snapshot/scanners.h"
#include "store/conv.h"
#include "store/text.h"

namespace cellscope {

namespace {

// ---- switch-wide file

enum GlobalBranch { kSharedCount, kSharedLimit };
constexpr const char* kGlobalMarkerTexts[] = {"TOTAL_SHARED_COUNT", "TOTAL_SHARED_LIMIT"};
constexpr MarkerSet kGlobalMarkers{kGlobalMarkerTexts};
constexpr KeyStarts kTotalCountFrom = key_starts(kGlobalMarkerTexts, "TOTAL_SHARED_COUNT=");
constexpr KeyStarts kTotalLimitFrom = key_starts(kGlobalMarkerTexts, "TOTAL_SHARED_LIMIT=");

void global_branch(const DumpLine& line, DumpContext& context)
{
    SwitchStats& sw = context.store.sw;
    if (line.branch == kSharedCount)
        record_sample(value_text(line, kTotalCountFrom), "TOTAL_SHARED_COUNT=", sw.total_shared);
    else
        record_sample(value_text(line, kTotalLimitFrom), "TOTAL_SHARED_LIMIT=", sw.shared_limit);
}

constexpr DumpFormat kGlobalFormat{kGlobalMarkers, kNoPortFirst, global_branch};

// ---- priority-group file

constexpr const char* kPgMarkerTexts[] = {"PG_SHARED_COUNT"};
constexpr MarkerSet kPgMarkers{kPgMarkerTexts};
constexpr KeyStarts kPgValueFrom = key_starts(kPgMarkerTexts, "=");

// The value is the number after the first "=" that follows the marker.
void pg_branch(const DumpLine& line, DumpContext& context)
{
    uint32_t group = 0;
    if (scan_group(line.text, &group) != 0)  // above 7: skipped
        return;
    record_sample(value_text(line, kPgValueFrom), "=", context.store.ports[line.port].pg_shared[group]);
}

constexpr DumpFormat kPgFormat{kPgMarkers, 0, pg_branch};

// ---- per-port file

enum PortBranch { kRxpp, kTxpp, kPortShared, kQueueSize, kIngressDrop, kHolDrop };
constexpr const char* kPortMarkerTexts[] = {
    "IRXPP", "ITXPP", "PORT_SHARED_COUNT", "WREDAVGQSIZE_CELL", "IBP_DROP_PKT_CNT", "HOLDROP_PKT_CNT",
};
constexpr MarkerSet kPortMarkers{kPortMarkerTexts};

constexpr char kQueueSizeKey[] = "AVGQSIZE_CELL=";
constexpr KeyStarts kQueueSizeFrom = key_starts(kPortMarkerTexts, kQueueSizeKey);
constexpr KeyStarts kCountFrom = key_starts(kPortMarkerTexts, "COUNT=");
constexpr KeyStarts kPortCountFrom = key_starts(kPortMarkerTexts, "PORT_SHARED_COUNT=");

// Average egress queue size: bits 15 to 29 of the register value.
void queue_size(const DumpLine& line, PortStats& port)
{
    uint32_t queue = 0;
    if (scan_group(line.text, &queue) != 0)  // above 7: skipped
        return;
    const char* key = find_nocase(value_text(line, kQueueSizeFrom), kQueueSizeKey);
    if (key == nullptr)
        return;
    errno = 0;
    const uint32_t value = strtoul32(key + sizeof kQueueSizeKey - 1, nullptr, 0);
    if ((errno == ERANGE && value == UINT32_MAX) || (errno != 0 && value == 0)) {
        std::perror("strtoul");
        return;
    }
    record_value(port.queue_shared[queue], (value >> 15) & 0x7FFFU);
}

void port_branch(const DumpLine& line, DumpContext& context)
{
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
    case kQueueSize:
        queue_size(line, port);
        break;
    case kIngressDrop:
        if (scan_counter64(value_text(line, kCountFrom), "COUNT=", &context.counter) == 0)
            port.ibp_drop = context.counter;
        break;
    case kHolDrop: {
        if (scan_counter64(value_text(line, kCountFrom), "COUNT=", &context.counter) != 0)
            return;
        uint32_t queue = 0;
        if (scan_group(line.text, &queue) != 0)  // above 7: skipped
            return;
        port.hol_drop[queue] = context.counter;
        break;
    }
    }
}

constexpr DumpFormat kPortFormat{kPortMarkers, 0, port_branch};

}  // namespace

// Ports above 41 are skipped by the port scan of the reading loop.
void parse_global_24(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kGlobalFormat); }
void parse_pg_24(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kPgFormat); }
void parse_port_24(std::FILE* stream, StatsStore& store) { read_dump(stream, store, kPortFormat); }

}  // namespace cellscope
