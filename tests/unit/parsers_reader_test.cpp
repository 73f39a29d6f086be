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

// The marker set must find what strcasestr finds for each marker in table
// order: the same marker at the same place.
void expect_same(const std::string& line)
{
    int want = 0;
    const char* want_at = nullptr;
    for (; want < kMarkers.size() && want_at == nullptr; ++want)
        want_at = strcasestr(line.c_str(), kTexts[want]);
    want = want_at == nullptr ? kMarkers.size() : want - 1;
    const char* got_at = nullptr;
    ASSERT_EQ(kMarkers.find(line.c_str(), &got_at), want) << line;
    ASSERT_EQ(got_at, want_at) << line;
}

TEST(MarkerSet, TableOrderCaseAndFirstOccurrence)
{
    for (const char* text : {"TXPP.xe1 rxpp.xe2 RXPP", "", "R", "RXP", "rxpx TXP", "x", "THDI_PORT_SP_CNTRS_RT_",
                             "port_shared_coun", "TXPP", "tXpP.", "xpp", "RRXPP", "..THDI_PORT_SP_CNTRS_RT_x[1]",
                             "PORT_SHARED_COUNTX", "P_STXPP", "TXPRXPP", "port_shared_count txpp"})
        expect_same(text);
}

// Random lines built from pieces of the markers, in mixed case.
TEST(MarkerSet, AgreesWithStrcasestr)
{
    const char* const pieces[] = {"RX", "PP", "TX", "xpp", "P_S", "THDI_PORT_", "SP_CNTRS_RT_", "X", "x", "PORT_",
                                  "SHARED_", "COUNT", "count", " ", "[3]", "xe5", "_", "r", "T", "p"};
    std::mt19937 rng(20240601);
    for (int n = 0; n < 20000 && !HasFatalFailure(); ++n) {
        std::string line;
        for (int k = static_cast<int>(rng() % 12); k > 0; --k) {
            std::string piece = pieces[rng() % (sizeof pieces / sizeof pieces[0])];
            for (char& c : piece) {
                if (rng() % 4 == 0)
                    c = static_cast<char>(std::islower(static_cast<unsigned char>(c)) ? std::toupper(c) : std::tolower(c));
            }
            line += piece;
        }
        expect_same(line);
    }
}

}  // namespace
