#include "sim_model.h"

namespace swsim {

namespace {

constexpr ModelInfo kInfo42{42, 32768, "42"};
constexpr ModelInfo kInfo24{24, 16384, "24"};
constexpr ModelInfo kInfo30{30, 32768, "30"};

}  // namespace

const int xpipe_port_map[kXPipePorts] = {40, 41, 0, 8, 1, 9, 2, 10, 3, 39, 38, 37, 36, 35, 34, 33, 32};
const int ypipe_port_map[kYPipePorts] = {16, 20, 24, 28, 11, 4,  12, 5,  13, 6,  14, 7, 15,
                                         17, 18, 19, 21, 22, 23, 25, 26, 27, 29, 30, 31};

const int mmu_port_map[kMmuPorts] = {-1, 0,  4,  8,  12, 1,  5,  9,  13, 2,  6,  10, 14, 3,  7,  11, 15,
                                     -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1, -1,
                                     16, 20, 24, 28, 17, 21, 25, 29, 18, 22, 26, -1, 19, 23, 27};

const ModelInfo& model_info(Model m)
{
    switch (m) {
    case Model::M42:
        return kInfo42;
    case Model::M24:
        return kInfo24;
    case Model::M30:
        return kInfo30;
    }
    return kInfo42;
}

std::optional<Model> parse_model(std::string_view text)
{
    if (text == "42")
        return Model::M42;
    if (text == "24")
        return Model::M24;
    if (text == "30")
        return Model::M30;
    return std::nullopt;
}

int uc_drop_queues_x(int)
{
    return 12;
}
int uc_drop_queues_y(int pipe_port)
{
    return pipe_port < 4 ? 10 : 12;
}

int uc_drop_index_x(int pipe_port, int queue)
{
    return 12 * pipe_port + queue;
}

int uc_drop_index_y(int pipe_port, int queue)
{
    if (pipe_port < 4)
        return 1536 + 10 * pipe_port + queue;
    return 1576 + 12 * (pipe_port - 4) + queue;
}

int uc_drop_queues_mmu(int mmu_port)
{
    if (mmu_port == 4 || mmu_port == 33)
        return 0;
    if (mmu_port <= 3 || (mmu_port >= 34 && mmu_port <= 37))
        return 74;
    return 10;
}

int uc_drop_index_mmu(int mmu_port, int queue)
{
    if (mmu_port <= 3)
        return 74 * mmu_port + queue;
    if (mmu_port <= 32)
        return 296 + 10 * (mmu_port - 5) + queue;
    if (mmu_port <= 37)
        return 576 + 74 * (mmu_port - 34) + queue;
    return 872 + 10 * (mmu_port - 38) + queue;
}

bool hol_drop_reported(Model m, int slot)
{
    switch (m) {
    case Model::M24:
        return slot >= 0 && slot < 24;
    case Model::M42:
        for (int p = 0; p < kXPipePorts; ++p)
            if (xpipe_port_map[p] == slot)
                return true;
        for (int p = 0; p < kYPipePorts; ++p)
            if (ypipe_port_map[p] == slot)
                return uc_drop_index_y(p, 7) <= kUcDropLast42;
        return false;
    case Model::M30:
        for (int mp = 1; mp < kMmuPorts; ++mp)
            if (mmu_port_map[mp] == slot && uc_drop_queues_mmu(mp) > 0)
                return true;
        return false;
    }
    return false;
}

}  // namespace swsim
