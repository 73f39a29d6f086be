// Model detection and the per-module profile: port count, cell scale,
// front-panel labels and the three dump parsers.
#pragma once

#include <cstdint>
#include <cstdio>

#include "store/store.h"

namespace cellscope {

// A dump parser: reads the open stream to its end and writes into the store.
using ParseFn = void (*)(std::FILE* stream, StatsStore& store);

using LabelTable = const char* const[kMaxPorts];

struct ModelProfile {
    int32_t port_count;
    uint32_t cell_scale;
    const char* const* port_labels;  // kMaxPorts entries, "" beyond port_count
    ParseFn parse_global;
    ParseFn parse_port;
    ParseFn parse_pg;
};

inline constexpr char kModelPath[] = "/proc/device-tree/model";

extern const char* const port_labels_42[kMaxPorts];
extern const char* const port_labels_24[kMaxPorts];
extern const char* const port_labels_30[kMaxPorts];

// Fills profile from the board's model string at path; 0, or -1 when the
// file cannot be read or names none of the three modules.
int detect_model(ModelProfile& profile, const char* path = kModelPath);

// The profile of the module with this many ports (42, 24 or 30), for tools
// that pick a module without a board; nullptr for any other count.
const ModelProfile* profile_for_ports(int32_t port_count);

// The parsers of each module (one source file per module).
void parse_global_42(std::FILE* stream, StatsStore& store);
void parse_pg_42(std::FILE* stream, StatsStore& store);
void parse_port_42(std::FILE* stream, StatsStore& store);
void parse_global_24(std::FILE* stream, StatsStore& store);
void parse_pg_24(std::FILE* stream, StatsStore& store);
void parse_port_24(std::FILE* stream, StatsStore& store);
void parse_global_30(std::FILE* stream, StatsStore& store);
void parse_pg_30(std::FILE* stream, StatsStore& store);
void parse_port_30(std::FILE* stream, StatsStore& store);

}  // namespace cellscope
