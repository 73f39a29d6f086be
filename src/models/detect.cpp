#include <cstring>

#include "models/profile.h"

namespace cellscope {

const char* const port_labels_42[kMaxPorts] = {
    "Bay 1",  "Bay 2",  "Bay 3",  "Bay 4",  "Bay 5",  "Bay 6",  "Bay 7",  "Bay 8",
    "Bay 9",  "Bay 10", "Bay 11", "Bay 12", "Bay 13", "Bay 14", "Bay 15", "Bay 16",
    "Q1.1",   "Q1.2",   "Q1.3",   "Q1.4",   "Q2.1",   "Q2.2",   "Q2.3",   "Q2.4",
    "Q3.1",   "Q3.2",   "Q3.3",   "Q3.4",   "Q4.1",   "Q4.2",   "Q4.3",   "Q4.4",
    "X1",     "X2",     "X3",     "X4",     "X5",     "X6",     "X7",     "X8",
    "ISL1",   "ISL2",
};

// Server bays alternate between the enclosure halves; uplinks are not in order.
const char* const port_labels_24[kMaxPorts] = {
    "Bay 1", "Bay 9",  "Bay 2", "Bay 10", "Bay 3", "Bay 11", "Bay 4", "Bay 12",
    "Bay 5", "Bay 13", "Bay 6", "Bay 14", "Bay 7", "Bay 15", "Bay 8", "Bay 16",
    "X1",    "X8",     "X2",    "X3",     "X7",    "X4",     "X5",    "X6",
    "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "", "",
};

const char* const port_labels_30[kMaxPorts] = {
    "Bay 1",  "Bay 2",  "Bay 3",  "Bay 4",  "Bay 5",  "Bay 6",  "Bay 7",  "Bay 8",
    "Bay 9",  "Bay 10", "Bay 11", "Bay 12", "Bay 13", "Bay 14", "Bay 15", "Bay 16",
    "X1",     "X2",     "X3",     "X4",     "X5",     "X6",     "X7",     "X8",
    "X9",     "X10",    "ISL1",   "ISL2",   "ISL3",   "ISL4",
    "", "", "", "", "", "", "", "", "", "", "", "",
};

namespace {

struct KnownModel {
    const char* model;
    ModelProfile profile;
};

constexpr KnownModel kKnownModels[] = {
    {"ZQN4TRKW1", {42, 32768, port_labels_42, parse_global_42, parse_port_42, parse_pg_42}},
    {"ZQTRKW1", {24, 16384, port_labels_24, parse_global_24, parse_port_24, parse_pg_24}},
    {"ZQN4TKW1", {30, 32768, port_labels_30, parse_global_30, parse_port_30, parse_pg_30}},
};

}  // namespace

const ModelProfile* profile_for_ports(int32_t port_count)
{
    for (const KnownModel& known : kKnownModels) {
        if (known.profile.port_count == port_count)
            return &known.profile;
    }
    return nullptr;
}

int detect_model(ModelProfile& profile, const char* path)
{
    std::FILE* file = std::fopen(path, "r");
    if (file == nullptr)
        return -1;
    char text[16];
    const bool got = std::fgets(text, sizeof text, file) != nullptr;
    std::fclose(file);
    if (!got)
        return -1;
    for (const KnownModel& known : kKnownModels) {
        if (std::strcmp(text, known.model) == 0) {
            profile = known.profile;
            return 0;
        }
    }
    return -1;
}

}  // namespace cellscope
