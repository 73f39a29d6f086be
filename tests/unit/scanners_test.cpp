#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "snapshot/scanners.h"
#include "test_helpers.h"

using namespace cellscope;

namespace {

const std::string kNoDigits = "No digits were found\n";
const std::string kStrtolRange = std::string("strtol: ") + std::strerror(ERANGE) + "\n";

enum Scanner { kPort, kBracket, kParen, kCounter };

struct Case {
    Scanner scanner;
    const char* text;
    int rc;
    uint64_t value;  // the output; the poison 77 where it must stay unchanged
    std::string err{};
};

uint64_t g_out;

int scan(Scanner scanner, const char* text)
{
    uint32_t out32 = static_cast<uint32_t>(g_out);
    int rc = 0;
    switch (scanner) {
    case kPort: rc = scan_port_number(text, &out32); break;
    case kBracket: rc = scan_bracket_index(text, &out32); break;
    case kParen: rc = scan_paren_index(text, &out32); break;
    case kCounter: return scan_counter64(text, "COUNT=", &g_out);
    }
    g_out = out32;
    return rc;
}

}  // namespace

TEST(Scanners, FirstOccurrenceCaseDigitsSignsOverflowAndMessages)
{
    const Case cases[] = {
        // The example line of the dump syntax.
        {kPort, "RXPP.xe7[3]: COUNT=0x10", 0, 7},
        {kBracket, "RXPP.xe7[3]: COUNT=0x10", 0, 3},
        {kCounter, "RXPP.xe7[3]: COUNT=0x10", 0, 16},
        {kPort, "rxpp.XE12: count=1", 0, 12},
        {kPort, "xe3 then xe9", 0, 3},
        {kPort, "xe010", 0, 10},  // base 10, not octal
        {kPort, "INDEXED xe3", -1, 77, kNoDigits},  // the "XE" of INDEXED comes first
        {kPort, "xeon", -1, 77, kNoDigits},
        {kPort, "no port here", -1, 77},
        {kPort, "xe99999999999999999999", 0, 4294967295u},  // range error yields the maximum: accepted
        {kPort, "xe-1", 0, 4294967295u},
        {kBracket, "A[1536]: B[2]", 0, 1536},
        {kBracket, "[-1]", 0, 4294967295u},  // -1 as a signed index
        {kBracket, "[ 12]", 0, 12},
        {kBracket, "[4294967296]", 0, 4294967295u},  // no range check
        {kBracket, "CTR[x]", -1, 77, kNoDigits},
        {kBracket, "CTR(3)", -1, 77},
        {kParen, "(abc)", 0, 0},
        {kParen, "Q(7) (3)", 0, 7},
        {kParen, "no paren [3]", -1, 77},
        {kCounter, "COUNT=4294967296", 0, 4294967296ull},
        {kCounter, "count=0xFFFFFFFFFFFFFFFF", 0, 0xFFFFFFFFFFFFFFFFull},
        {kCounter, "COUNT=017", 0, 15},
        {kCounter, "RXPP.xe1", -1, 77},  // the key must follow the text passed in
        {kCounter, "COUNT=18446744073709551616", -1, 77, kStrtolRange},
        {kCounter, "COUNT=-18446744073709551616", -1, 77, kStrtolRange},
    };
    for (const Case& c : cases) {
        g_out = 77;
        int rc = 0;
        EXPECT_EQ(testutil::capture_stderr([&] { rc = scan(c.scanner, c.text); }), c.err) << c.text;
        EXPECT_EQ(rc, c.rc) << c.text;
        EXPECT_EQ(g_out, c.value) << c.text;
    }
}
