// The 42-port module: 16 server bays, four quad ports, eight uplinks and two
// inter-switch links.
//
// The chip keeps most of its per-port buffer counters in two halves, one per
// pipeline (X and Y), each numbering its own ports from 0; the pipe port maps
// give each pipe port's store slot (the number of its "xe" name). Only the
// packet counter lines name their port directly. No rule feeds the egress
// queue records, which stay zero on this module.
#pragma once

#include "modules/profile.h"

namespace cellscope::module_42 {

inline constexpr int32_t kXPipe[] = {40, 41, 0, 8, 1, 9, 2, 10, 3, 39, 38, 37, 36, 35, 34, 33, 32};
inline constexpr int32_t kYPipe[] = {16, 20, 24, 28, 11, 4,  12, 5,  13, 6,  14, 7, 15,
                                     17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31};
inline constexpr std::span<const int32_t> kPortMaps[] = {kXPipe, kYPipe};

// Eight priority-group counters per pipe port: index 8p + group.
inline constexpr Layout kPgX = layout({{0, kGroups, kXPipe}});
inline constexpr Layout kPgY = layout({{0, kGroups, kYPipe}});
// Four service-pool counters per pipe port, 4p + pool; pool 0 is the port's
// shared use (a slot keeps one counter, so the others are passed over).
inline constexpr Layout kSharedX = layout({{0, 4, kXPipe}});
inline constexpr Layout kSharedY = layout({{0, 4, kYPipe}});
// Ingress drops, both pipelines in one array: X pipe port p at p, Y at 64 + p.
inline constexpr Layout kIngressDrop = layout({{0, 1, kXPipe}, {64, 1, kYPipe}});
// Unicast drops per queue, both pipelines in one array: 12 queues per X pipe
// port from 0, 10 per Y pipe port 0 to 3 from 1536, 12 per Y pipe port from
// 4 on from 1576; the array ends with Y pipe port 21, so Y pipe ports 22 to
// 24 (slots 29 to 31) report none. Queues above 7 are not kept. X pipe port 2
// is Bay 1 (slot 0), decoded like every other port, so Bay 1 shows its drops.
inline constexpr Layout kUcDrop =
    layout({{0, 12, kXPipe}, {1536, 10, ports_of(kYPipe, 0, 4)}, {1576, 12, ports_of(kYPipe, 4, 22)}});

inline constexpr ModelProfile kModule{
    .model = "ZQN4TRKW1",
    .port_count = 42,
    .cell_scale = 32768,
    .port_labels = {"Bay 1",  "Bay 2",  "Bay 3",  "Bay 4",  "Bay 5",  "Bay 6",  "Bay 7",  "Bay 8", "Bay 9",
                    "Bay 10", "Bay 11", "Bay 12", "Bay 13", "Bay 14", "Bay 15", "Bay 16", "Q1.1",  "Q1.2",
                    "Q1.3",   "Q1.4",   "Q2.1",   "Q2.2",   "Q2.3",   "Q2.4",   "Q3.1",   "Q3.2",  "Q3.3",
                    "Q3.4",   "Q4.1",   "Q4.2",   "Q4.3",   "Q4.4",   "X1",     "X2",     "X3",    "X4",
                    "X5",     "X6",     "X7",     "X8",     "ISL1",   "ISL2"},
    .port_maps = kPortMaps,
    .parse_global = dump_format({
        {.marker = "THDI_BUFFER_CELL_LIMIT_SP", .key = "LIMIT=", .field = Field::SharedLimit},
        {.marker = "MMU_THDM_DB_POOL_SHARED_COUNT", .key = "COUNT=", .field = Field::TotalShared},
    }),
    .parse_port = dump_format({
        {.marker = "RXPP", .key = "COUNT=", .field = Field::Rxpp, .port = Port::Named},
        {.marker = "TXPP", .key = "COUNT=", .field = Field::Txpp, .port = Port::Named},
        {.marker = "THDI_PORT_SP_CNTRS_RT_X",
         .key = "PORT_SP_SHARED_COUNT=",
         .field = Field::PortShared,
         .index = Index::Bracket,
         .layout = &kSharedX},
        {.marker = "THDI_PORT_SP_CNTRS_RT_Y",
         .key = "PORT_SP_SHARED_COUNT=",
         .field = Field::PortShared,
         .index = Index::Bracket,
         .layout = &kSharedY},
        {.marker = "CTR_ING_DROP",
         .key = "PKTCNT=",
         .field = Field::IbpDrop,
         .index = Index::Bracket,
         .layout = &kIngressDrop},
        {.marker = "CTR_UC_DROP",
         .key = "PKTCNT=",
         .field = Field::HolDrop,
         .index = Index::Bracket,
         .layout = &kUcDrop},
    }),
    .parse_pg = dump_format({
        {.marker = "THDI_PORT_PG_CNTRS_RT1_X",
         .key = "PG_SHARED_COUNT=",
         .field = Field::PgShared,
         .index = Index::Bracket,
         .layout = &kPgX},
        {.marker = "THDI_PORT_PG_CNTRS_RT1_Y",
         .key = "PG_SHARED_COUNT=",
         .field = Field::PgShared,
         .index = Index::Bracket,
         .layout = &kPgY},
    }),
};

}  // namespace cellscope::module_42
