#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>

#include "snapshot/scanners.h"
#include "test_helpers.h"

using namespace cellscope;
using testutil::capture_stderr;

static const std::string kNoDigits = "No digits were found\n";
static const std::string kStrtolRange = std::string("strtol: ") + std::strerror(ERANGE) + "\n";

TEST(Scanners, ExampleLine)
{
    const char* line = "RXPP.xe7[3]: COUNT=0x10";
    uint32_t port = 0, index = 0;
    uint64_t counter = 0;
    EXPECT_EQ(scan_port_number(line, &port), 0);
    EXPECT_EQ(scan_bracket_index(line, &index), 0);
    EXPECT_EQ(scan_counter64(line, "COUNT=", &counter), 0);
    EXPECT_EQ(port, 7u);
    EXPECT_EQ(index, 3u);
    EXPECT_EQ(counter, 16u);
}

TEST(ScanPortNumber, FirstOccurrenceCaseAndFailures)
{
    uint32_t port = 77;
    EXPECT_EQ(scan_port_number("rxpp.XE12: count=1", &port), 0);
    EXPECT_EQ(port, 12u);
    EXPECT_EQ(scan_port_number("xe3 then xe9", &port), 0);
    EXPECT_EQ(port, 3u);
    EXPECT_EQ(scan_port_number("xe010", &port), 0);  // base 10, not octal
    EXPECT_EQ(port, 10u);

    port = 77;
    std::string err = capture_stderr([&] { EXPECT_EQ(scan_port_number("INDEXED xe3", &port), -1); });
    EXPECT_EQ(err, kNoDigits);
    err = capture_stderr([&] { EXPECT_EQ(scan_port_number("xeon", &port), -1); });
    EXPECT_EQ(err, kNoDigits);
    err = capture_stderr([&] { EXPECT_EQ(scan_port_number("no port here", &port), -1); });
    EXPECT_EQ(err, "");
    err = capture_stderr([&] { EXPECT_EQ(scan_port_number("xe99999999999999999999", &port), 0); });
    EXPECT_EQ(err, "");  // range error yields the maximum, which is not 0: accepted
    EXPECT_EQ(port, 4294967295u);
    EXPECT_EQ(scan_port_number("xe-1", &port), 0);
    EXPECT_EQ(port, 4294967295u);
}

TEST(ScanBracketIndex, DigitsSignsAndMessages)
{
    uint32_t index = 5;
    EXPECT_EQ(scan_bracket_index("A[1536]: B[2]", &index), 0);
    EXPECT_EQ(index, 1536u);
    EXPECT_EQ(scan_bracket_index("[-1]", &index), 0);
    EXPECT_EQ(index, 4294967295u);
    EXPECT_EQ(static_cast<int32_t>(index), -1);
    EXPECT_EQ(scan_bracket_index("[ 12]", &index), 0);
    EXPECT_EQ(index, 12u);
    EXPECT_EQ(scan_bracket_index("[4294967296]", &index), 0);  // no range check
    EXPECT_EQ(index, 4294967295u);

    index = 5;
    std::string err = capture_stderr([&] { EXPECT_EQ(scan_bracket_index("CTR[x]", &index), -1); });
    EXPECT_EQ(err, kNoDigits);
    err = capture_stderr([&] { EXPECT_EQ(scan_bracket_index("CTR(3)", &index), -1); });
    EXPECT_EQ(err, "");
    EXPECT_EQ(index, 5u);
}

TEST(ScanParenIndex, NeverFailsAfterParen)
{
    uint32_t index = 5;
    const std::string err = capture_stderr([&] {
        EXPECT_EQ(scan_paren_index("(abc)", &index), 0);
        EXPECT_EQ(index, 0u);
        EXPECT_EQ(scan_paren_index("Q(7) (3)", &index), 0);
        EXPECT_EQ(index, 7u);
        index = 5;
        EXPECT_EQ(scan_paren_index("no paren [3]", &index), -1);
        EXPECT_EQ(index, 5u);
    });
    EXPECT_EQ(err, "");
}

TEST(ScanCounter64, WideValuesKeysAndOverflow)
{
    uint64_t counter = 1;
    EXPECT_EQ(scan_counter64("COUNT=4294967296", "COUNT=", &counter), 0);
    EXPECT_EQ(counter, 4294967296ull);
    EXPECT_EQ(scan_counter64("pktcnt=0xFFFFFFFFFFFFFFFF", "PKTCNT=", &counter), 0);
    EXPECT_EQ(counter, 0xFFFFFFFFFFFFFFFFull);
    EXPECT_EQ(scan_counter64("COUNT=017", "COUNT=", &counter), 0);
    EXPECT_EQ(counter, 15u);

    // The key must follow the text passed in.
    const char* line = "COUNT=5 RXPP.xe1";
    counter = 1;
    EXPECT_EQ(scan_counter64(std::strstr(line, "RXPP"), "COUNT=", &counter), -1);
    EXPECT_EQ(counter, 1u);

    std::string err = capture_stderr([&] {
        EXPECT_EQ(scan_counter64("COUNT=18446744073709551616", "COUNT=", &counter), -1);
    });
    EXPECT_EQ(err, kStrtolRange);
    EXPECT_EQ(counter, 1u);
    err = capture_stderr([&] { EXPECT_EQ(scan_counter64("COUNT=-18446744073709551616", "COUNT=", &counter), -1); });
    EXPECT_EQ(err, kStrtolRange);
    EXPECT_EQ(counter, 1u);
}
