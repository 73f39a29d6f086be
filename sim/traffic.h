// Simulated buffer state and the traffic scenarios that drive it. Each call
// of Traffic::next() advances the switch by one dump interval; everything is
// integer arithmetic on a seeded generator, so a seed gives the same dumps
// on every host.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string_view>

#include "sim_model.h"

namespace swsim {

enum class Scenario { Idle, Steady, Incast, Replay };

std::optional<Scenario> parse_scenario(std::string_view text);
const char* scenario_name(Scenario s);

// splitmix64: small, fast and identical on every platform.
class Rng {
public:
    explicit Rng(uint64_t seed) : state_(seed) {}
    uint64_t next();
    // Uniform-enough value in [0, bound); bound 0 gives 0.
    uint64_t below(uint64_t bound) { return bound ? next() % bound : 0; }

private:
    uint64_t state_;
};

// Stateless mix of several words, for values that only need to look random.
uint64_t mix(uint64_t a, uint64_t b, uint64_t c = 0, uint64_t d = 0);

struct PortState {
    uint32_t port_shared = 0;
    std::array<uint32_t, kGroups> pg{};
    std::array<uint32_t, kGroups> queue{};
    uint64_t rxpp = 0;
    uint64_t txpp = 0;
    uint64_t ibp_drop = 0;
    std::array<uint64_t, kGroups> hol_drop{};
};

struct Snapshot {
    Model model = Model::M42;
    uint64_t number = 0;        // dump number, from 1
    uint64_t noise_seed = 0;    // feeds the values the monitor does not read
    uint64_t counter_base = 0;  // where every packet and drop counter started
    uint32_t total_shared = 0;
    uint32_t shared_limit = 0;
    std::array<PortState, kMaxPorts> ports{};  // first port_count used
};

class Traffic {
public:
    // target: the slot that the incast scenario congests; counter_base: added
    // to every packet and drop counter from the start.
    Traffic(Model model, Scenario scenario, uint64_t seed, int target = 0, uint64_t counter_base = 0);

    // Advances one interval and returns the new state.
    const Snapshot& next();
    const Snapshot& current() const { return snap_; }

    std::size_t incast_target() const { return target_; }
    std::size_t incast_class() const { return class_; }
    const std::array<std::size_t, 4>& incast_sources() const { return sources_; }

    // Incast cycle: ramp-up, saturation, drain and quiet dumps.
    static constexpr int kCycle = 24;

private:
    void background(std::size_t slot, uint32_t load_scale_pct);
    void idle_port(std::size_t slot);
    void incast(uint64_t phase);
    uint32_t incast_level(uint64_t phase);
    uint32_t admit(PortState& ps, uint64_t cells);
    uint32_t clamp_cells(uint64_t v) const;

    Scenario scenario_;
    ModelInfo info_;
    std::size_t ports_;  // info_.port_count
    Rng rng_;
    std::size_t target_;
    std::size_t class_ = 0;
    std::array<std::size_t, 4> sources_{};
    std::array<uint32_t, kMaxPorts> load_pct_{};                   // 30..100
    std::array<std::array<uint32_t, kGroups>, kMaxPorts> pg_w_{};  // weight, percent
    std::array<std::array<uint32_t, kGroups>, kMaxPorts> q_w_{};
    uint32_t room_ = 0;  // cells the shared pool still admits in this dump
    Snapshot snap_;
};

}  // namespace swsim
