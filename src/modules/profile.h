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

// Text that a Prometheus label value and a terminal both carry as it is: at
// least one character, each printable ASCII (a space to a tilde; no control
// character, no byte above 126).
constexpr bool is_printable_text(const char* text)
{
    if (text[0] == '\0')
        return false;
    for (const char* c = text; *c != '\0'; ++c) {
        if (*c < ' ' || *c > '~')
            return false;
    }
    return true;
}

// What every description must satisfy: a port count the store holds, a
// model string and a label for every shown slot in printable ASCII and no
// label beyond, port maps that together name every slot exactly once (when
// there are any) and nothing else, and counter layouts that run over parts
// of those maps.
constexpr bool module_is_sound(const ModelProfile& m)
{
    if (m.port_count < 1 || m.port_count > kMaxPorts || m.cell_scale == 0 || !is_printable_text(m.model))
        return false;
    for (int slot = 0; slot < kMaxPorts; ++slot) {
        const char* label = m.port_labels[static_cast<size_t>(slot)];
        if (slot < m.port_count ? !is_printable_text(label) : label != nullptr)
            return false;
    }
    int seen[kMaxPorts]{};
    for (const std::span<const int32_t> map : m.port_maps) {
        for (const int32_t slot : map) {
            if (slot < -1 || slot >= m.port_count)
                return false;
            if (slot >= 0)
                ++seen[slot];
        }
    }
    for (int slot = 0; slot < m.port_count; ++slot) {
        if (seen[slot] > 1 || (!m.port_maps.empty() && seen[slot] == 0))
            return false;
    }
    for (const DumpFormat* format : {&m.parse_global, &m.parse_port, &m.parse_pg}) {
        for (int r = 0; r < format->count; ++r) {
            const Layout* layout = format->rules[r].layout;
            for (int s = 0; s < layout->count; ++s) {
                // Compared by value: addresses are not constants in every build.
                const std::span<const int32_t> run = layout->segments[s].ports;
                bool inside = false;
                for (const std::span<const int32_t> map : m.port_maps) {
                    for (size_t k = 0; k + run.size() <= map.size() && !inside; ++k) {
                        inside = true;
                        for (size_t i = 0; i < run.size(); ++i)
                            inside = inside && map[k + i] == run[i];
                    }
                }
                if (!inside)
                    return false;
            }
        }
    }
    return true;
}

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
