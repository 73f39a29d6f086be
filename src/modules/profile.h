// A switch module as the monitor knows it: one constant description per
// module (model string, port count, buffer size, front-panel labels and the
// rules of its three dump files), the registry of all modules, model
// detection and the dump parser that applies a file's rules.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <span>

#include "modules/rules.h"
#include "store/store.h"

namespace cellscope {

// Front-panel label of each slot; null from the module's port count on.
using LabelTable = std::array<const char*, kMaxPorts>;

struct ModelProfile {
    const char* model;    // the board's device-tree model string
    int32_t port_count;   // slots the views show: 0 to port_count - 1
    uint32_t cell_scale;  // buffer size in cells, the histograms' 100 %
    LabelTable port_labels;
    // Tables that give the store slot of a port the dumps number their own
    // way (-1: no slot); every counter layout runs over a part of one.
    std::span<const std::span<const int32_t>> port_maps{};
    DumpFormat parse_global;  // switch-wide file
    DumpFormat parse_port;    // per-port file
    DumpFormat parse_pg;      // priority-group file
};

// Every module the monitor supports, in the order detection tries them.
std::span<const ModelProfile* const> modules();

inline constexpr char kModelPath[] = "/proc/device-tree/model";

// The module named by the board's model string at path; nullptr when the
// file cannot be read or names none of the modules.
const ModelProfile* detect_model(const char* path = kModelPath);

// The module with this many ports, for tools that pick one without a board.
const ModelProfile* module_for_ports(int32_t port_count);

// Reads stream to its end (or a read error) and writes what the format's
// rules recognise into the store. The stream is neither positioned nor
// closed; the only messages are the scanners' own.
void parse_dump(std::FILE* stream, StatsStore& store, const DumpFormat& format);

// Whether some rule of the module can write this field of this slot and
// group: counters a module never reports are told apart from zeros.
bool module_reports(const ModelProfile& profile, Field field, int32_t slot, int group);

}  // namespace cellscope
