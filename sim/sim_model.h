// The three switch modules as the simulator sees them: port count, buffer
// size in cells, and the index tables that place a pipe or MMU port's
// counters at a port slot (the number of the port's "xe" name).
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

namespace swsim {

enum class Model { M42, M24, M30 };

inline constexpr std::size_t kMaxPorts = 42;
inline constexpr std::size_t kGroups = 8;  // priority groups and egress queues per port

struct ModelInfo {
    int port_count;
    uint32_t cell_scale;
    const char* name;  // "42", "24" or "30"
};

const ModelInfo& model_info(Model m);
std::optional<Model> parse_model(std::string_view text);

// 42-port module: two pipelines, ports numbered from 0 within each.
inline constexpr int kXPipePorts = 17;
inline constexpr int kYPipePorts = 25;
extern const int xpipe_port_map[kXPipePorts];
extern const int ypipe_port_map[kYPipePorts];

// 30-port module: MMU port number 0..48 to slot, -1 where no port sits.
inline constexpr int kMmuPorts = 49;
extern const int mmu_port_map[kMmuPorts];

// Highest UC drop counter index that the 42-port layout accepts.
inline constexpr int kUcDropLast42 = 1787;

// UC drop counter index of (pipe port, queue) on the 42-port module.
int uc_drop_index_x(int pipe_port, int queue);
int uc_drop_index_y(int pipe_port, int queue);
// Number of UC drop counters the chip keeps per pipe port.
int uc_drop_queues_x(int pipe_port);
int uc_drop_queues_y(int pipe_port);

// 30-port module: counters per MMU port in the flat UC drop array, 0 for the
// MMU ports the layout skips (4 and 33), and the index of (MMU port, queue).
int uc_drop_queues_mmu(int mmu_port);
int uc_drop_index_mmu(int mmu_port, int queue);

// Whether a dump of this module carries a per-queue drop counter for the
// slot that the monitor can place (queues 0 to 7). False for the 42-port
// module's Y pipe ports 22 to 24 and the 30-port module's slot at MMU port 4.
bool hol_drop_reported(Model m, int slot);

}  // namespace swsim
