// The 24-port module: 16 server bays and eight uplinks.
//
// Every per-port and priority-group line names its port by "xe", whose
// number is the store slot, before anything else. This module alone reports
// egress queue occupancy.
#pragma once

#include "modules/profile.h"

namespace cellscope::module_24 {

inline constexpr ModelProfile kModule{
    .model = "ZQTRKW1",
    .port_count = 24,
    .cell_scale = 16384,
    // Server bays alternate between the enclosure halves; uplinks are not in order.
    .port_labels = {"Bay 1", "Bay 9",  "Bay 2", "Bay 10", "Bay 3", "Bay 11", "Bay 4", "Bay 12",
                    "Bay 5", "Bay 13", "Bay 6", "Bay 14", "Bay 7", "Bay 15", "Bay 8", "Bay 16",
                    "X1",    "X8",     "X2",    "X3",     "X7",    "X4",     "X5",    "X6"},
    .parse_global = dump_format({
        {.marker = "TOTAL_SHARED_COUNT", .key = "TOTAL_SHARED_COUNT=", .field = Field::TotalShared},
        {.marker = "TOTAL_SHARED_LIMIT", .key = "TOTAL_SHARED_LIMIT=", .field = Field::SharedLimit},
    }),
    .parse_port = dump_format({
        {.marker = "IRXPP", .key = "COUNT=", .field = Field::Rxpp, .port = Port::Line},
        {.marker = "ITXPP", .key = "COUNT=", .field = Field::Txpp, .port = Port::Line},
        {.marker = "PORT_SHARED_COUNT", .key = "PORT_SHARED_COUNT=", .field = Field::PortShared, .port = Port::Line},
        // The average queue size sits in bits 15 to 29 of the register.
        {.marker = "WREDAVGQSIZE_CELL",
         .key = "AVGQSIZE_CELL=",
         .field = Field::QueueShared,
         .port = Port::Line,
         .index = Index::Paren,
         .scale = Scale::Bits15To29},
        {.marker = "IBP_DROP_PKT_CNT", .key = "COUNT=", .field = Field::IbpDrop, .port = Port::Line},
        {.marker = "HOLDROP_PKT_CNT",
         .key = "COUNT=",
         .field = Field::HolDrop,
         .port = Port::Line,
         .index = Index::Paren},
    }),
    .parse_pg = dump_format({
        // The value follows the first "=" after the marker, whatever its name.
        {.marker = "PG_SHARED_COUNT", .key = "=", .field = Field::PgShared, .port = Port::Line, .index = Index::Paren},
    }),
};

}  // namespace cellscope::module_24
