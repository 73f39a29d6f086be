// The store: thresholds from the cell scale, slot names, and the recording
// rule with its bucket edges, peaks and resets.
#include "helpers.h"

using namespace cellscope;

TEST(Store, ThresholdsNamesAndTheRecordingRule)
{
    static StatsStore store;
    store.ports[3].rxpp = 99;
    const uint32_t thresholds[kBuckets] = {163, 819, 1638, 3276, 8192, 9830, 11468, 13107, 14745, 16384};
    store_init(store, 16384);
    for (int b = 0; b < kBuckets; ++b) {
        for (const UsageRecord* r : {&store.sw.total_shared, &store.ports[41].queue_shared[7],
                                     &store.ports[0].pg_shared[0], &store.ports[7].port_shared})
            EXPECT_EQ(r->buckets[b].threshold, thresholds[b]);
        EXPECT_EQ(store.sw.shared_limit.buckets[b].threshold, 0u);
    }
    EXPECT_EQ(store.ports[3].rxpp, 0u);

    // Each value lands in the first bucket whose threshold is above it; a
    // full buffer or more in none.
    store_init(store, 32768);
    UsageRecord& r = store.ports[5].port_shared;
    const struct { uint32_t value; int bucket; } edges[] = {
        {0, 0}, {326, 0}, {327, 1}, {1637, 1}, {16384, 5}, {29490, 8}, {29491, 9}, {32767, 9}, {32768, -1},
        {UINT32_MAX, -1}};
    for (const auto& e : edges) {
        UsageRecord before = r;
        record_value(r, e.value);
        for (int b = 0; b < kBuckets; ++b)
            EXPECT_EQ(r.buckets[b].hits - before.buckets[b].hits, b == e.bucket ? 1u : 0u) << e.value;
        EXPECT_EQ(r.sample, e.value);
    }
    EXPECT_EQ(r.current, UINT32_MAX);
    reset_port_and_group_peaks(store);
    record_value(r, 5);
    EXPECT_EQ(r.current, 5u);
    EXPECT_EQ(r.max, UINT32_MAX);
    record_value(store.sw.shared_limit, 100);
    EXPECT_EQ(store.sw.shared_limit.buckets[0].hits, 0u);  // a limit never counts

    record_value(store.sw.total_shared, 900);
    reset_switch_peaks(store);
    EXPECT_EQ(store.sw.total_shared.current, 0u);
    EXPECT_EQ(store.sw.total_shared.max, 900u);
    EXPECT_EQ(r.current, 5u);
    reset_port_and_group_peaks(store);
    EXPECT_EQ(r.current, 0u);
}
