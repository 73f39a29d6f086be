#include <gtest/gtest.h>

#include <cctype>
#include <cstring>
#include <random>
#include <string>

#include "models/dump_reader.h"

using namespace cellscope;

namespace {

constexpr const char* kTexts[] = {"RXPP", "TXPP", "THDI_PORT_SP_CNTRS_RT_X", "PORT_SHARED_COUNT", "XPP", "P_S"};
constexpr MarkerSet kMarkers{kTexts};

// What the parsers must do: strcasestr for each marker in table order.
int reference(const char* line, const char** at)
{
    for (int i = 0; i < kMarkers.size(); ++i) {
        const char* found = strcasestr(line, kTexts[i]);
        if (found != nullptr) {
            *at = found;
            return i;
        }
    }
    return kMarkers.size();
}

void expect_same(const std::string& line)
{
    const char* want_at = nullptr;
    const char* got_at = nullptr;
    const int want = reference(line.c_str(), &want_at);
    const int got = kMarkers.find(line.c_str(), &got_at);
    ASSERT_EQ(got, want) << line;
    if (want < kMarkers.size())
        ASSERT_EQ(got_at - line.c_str(), want_at - line.c_str()) << line;
    else
        ASSERT_EQ(got_at, nullptr) << line;
}

TEST(MarkerSet, TableOrderCaseAndFirstOccurrence)
{
    const char* at = nullptr;
    const std::string line = "TXPP.xe1 rxpp.xe2 RXPP";
    EXPECT_EQ(kMarkers.find(line.c_str(), &at), 0);
    EXPECT_EQ(at, line.c_str() + 9);  // the first occurrence, lower case

    for (const char* text : {"", "R", "RXP", "rxpx TXP", "x", "THDI_PORT_SP_CNTRS_RT_", "port_shared_coun"})
        expect_same(text);
    for (const char* text : {"TXPP", "tXpP.", "xpp", "RRXPP", "..THDI_PORT_SP_CNTRS_RT_x[1]", "PORT_SHARED_COUNTX",
                             "P_STXPP", "TXPRXPP", "port_shared_count txpp"})
        expect_same(text);
}

// Random lines built from pieces of the markers, in mixed case.
TEST(MarkerSet, AgreesWithStrcasestr)
{
    const char* const pieces[] = {"RX", "PP", "TX", "xpp", "P_S", "THDI_PORT_", "SP_CNTRS_RT_", "X", "x", "PORT_",
                                  "SHARED_", "COUNT", "count", " ", "[3]", "xe5", "_", "r", "T", "p"};
    std::mt19937 rng(20240601);
    for (int n = 0; n < 20000; ++n) {
        std::string line;
        const int count = static_cast<int>(rng() % 12);
        for (int k = 0; k < count; ++k) {
            std::string piece = pieces[rng() % (sizeof pieces / sizeof pieces[0])];
            for (char& c : piece) {
                if (rng() % 4 == 0)
                    c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
            }
            line += piece;
        }
        expect_same(line);
        if (HasFatalFailure())
            return;
    }
}

}  // namespace
