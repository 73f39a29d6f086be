// The registry of modules and model detection.
#include <cstring>
#include <iterator>
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

consteval bool all_sound()
{
    for (size_t i = 0; i < std::size(kModules); ++i) {
        if (!module_is_sound(*kModules[i]))
            return false;
        for (size_t j = 0; j < i; ++j) {
            if (kModules[j]->port_count == kModules[i]->port_count ||
                std::string_view(kModules[j]->model) == kModules[i]->model)
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
