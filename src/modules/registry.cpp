// The registry of modules and model detection.
#include <cstring>
#include <string_view>

#include "modules/module_24.h"
#include "modules/module_30.h"
#include "modules/module_42.h"
#include "modules/profile.h"

namespace cellscope {

namespace {

// Adding a module: its description header and one line here.
constexpr const ModelProfile* kModules[] = {
    &module_42::kModule,
    &module_24::kModule,
    &module_30::kModule,
};

// What every description must satisfy: a port count the store holds, a
// label for every shown slot and none beyond, port maps that together name
// every slot exactly once (when there are any) and nothing else, and counter
// layouts that run over parts of those maps.
consteval bool sound(const ModelProfile& m)
{
    if (m.port_count < 1 || m.port_count > kMaxPorts || m.cell_scale == 0 || m.model == nullptr)
        return false;
    for (int slot = 0; slot < kMaxPorts; ++slot) {
        const char* label = m.port_labels[static_cast<size_t>(slot)];
        if ((slot < m.port_count) != (label != nullptr && label[0] != '\0'))
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
            for (int s = 0; layout != nullptr && s < layout->count; ++s) {
                const std::span<const int32_t> run = layout->segments[s].ports;
                bool inside = false;
                for (const std::span<const int32_t> map : m.port_maps) {
                    for (size_t k = 0; k < map.size() && !inside; ++k)
                        inside = &map[k] == run.data() && run.size() <= map.size() - k;
                }
                if (!inside)
                    return false;
            }
        }
    }
    return true;
}

consteval bool all_sound()
{
    for (const ModelProfile* m : kModules) {
        if (!sound(*m))
            return false;
        for (const ModelProfile* other : kModules) {
            if (other != m && (other->port_count == m->port_count || std::string_view(other->model) == m->model))
                return false;
        }
    }
    return true;
}
static_assert(all_sound(), "a module description is unsound, or two share a model string or port count");

}  // namespace

std::span<const ModelProfile* const> modules()
{
    return kModules;
}

const ModelProfile* module_for_ports(int32_t port_count)
{
    for (const ModelProfile* m : kModules) {
        if (m->port_count == port_count)
            return m;
    }
    return nullptr;
}

const ModelProfile* detect_model(const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return nullptr;
    char text[16];
    const bool got = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    if (!got)
        return nullptr;
    for (const ModelProfile* m : kModules) {
        if (std::strcmp(text, m->model) == 0)
            return m;
    }
    return nullptr;
}

}  // namespace cellscope
