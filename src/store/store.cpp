#include "store/store.h"

#include <cstdio>
#include <cstring>


namespace cellscope {

StatsStore g_store;

static void set_thresholds(UsageRecord& record, const uint32_t (&thresholds)[kBuckets])
{
    for (int b = 0; b < kBuckets; ++b)
        record.buckets[b].threshold = thresholds[b];
}

void store_init(StatsStore& store, uint32_t cell_scale)
{
    std::memset(&store, 0, sizeof store);

    uint32_t thresholds[kBuckets];
    for (size_t b = 0; b < bucket_percent.size(); ++b)
        thresholds[b] = cell_scale * bucket_percent[b] / 100U;

    for (int p = 0; p < kMaxPorts; ++p) {
        PortStats& port = store.ports[p];
        port.id = p;
        std::snprintf(port.name, sizeof port.name, "%s%d", "xe", p);
        set_thresholds(port.port_shared, thresholds);
        for (int k = 0; k < kGroups; ++k) {
            set_thresholds(port.pg_shared[k], thresholds);
            set_thresholds(port.queue_shared[k], thresholds);
        }
    }
    set_thresholds(store.sw.total_shared, thresholds);
    // shared_limit keeps zero thresholds: a limit value never counts.
}

void record_value(UsageRecord& record, uint32_t value)
{
    record.sample = value;
    if (value > record.current)
        record.current = value;
    if (record.sample > record.max)
        record.max = record.sample;
    for (UsageBucket& bucket : record.buckets) {
        if (bucket.threshold > value) {
            ++bucket.hits;
            break;
        }
    }
}

void reset_switch_peaks(StatsStore& store)
{
    store.sw.total_shared.current = 0;
}

void reset_port_and_group_peaks(StatsStore& store)
{
    for (PortStats& port : store.ports) {
        port.port_shared.current = 0;
        for (int k = 0; k < kGroups; ++k) {
            port.pg_shared[k].current = 0;
            port.queue_shared[k].current = 0;
        }
    }
}

}  // namespace cellscope
