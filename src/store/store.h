// Statistics store: every value parsed from the switch daemon's dumps.
// One program-wide, fixed-size object; the parsers write it, the views read it.
#pragma once

#include <array>
#include <cstdint>

namespace cellscope {

inline constexpr int kMaxPorts = 42;  // slots of the largest module
inline constexpr int kBuckets = 10;
inline constexpr int kGroups = 8;  // priority groups / queues per port

// Bucket bounds as percentages of the model's cell scale.
inline constexpr std::array<uint32_t, kBuckets> bucket_percent{1, 5, 10, 20, 50, 60, 70, 80, 90, 100};

struct UsageBucket {
    uint32_t hits;       // values that fell into this bucket, whole run
    uint32_t threshold;  // exclusive upper bound, in cells
};

struct UsageRecord {
    uint32_t sample;   // last value recorded
    uint32_t current;  // peak since the last reset (peak of the latest dump)
    uint32_t max;      // peak since start, never reset
    UsageBucket buckets[kBuckets];
};

struct SwitchStats {
    UsageRecord total_shared;  // switch-wide shared buffer count
    UsageRecord shared_limit;  // switch-wide limit; thresholds stay 0
};

struct PortStats {
    int32_t id;
    char name[10];
    uint64_t ibp_drop;
    uint64_t hol_drop[kGroups];
    uint64_t rxpp;
    uint64_t txpp;
    UsageRecord port_shared;
    UsageRecord pg_shared[kGroups];
    UsageRecord queue_shared[kGroups];
};

struct StatsStore {
    SwitchStats sw;
    PortStats ports[kMaxPorts];
};

// The program-wide store (zero-initialised storage).
extern StatsStore g_store;

// Clears the store and writes ids, names and the thresholds for cell_scale.
void store_init(StatsStore& store, uint32_t cell_scale);

// The recording rule: sample, current, max and one histogram hit.
void record_value(UsageRecord& record, uint32_t value);

// Resets the peak of the latest dump before the switch-wide file is read:
// total_shared.current.
void reset_switch_peaks(StatsStore& store);
// Resets the peaks of the latest dump before the per-port file is read:
// every slot's port, priority-group and queue current. The priority-group
// file, read after the per-port file, adds its peaks to these.
void reset_port_and_group_peaks(StatsStore& store);

}  // namespace cellscope
