#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "models/profile.h"
#include "test_helpers.h"

using namespace cellscope;

TEST(DetectModel, ExactModelStringsOnly)
{
    struct Case { std::string model; int32_t ports; uint32_t scale; const char* const* labels; ParseFn fns[3]; };
    const Case cases[] = {
        {"ZQN4TRKW1", 42, 32768, port_labels_42, {parse_global_42, parse_port_42, parse_pg_42}},
        {"ZQTRKW1", 24, 16384, port_labels_24, {parse_global_24, parse_port_24, parse_pg_24}},
        {"ZQN4TKW1", 30, 32768, port_labels_30, {parse_global_30, parse_port_30, parse_pg_30}},
    };
    for (const Case& c : cases) {
        // The device-tree file ends in a NUL; a file without it is read alike.
        for (const std::string& content : {c.model, c.model + std::string(1, '\0')}) {
            testutil::TempFile file(content);
            ModelProfile p{};
            ASSERT_EQ(detect_model(p, file.path()), 0) << c.model;
            EXPECT_EQ(p.port_count, c.ports);
            EXPECT_EQ(p.cell_scale, c.scale);
            EXPECT_EQ(p.port_labels, c.labels);
            EXPECT_EQ(p.parse_global, c.fns[0]);
            EXPECT_EQ(p.parse_port, c.fns[1]);
            EXPECT_EQ(p.parse_pg, c.fns[2]);
            const ModelProfile* by_ports = profile_for_ports(c.ports);
            ASSERT_NE(by_ports, nullptr);
            EXPECT_EQ(std::memcmp(by_ports, &p, sizeof p), 0);
        }
    }
    EXPECT_EQ(profile_for_ports(41), nullptr);
    EXPECT_EQ(profile_for_ports(0), nullptr);

    for (const std::string& content : std::initializer_list<std::string>{
             "ZQN4TRKW1\n", "ZQN4TRKW1X", "XZQN4TRKW1", "zqn4trkw1", "ZQTRKW", "", std::string(1, '\0'), " ZQTRKW1",
             "ZQN4TRKW1 "}) {
        testutil::TempFile file(content);
        ModelProfile profile{};
        EXPECT_EQ(detect_model(profile, file.path()), -1) << "content '" << content << "'";
    }
    ModelProfile profile{};
    EXPECT_EQ(detect_model(profile, "/nonexistent/device-tree/model"), -1);
}

namespace {

// Labels numbered from 1 in groups, "" up to the last slot.
std::vector<std::string> numbered(std::initializer_list<std::pair<const char*, int>> groups)
{
    std::vector<std::string> out;
    for (auto [prefix, count] : groups)
        for (int i = 1; i <= count; ++i)
            out.push_back(prefix + std::to_string(i));
    out.resize(kMaxPorts);
    return out;
}

}  // namespace

TEST(LabelTables, InFull)
{
    const auto a = numbered({{"Bay ", 16}, {"Q1.", 4}, {"Q2.", 4}, {"Q3.", 4}, {"Q4.", 4}, {"X", 8}, {"ISL", 2}});
    const auto c = numbered({{"Bay ", 16}, {"X", 10}, {"ISL", 4}});
    std::vector<std::string> b = {"Bay 1", "Bay 9",  "Bay 2", "Bay 10", "Bay 3", "Bay 11", "Bay 4", "Bay 12",
                                  "Bay 5", "Bay 13", "Bay 6", "Bay 14", "Bay 7", "Bay 15", "Bay 8", "Bay 16",
                                  "X1",    "X8",     "X2",    "X3",     "X7",    "X4",     "X5",    "X6"};
    b.resize(kMaxPorts);
    for (int i = 0; i < kMaxPorts; ++i) {
        EXPECT_EQ(port_labels_42[i], a[i]) << i;
        EXPECT_EQ(port_labels_24[i], b[i]) << i;
        EXPECT_EQ(port_labels_30[i], c[i]) << i;
    }
}
