// The 30-port module: 16 server bays, ten uplinks and four inter-switch links.
//
// Lines name their port by "xe", except the unicast drop counters, which
// carry one flat index over the chip's MMU ports and their queues; the MMU
// port map gives each MMU port's store slot. No rule feeds the egress queue
// records, which stay zero on this module.
#pragma once

#include "modules/profile.h"

namespace cellscope::module_30 {

// Slot of each MMU port 0 to 48, -1 where the MMU port has no port here.
inline constexpr int32_t kMmuPorts[] = {
    -1, 0,  4,  8,  12, 1,  5,  9,  13, 2,  6,  10, 14, 3,  7,  11, 15, -1, -1, -1, -1, -1, -1, -1, -1,
    -1, -1, -1, -1, -1, -1, -1, -1, -1, 16, 20, 24, 28, 17, 21, 25, 29, 18, 22, 26, -1, 19, 23, 27,
};
inline constexpr std::span<const int32_t> kPortMaps[] = {kMmuPorts};

// Unicast drops per queue: 74 per MMU port 0 to 3 from 0, 10 per MMU port 5
// to 32 from 296, 74 per MMU port 34 to 37 from 576, 10 per MMU port 38 on
// from 872. MMU ports 4 and 33 have no counters, so the slot at MMU port 4
// (slot 12) reports none. Queues above 7 are not kept.
inline constexpr Layout kUcDrop = layout({{0, 74, ports_of(kMmuPorts, 0, 4)},
                                          {296, 10, ports_of(kMmuPorts, 5, 33)},
                                          {576, 74, ports_of(kMmuPorts, 34, 38)},
                                          {872, 10, ports_of(kMmuPorts, 38, std::size(kMmuPorts))}});

inline constexpr ModelProfile kModule{
    .model = "ZQN4TKW1",
    .port_count = 30,
    .cell_scale = 32768,
    .port_labels = {"Bay 1",  "Bay 2",  "Bay 3",  "Bay 4",  "Bay 5",  "Bay 6",  "Bay 7", "Bay 8", "Bay 9", "Bay 10",
                    "Bay 11", "Bay 12", "Bay 13", "Bay 14", "Bay 15", "Bay 16", "X1",    "X2",    "X3",    "X4",
                    "X5",     "X6",     "X7",     "X8",     "X9",     "X10",    "ISL1",  "ISL2",  "ISL3",  "ISL4"},
    .port_maps = kPortMaps,
    // Three value keys are a shorter field name than their marker.
    .parse_global = dump_format({
        {.marker = "TOTAL_BUFFER_COUNT_CELL_SP", .key = "TOTAL_BUFFER_COUNT=", .field = Field::TotalShared},
        {.marker = "OP_BUFFER_SHARED_LIMIT_CELL", .key = "OP_BUFFER_SHARED_LIMIT_CELL=", .field = Field::SharedLimit},
    }),
    .parse_port = dump_format({
        {.marker = "CTR_UC_DROP",
         .key = "PKT_CNT=",
         .field = Field::HolDrop,
         .index = Index::Bracket,
         .layout = &kUcDrop},
        {.marker = "RXPP", .key = "COUNT=", .field = Field::Rxpp, .port = Port::Line},
        {.marker = "TXPP", .key = "COUNT=", .field = Field::Txpp, .port = Port::Line},
        {.marker = "PORT_SHARED_COUNT_CELL",
         .key = "PORT_SHARED_COUNT=",
         .field = Field::PortShared,
         .port = Port::Line},
        {.marker = "DROP_PKT_CNT_ING", .key = "COUNT=", .field = Field::IbpDrop, .port = Port::Line},
    }),
    .parse_pg = dump_format({
        {.marker = "PG_SHARED_COUNT_CELL",
         .key = "PG_SHARED_COUNT=",
         .field = Field::PgShared,
         .port = Port::Line,
         .index = Index::Paren},
    }),
};

}  // namespace cellscope::module_30
