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

// The one bucket whose hits grew by one, -1 for none, -2 for anything else.
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

// Random strings over an alphabet, the same on every run.
struct RandomText {
    uint32_t state;
    uint32_t next() { return state = state * 1103515245u + 12345u; }
    void fill(char* text, int max_length, const char* alphabet, size_t letters)
    {
        const int length = static_cast<int>(next() >> 16) % max_length;
        for (int i = 0; i < length; ++i)
            text[i] = alphabet[(next() >> 16) % letters];
        text[length] = '\0';
    }
};

}  // namespace

TEST(StoreInit, ThresholdsSlotNamesAndClearedValues)
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

TEST(RecordValue, BucketEdgesOfBothScalesAndValuesAtFullScale)
{
    struct Case { uint32_t scale, value; int bucket; };
    const Case cases[] = {
        {32768, 0, 0},      {32768, 326, 0},     {32768, 327, 1},         {32768, 1637, 1},  {32768, 1638, 2},
        {32768, 3276, 3},   {32768, 6552, 3},    {32768, 6553, 4},        {32768, 16384, 5}, {32768, 19660, 6},
        {32768, 22937, 7},  {32768, 26214, 8},   {32768, 29490, 8},       {32768, 29491, 9}, {32768, 32767, 9},
        {32768, 32768, -1}, {32768, 100000, -1}, {32768, UINT32_MAX, -1}, {16384, 162, 0},   {16384, 163, 1},
        {16384, 14744, 8},  {16384, 14745, 9},   {16384, 16383, 9},       {16384, 16384, -1}, {16384, 32767, -1},
    };
    for (const Case& c : cases) {
        UsageRecord& r = fresh_store(c.scale).ports[1].queue_shared[2];
        record_value(r, 5);
        const UsageRecord before = r;
        record_value(r, c.value);
        EXPECT_EQ(hit_bucket(before, r), c.bucket) << c.scale << " " << c.value;
        EXPECT_EQ(r.sample, c.value);
        EXPECT_EQ(r.current, std::max(5u, c.value));
        EXPECT_EQ(r.max, std::max(5u, c.value));
    }
    // The limit's thresholds are 0: it never counts.
    StatsStore& s = fresh_store(32768);
    for (uint32_t v : {0u, 1u, 500u, 40000u})
        record_value(s.sw.shared_limit, v);
    for (const UsageBucket& b : s.sw.shared_limit.buckets)
        EXPECT_EQ(b.hits, 0u);
    EXPECT_EQ(s.sw.shared_limit.sample, 40000u);
    EXPECT_EQ(s.sw.shared_limit.max, 40000u);
}

TEST(RecordValue, ResetsClearOnlyTheirCurrentPeaks)
{
    StatsStore& s = fresh_store(32768);
    record_value(s.sw.total_shared, 10);
    for (PortStats& p : s.ports) {
        record_value(p.port_shared, 20);
        for (int k = 0; k < kGroups; ++k) {
            record_value(p.pg_shared[k], 500);
            record_value(p.pg_shared[k], 200);
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
    // After the reset current follows the new dump's lower peak; max keeps the old one.
    UsageRecord& r = s.ports[5].pg_shared[3];
    record_value(r, 100);
    EXPECT_EQ(r.sample, 100u);
    EXPECT_EQ(r.current, 100u);
    EXPECT_EQ(r.max, 500u);
    EXPECT_EQ(r.buckets[0].hits, 2u);
    EXPECT_EQ(r.buckets[1].hits, 1u);

    store_reset_global(s);
    EXPECT_EQ(s.sw.total_shared.current, 0u);
    EXPECT_EQ(s.sw.total_shared.max, 10u);
}

TEST(RecordSample, BasesCaseMissingKeyAndConversionErrors)
{
    const std::string range = std::string("strtoul: ") + std::strerror(ERANGE) + "\n";
    enum { kSkipped, kRecorded, kFailed };
    struct Case { const char* text; int outcome; uint32_t value; };
    const Case cases[] = {
        {"X COUNT=0x1F", kRecorded, 31},       {"count=010", kRecorded, 8},      {"COUNT=  42 cells", kRecorded, 42},
        {"COUNT=+7", kRecorded, 7},            {"COUNT=0X10", kRecorded, 16},    {"LIMIT=5", kSkipped, 0},
        {"COUNT=abc", kRecorded, 0},  // no digits: 0, counted in bucket 0
        // Negative values negated modulo 2^32, as the target's strtoul does.
        {"COUNT=-1", kRecorded, 4294967295u},  {"COUNT=-4294967295", kRecorded, 1},
        {"COUNT=4294967295", kRecorded, 4294967295u},
        {"COUNT=4294967296", kFailed, 0},      {"COUNT=0x100000000", kFailed, 0},
        {"COUNT=99999999999999999999999", kFailed, 0}, {"COUNT=-4294967296", kFailed, 0},
    };
    for (const Case& c : cases) {
        UsageRecord& r = fresh_store(32768).sw.total_shared;
        record_value(r, 9);
        UsageRecord want = r;
        if (c.outcome == kRecorded)
            record_value(want, c.value);
        int rc = 0;
        const std::string err = testutil::capture_stderr([&] { rc = record_sample(c.text, "COUNT=", r); });
        EXPECT_EQ(err, c.outcome == kFailed ? range : "") << c.text;
        EXPECT_EQ(rc, c.outcome == kFailed ? -1 : 0) << c.text;
        EXPECT_EQ(std::memcmp(&want, &r, sizeof r), 0) << c.text << ": sample " << r.sample;
    }
}

TEST(Strtoul32, RangeRulesOfTheTarget)
{
    struct Case { const char* text; int base; uint32_t value; int err; long used; };
    const Case cases[] = {
        {"4294967295", 10, 4294967295u, 0, 10},        {"4294967296", 10, 4294967295u, ERANGE, 10},
        {"18446744073709551616", 10, 4294967295u, ERANGE, 20},
        {"-1", 10, 4294967295u, 0, 2},                 {"-4294967295", 10, 1u, 0, 11},
        {"-4294967296", 10, 4294967295u, ERANGE, 11},  {"  -0x10", 0, 4294967280u, 0, 7},
        {"010", 0, 8u, 0, 3},  {"010", 10, 10u, 0, 3},  {"abc", 10, 0u, 0, 0},  {"- 5", 10, 0u, 0, 0},  {"", 0, 0u, 0, 0},
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
    RandomText random{12345};
    char text[32];
    for (int round = 0; round < 200000; ++round) {
        random.fill(text, 24, alphabet, sizeof alphabet - 1);
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
    RandomText random{777};
    char text[64];
    for (int round = 0; round < 100000; ++round) {
        random.fill(text, 40, alphabet, sizeof alphabet - 1);
        for (const char* needle : needles)
            ASSERT_EQ(find_nocase(text, needle), strcasestr(text, needle)) << "'" << text << "' / " << needle;
    }
}
