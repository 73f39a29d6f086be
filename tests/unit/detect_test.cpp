#include <gtest/gtest.h>

#include <string>

#include "models/profile.h"
#include "test_helpers.h"

using namespace cellscope;

TEST(DetectModel, ExactModelStrings)
{
    struct Case { std::string model; int32_t ports; uint32_t scale; const char* last_label; };
    const Case cases[] = {{"ZQN4TRKW1", 42, 32768, "ISL2"}, {"ZQTRKW1", 24, 16384, "X6"}, {"ZQN4TKW1", 30, 32768, "ISL4"}};
    for (const Case& c : cases) {
        for (const std::string& content : {c.model, c.model + std::string(1, '\0')}) {
            testutil::TempFile file(content);
            ModelProfile profile{};
            ASSERT_EQ(detect_model(profile, file.path()), 0) << c.model;
            EXPECT_EQ(profile.port_count, c.ports);
            EXPECT_EQ(profile.cell_scale, c.scale);
            EXPECT_STREQ(profile.port_labels[c.ports - 1], c.last_label);
            for (int p = c.ports; p < kMaxPorts; ++p)
                EXPECT_STREQ(profile.port_labels[p], "");
            EXPECT_NE(profile.parse_global, nullptr);
            EXPECT_NE(profile.parse_port, nullptr);
            EXPECT_NE(profile.parse_pg, nullptr);
        }
    }
}

TEST(DetectModel, ProfilesBindTheirOwnParsers)
{
    testutil::TempFile f42("ZQN4TRKW1"), f24("ZQTRKW1"), f30("ZQN4TKW1");
    ModelProfile p{};
    ASSERT_EQ(detect_model(p, f42.path()), 0);
    EXPECT_EQ(p.parse_global, &parse_global_42);
    EXPECT_EQ(p.parse_port, &parse_port_42);
    EXPECT_EQ(p.parse_pg, &parse_pg_42);
    ASSERT_EQ(detect_model(p, f24.path()), 0);
    EXPECT_EQ(p.parse_port, &parse_port_24);
    ASSERT_EQ(detect_model(p, f30.path()), 0);
    EXPECT_EQ(p.parse_pg, &parse_pg_30);
}

TEST(DetectModel, VariantsFail)
{
    for (const std::string& content : std::initializer_list<std::string>{"ZQN4TRKW1\n", "ZQN4TRKW1X", "XZQN4TRKW1", "zqn4trkw1", "ZQTRKW", "",
                                      std::string(1, '\0'), " ZQTRKW1", "ZQN4TRKW1 "}) {
        testutil::TempFile file(content);
        ModelProfile profile{};
        EXPECT_EQ(detect_model(profile, file.path()), -1) << "content '" << content << "'";
    }
    ModelProfile profile{};
    EXPECT_EQ(detect_model(profile, "/nonexistent/device-tree/model"), -1);
}

TEST(LabelTables, InFull)
{
    const char* const a[] = {"Bay 1", "Bay 2", "Bay 3", "Bay 4", "Bay 5", "Bay 6", "Bay 7", "Bay 8", "Bay 9",
                             "Bay 10", "Bay 11", "Bay 12", "Bay 13", "Bay 14", "Bay 15", "Bay 16", "Q1.1",
                             "Q1.2", "Q1.3", "Q1.4", "Q2.1", "Q2.2", "Q2.3", "Q2.4", "Q3.1", "Q3.2", "Q3.3",
                             "Q3.4", "Q4.1", "Q4.2", "Q4.3", "Q4.4", "X1", "X2", "X3", "X4", "X5", "X6",
                             "X7", "X8", "ISL1", "ISL2"};
    const char* const b[] = {"Bay 1", "Bay 9", "Bay 2", "Bay 10", "Bay 3", "Bay 11", "Bay 4", "Bay 12",
                             "Bay 5", "Bay 13", "Bay 6", "Bay 14", "Bay 7", "Bay 15", "Bay 8", "Bay 16",
                             "X1", "X8", "X2", "X3", "X7", "X4", "X5", "X6"};
    for (int i = 0; i < 42; ++i)
        EXPECT_STREQ(port_labels_42[i], a[i]) << i;
    for (int i = 0; i < 24; ++i)
        EXPECT_STREQ(port_labels_24[i], b[i]) << i;
    for (int i = 0; i < 16; ++i)
        EXPECT_EQ(std::string(port_labels_30[i]), "Bay " + std::to_string(i + 1));
    for (int i = 0; i < 10; ++i)
        EXPECT_EQ(std::string(port_labels_30[16 + i]), "X" + std::to_string(i + 1));
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(std::string(port_labels_30[26 + i]), "ISL" + std::to_string(i + 1));
}

TEST(ProfileForPorts, SameProfilesAsDetection)
{
    testutil::TempFile f24("ZQTRKW1");
    ModelProfile detected{};
    ASSERT_EQ(detect_model(detected, f24.path()), 0);
    const ModelProfile* by_ports = profile_for_ports(24);
    ASSERT_NE(by_ports, nullptr);
    EXPECT_EQ(by_ports->cell_scale, detected.cell_scale);
    EXPECT_EQ(by_ports->parse_pg, detected.parse_pg);
    EXPECT_EQ(profile_for_ports(42)->parse_port, &parse_port_42);
    EXPECT_EQ(profile_for_ports(30)->port_labels, port_labels_30);
    EXPECT_EQ(profile_for_ports(41), nullptr);
    EXPECT_EQ(profile_for_ports(0), nullptr);
}
