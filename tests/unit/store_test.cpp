#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "store/conv.h"
#include "store/store.h"
#include "store/text.h"
#include "test_helpers.h"

using namespace cellscope;

namespace {

StatsStore& fresh_store(uint32_t scale)
{
    static StatsStore store;
    store_init(store, scale);
    return store;
}

std::array<uint32_t, kBuckets> thresholds_of(const UsageRecord& r)
{
    std::array<uint32_t, kBuckets> t{};
    for (int b = 0; b < kBuckets; ++b)
        t[b] = r.buckets[b].threshold;
    return t;
}

int hit_bucket(const UsageRecord& before, const UsageRecord& after)
{
    int found = -1;
    for (int b = 0; b < kBuckets; ++b) {
        if (after.buckets[b].hits != before.buckets[b].hits) {
            if (found != -1 || after.buckets[b].hits != before.buckets[b].hits + 1)
                return -2;
            found = b;
        }
    }
    return found;
}

}  // namespace

TEST(StoreInit, ThresholdsForBothCellScales)
{
    const std::array<uint32_t, kBuckets> t32{327, 1638, 3276, 6553, 16384, 19660, 22937, 26214, 29491, 32768};
    const std::array<uint32_t, kBuckets> t16{163, 819, 1638, 3276, 8192, 9830, 11468, 13107, 14745, 16384};
    for (auto [scale, expected] : {std::pair{32768u, t32}, std::pair{16384u, t16}}) {
        StatsStore& s = fresh_store(scale);
        EXPECT_EQ(thresholds_of(s.sw.total_shared), expected);
        EXPECT_EQ(thresholds_of(s.sw.shared_limit), (std::array<uint32_t, kBuckets>{}));
        for (const PortStats& p : s.ports) {
            EXPECT_EQ(thresholds_of(p.port_shared), expected);
            for (int k = 0; k < kGroups; ++k) {
                EXPECT_EQ(thresholds_of(p.pg_shared[k]), expected);
                EXPECT_EQ(thresholds_of(p.queue_shared[k]), expected);
            }
        }
    }
}

TEST(StoreInit, SlotIdsNamesAndClearedValues)
{
    StatsStore& s = fresh_store(32768);
    s.ports[3].rxpp = 99;
    s.sw.total_shared.max = 7;
    store_init(s, 32768);
    EXPECT_EQ(s.ports[3].rxpp, 0u);
    EXPECT_EQ(s.sw.total_shared.max, 0u);
    for (int p = 0; p < kMaxPorts; ++p) {
        EXPECT_EQ(s.ports[p].id, p);
        EXPECT_EQ(std::string(s.ports[p].name), "xe" + std::to_string(p));
    }
}

TEST(StoreLayout, FieldOrderAndWidths)
{
    EXPECT_EQ(sizeof(UsageBucket), 8u);
    EXPECT_EQ(sizeof(UsageRecord), 12u + 10u * 8u);
    EXPECT_EQ(offsetof(UsageRecord, buckets), 12u);
    EXPECT_LT(offsetof(PortStats, id), offsetof(PortStats, name));
    EXPECT_LT(offsetof(PortStats, name), offsetof(PortStats, ibp_drop));
    EXPECT_LT(offsetof(PortStats, ibp_drop), offsetof(PortStats, hol_drop));
    EXPECT_LT(offsetof(PortStats, hol_drop), offsetof(PortStats, rxpp));
    EXPECT_LT(offsetof(PortStats, rxpp), offsetof(PortStats, txpp));
    EXPECT_LT(offsetof(PortStats, txpp), offsetof(PortStats, port_shared));
    EXPECT_LT(offsetof(PortStats, port_shared), offsetof(PortStats, pg_shared));
    EXPECT_LT(offsetof(PortStats, pg_shared), offsetof(PortStats, queue_shared));
    EXPECT_EQ(sizeof(PortStats::name), 10u);
    EXPECT_EQ(sizeof(StatsStore::ports) / sizeof(PortStats), 42u);
}

TEST(RecordValue, BucketEdgesForScale32768)
{
    StatsStore& s = fresh_store(32768);
    struct Case { uint32_t value; int bucket; };
    const Case cases[] = {{0, 0},      {326, 0},     {327, 1},     {1637, 1},   {1638, 2},
                          {3276, 3},   {6552, 3},    {6553, 4},    {16384, 5},  {19660, 6},
                          {22937, 7},  {26214, 8},   {29490, 8},   {29491, 9},  {32767, 9},
                          {32768, -1}, {100000, -1}, {UINT32_MAX, -1}};
    for (const Case& c : cases) {
        UsageRecord& r = s.ports[0].port_shared;
        const UsageRecord before = r;
        record_value(r, c.value);
        EXPECT_EQ(hit_bucket(before, r), c.bucket) << "value " << c.value;
        EXPECT_EQ(r.sample, c.value);
    }
}

TEST(RecordValue, BucketEdgesForScale16384)
{
    StatsStore& s = fresh_store(16384);
    UsageRecord& r = s.ports[1].queue_shared[2];
    const std::pair<uint32_t, int> cases[] = {{162, 0}, {163, 1}, {14744, 8}, {14745, 9}, {16383, 9}, {16384, -1}, {32767, -1}};
    for (auto [value, bucket] : cases) {
        const UsageRecord before = r;
        record_value(r, value);
        EXPECT_EQ(hit_bucket(before, r), bucket) << "value " << value;
    }
}

TEST(RecordValue, SampleCurrentMaxAndReset)
{
    StatsStore& s = fresh_store(32768);
    UsageRecord& r = s.ports[5].pg_shared[3];
    record_value(r, 500);
    record_value(r, 200);
    EXPECT_EQ(r.sample, 200u);
    EXPECT_EQ(r.current, 500u);
    EXPECT_EQ(r.max, 500u);
    EXPECT_EQ(r.buckets[1].hits, 1u);
    EXPECT_EQ(r.buckets[0].hits, 1u);

    store_reset_ports(s);
    EXPECT_EQ(r.current, 0u);
    record_value(r, 100);
    EXPECT_EQ(r.current, 100u);  // follows the new dump's peak
    EXPECT_EQ(r.max, 500u);      // keeps the earlier one
    EXPECT_EQ(r.buckets[0].hits, 2u);
}

TEST(RecordValue, SharedLimitNeverCounts)
{
    StatsStore& s = fresh_store(32768);
    for (uint32_t v : {0u, 1u, 500u, 40000u})
        record_value(s.sw.shared_limit, v);
    for (const UsageBucket& b : s.sw.shared_limit.buckets)
        EXPECT_EQ(b.hits, 0u);
    EXPECT_EQ(s.sw.shared_limit.sample, 40000u);
    EXPECT_EQ(s.sw.shared_limit.max, 40000u);
}

TEST(Resets, EachTouchesOnlyItsCurrentFields)
{
    StatsStore& s = fresh_store(32768);
    record_value(s.sw.total_shared, 10);
    for (PortStats& p : s.ports) {
        record_value(p.port_shared, 20);
        for (int k = 0; k < kGroups; ++k) {
            record_value(p.pg_shared[k], 30);
            record_value(p.queue_shared[k], 40);
        }
    }
    store_reset_ports(s);
    EXPECT_EQ(s.sw.total_shared.current, 10u);
    for (const PortStats& p : s.ports) {
        EXPECT_EQ(p.port_shared.current, 0u);
        EXPECT_EQ(p.port_shared.max, 20u);
        EXPECT_EQ(p.port_shared.sample, 20u);
        for (int k = 0; k < kGroups; ++k) {
            EXPECT_EQ(p.pg_shared[k].current, 0u);
            EXPECT_EQ(p.queue_shared[k].current, 0u);
            EXPECT_EQ(p.queue_shared[k].max, 40u);
        }
    }
    store_reset_global(s);
    EXPECT_EQ(s.sw.total_shared.current, 0u);
    EXPECT_EQ(s.sw.total_shared.max, 10u);
}

TEST(RecordSample, BasesCaseAndMissingKey)
{
    StatsStore& s = fresh_store(32768);
    UsageRecord& r = s.sw.total_shared;
    struct Case { const char* text; uint32_t value; };
    const Case cases[] = {{"X COUNT=0x1F", 31}, {"count=010", 8}, {"COUNT=  42 cells", 42},
                          {"COUNT=+7", 7},      {"COUNT=0X10", 16}, {"COUNT=abc", 0}};
    for (const Case& c : cases) {
        EXPECT_EQ(record_sample(c.text, "COUNT=", r), 0) << c.text;
        EXPECT_EQ(r.sample, c.value) << c.text;
    }
    EXPECT_EQ(r.buckets[0].hits, 6u);  // 31, 8, 42, 7, 16 and the 0 of "abc"

    const UsageRecord before = r;
    EXPECT_EQ(record_sample("LIMIT=5", "COUNT=", r), 0);
    EXPECT_EQ(std::memcmp(&before, &r, sizeof r), 0);
}

TEST(RecordSample, ConversionErrorsLeaveRecordAndReport)
{
    StatsStore& s = fresh_store(32768);
    UsageRecord& r = s.sw.total_shared;
    record_value(r, 9);
    const UsageRecord before = r;
    for (const char* text : {"COUNT=4294967296", "COUNT=0x100000000", "COUNT=99999999999999999999999",
                             "COUNT=-4294967296"}) {
        int rc = 0;
        const std::string err = testutil::capture_stderr([&] { rc = record_sample(text, "COUNT=", r); });
        EXPECT_EQ(rc, -1) << text;
        EXPECT_EQ(err, std::string("strtoul: ") + std::strerror(ERANGE) + "\n") << text;
        EXPECT_EQ(std::memcmp(&before, &r, sizeof r), 0) << text;
    }
}

TEST(RecordSample, ThirtyTwoBitNegationAndLimit)
{
    StatsStore& s = fresh_store(32768);
    UsageRecord& r = s.ports[0].port_shared;
    const std::string err = testutil::capture_stderr([&] {
        EXPECT_EQ(record_sample("COUNT=-1", "COUNT=", r), 0);
        EXPECT_EQ(r.sample, 4294967295u);
        EXPECT_EQ(record_sample("COUNT=-4294967295", "COUNT=", r), 0);
        EXPECT_EQ(r.sample, 1u);
        EXPECT_EQ(record_sample("COUNT=4294967295", "COUNT=", r), 0);
        EXPECT_EQ(r.sample, 4294967295u);
    });
    EXPECT_EQ(err, "");
}

TEST(Strtoul32, RangeRulesOfTheTarget)
{
    struct Case { const char* text; int base; uint32_t value; int err; long used; };
    const Case cases[] = {
        {"4294967295", 10, 4294967295u, 0, 10},
        {"4294967296", 10, 4294967295u, ERANGE, 10},
        {"18446744073709551616", 10, 4294967295u, ERANGE, 20},
        {"-1", 10, 4294967295u, 0, 2},
        {"-4294967295", 10, 1u, 0, 11},
        {"-4294967296", 10, 4294967295u, ERANGE, 11},
        {"  -0x10", 0, 4294967280u, 0, 7},
        {"010", 0, 8u, 0, 3},
        {"010", 10, 10u, 0, 3},
        {"abc", 10, 0u, 0, 0},
        {"- 5", 10, 0u, 0, 0},
        {"", 0, 0u, 0, 0},
    };
    for (const Case& c : cases) {
        char* end = nullptr;
        errno = 0;
        const uint32_t v = strtoul32(c.text, &end, c.base);
        EXPECT_EQ(v, c.value) << c.text;
        EXPECT_EQ(errno, c.err) << c.text;
        EXPECT_EQ(end - c.text, c.used) << c.text;
    }
}

// The written-out conversion must agree with the library's strtoull on every
// input: value, end pointer and errno, for the bases the monitor uses.
TEST(Strtou64, AgreesWithTheLibrary)
{
    static const char alphabet[] = " \t+-0123456789abcdefxXABCDEFgz";
    uint32_t state = 12345;
    auto next = [&] { return state = state * 1103515245u + 12345u; };
    char text[32];
    for (int round = 0; round < 200000; ++round) {
        const int length = static_cast<int>(next() >> 16) % 24;
        for (int i = 0; i < length; ++i)
            text[i] = alphabet[(next() >> 16) % (sizeof alphabet - 1)];
        text[length] = '\0';
        for (int base : {0, 8, 10, 16}) {
            char* want_end = nullptr;
            char* got_end = nullptr;
            errno = 0;
            const unsigned long long want = std::strtoull(text, &want_end, base);
            const int want_errno = errno;
            errno = 0;
            const uint64_t got = strtou64(text, &got_end, base);
            ASSERT_EQ(got, want) << "'" << text << "' base " << base;
            ASSERT_EQ(got_end, want_end) << "'" << text << "' base " << base;
            ASSERT_EQ(errno, want_errno) << "'" << text << "' base " << base;
        }
    }
}

// The key search must find exactly what strcasestr finds in the C locale.
TEST(FindNocase, AgreesWithStrcasestr)
{
    static const char alphabet[] = "xXeE=_cCoOuUnNtT0[(";
    static const char* const needles[] = {"xe", "COUNT=", "=", "PKT_CNT=", "AVGQSIZE_CELL=", "x", "_C"};
    uint32_t state = 777;
    auto next = [&] { return state = state * 1103515245u + 12345u; };
    char text[64];
    for (int round = 0; round < 100000; ++round) {
        const int length = static_cast<int>(next() >> 16) % 40;
        for (int i = 0; i < length; ++i)
            text[i] = alphabet[(next() >> 16) % (sizeof alphabet - 1)];
        text[length] = '\0';
        for (const char* needle : needles)
            ASSERT_EQ(find_nocase(text, needle), strcasestr(text, needle)) << "'" << text << "' / " << needle;
    }
}
