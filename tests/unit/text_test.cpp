// The text layer against the C library (strtoull with the module's 32-bit
// rules, strcasestr), and the scanners' outputs and messages.
#include <cerrno>
#include <climits>
#include <random>

#include "helpers.h"
#include "modules/marker_set.h"
#include "text/numbers.h"
#include "text/scanners.h"
#include "text/search.h"

using namespace cellscope;

namespace {

std::string random_text(std::mt19937& rng, const char* alphabet, size_t max_length)
{
    std::string text(rng() % (max_length + 1), ' ');
    for (char& c : text)
        c = alphabet[rng() % std::strlen(alphabet)];
    return text;
}

}  // namespace

TEST(Text, ConversionsAgreeWithTheLibraryOnEveryHostAsOnThe32BitModule)
{
    std::mt19937 rng(7);
    for (int n = 0; n < 40000; ++n) {
        const std::string text = n < 5 ? std::string(n == 0 ? "" : "18446744073709551616") + "0x"
                                       : random_text(rng, n % 2 ? "0123456789abcdefgGxX+- \t\n" : "0123456789-", 24);
        const int base = std::array{0, 8, 10, 16}[rng() % 4];
        SCOPED_TRACE("'" + text + "' base " + std::to_string(base));
        char *want_end = nullptr, *got_end = nullptr;
        errno = 0;
        const unsigned long long want = std::strtoull(text.c_str(), &want_end, base);
        const int want_errno = errno;
        errno = 0;
        ASSERT_EQ(strtou64(text.c_str(), &got_end, base), want);
        ASSERT_EQ(errno, want_errno);
        ASSERT_EQ(got_end, want_end);
        // 32 bits: a magnitude above 4294967295 is a range error yielding it,
        // a negative number within range is negated modulo 2^32.
        const size_t sign = text.find_first_not_of(" \t\n\v\f\r");
        const bool negative = sign != std::string::npos && text[sign] == '-' && want_end != text.c_str();
        const unsigned long long magnitude = negative ? 0ULL - want : want;
        const bool range = want_errno == ERANGE || magnitude > UINT32_MAX;
        errno = 0;
        ASSERT_EQ(strtou32(text.c_str(), &got_end, base), range ? UINT32_MAX : static_cast<uint32_t>(want));
        ASSERT_EQ(errno, range ? ERANGE : 0);
        ASSERT_EQ(got_end, want_end);
    }
}

TEST(Text, SearchesAgreeWithStrcasestr)
{
    static constexpr const char* kMarkers[] = {"RXPP", "TXPP", "THDI_PORT_SP_CNTRS_RT_X", "PORT_SHARED_COUNT", "XPP", "P_S"};
    static constexpr MarkerSet kSet(kMarkers, 6);
    std::mt19937 rng(11);
    const char* const pieces[] = {"RX", "PP", "TX", "xpp", "P_S", "THDI_PORT_", "SP_CNTRS_RT_", "X", "x", "PORT_",
                                  "SHARED_", "COUNT", "count", " ", "[3]", "xe5", "_", "r", "T", "p", "\xc3\xa9"};
    for (int n = 0; n < 20000; ++n) {
        std::string line;
        for (int k = static_cast<int>(rng() % 12); k > 0; --k) {
            std::string piece = pieces[rng() % std::size(pieces)];
            for (char& c : piece)
                c = rng() % 4 ? c : static_cast<char>(std::isupper(c) ? std::tolower(c) : std::toupper(c));
            line += piece;
        }
        const std::string needle = random_text(rng, "xXpPrRtT_sS", 4);
        ASSERT_EQ(find_nocase(line.c_str(), needle.c_str()), strcasestr(line.c_str(), needle.c_str())) << line;
        int want = 0;
        const char* want_at = nullptr;
        while (want < 6 && (want_at = strcasestr(line.c_str(), kMarkers[want])) == nullptr)
            ++want;
        const char* got_at = nullptr;
        ASSERT_EQ(kSet.find(line.c_str(), &got_at), want) << line;
        ASSERT_EQ(got_at, want_at) << line;
    }
}

TEST(Text, ScannersTakeTheFirstTokenAndReportOnlyWhatTheySay)
{
    const std::string no_digits = "No digits were found\n";
    const std::string range = std::string(": ") + std::strerror(ERANGE) + "\n";
    struct Case {
        char scanner;  // p port, b bracket, ( paren, c counter, v 32-bit value (after its key)
        const char* text;
        int rc;
        uint64_t value;  // 77: unchanged
        std::string err{};
    } const cases[] = {
        {'p', "RXPP.xe7[3]: COUNT=0x10", 0, 7}, {'b', "RXPP.xe7[3]: COUNT=0x10", 0, 3},
        {'c', "0x10", 0, 16}, {'p', "rxpp.XE12", 0, 12}, {'p', "xe010", 0, 10},
        {'p', "INDEXED xe3", -1, 77, no_digits}, {'p', "no port", -1, 77}, {'p', "xe-1", 0, UINT32_MAX},
        {'b', "[-1]", 0, UINT32_MAX}, {'b', "[4294967296]", 0, UINT32_MAX}, {'b', "CTR[x]", -1, 77, no_digits},
        {'b', "CTR(3)", -1, 77}, {'(', "(abc)", 0, 0}, {'(', "Q(7) (3)", 0, 7}, {'(', "[3]", -1, 77},
        {'c', "4294967296", 0, 4294967296ULL}, {'c', "017", 0, 15}, {'c', "abc", 0, 0},
        {'c', "18446744073709551616", -1, 77, "strtol" + range}, {'v', "0x1F", 0, 31}, {'v', "010", 0, 8},
        {'v', "abc", 0, 0}, {'v', "4294967296", -1, 77, "strtoul" + range}, {'v', "-4294967295", 0, 1},
    };
    for (const Case& c : cases) {
        uint64_t out = 77;
        uint32_t out32 = 77;
        int rc = 0;
        const std::string err = testutil::capture_stderr([&] {
            switch (c.scanner) {
            case 'p': rc = scan_port_number(c.text, &out32); break;
            case 'b': rc = scan_bracket_index(c.text, &out32); break;
            case '(': rc = scan_paren_index(c.text, &out32); break;
            case 'v': rc = convert_value32(c.text, &out32); break;
            default: rc = convert_counter64(c.text, &out); out32 = static_cast<uint32_t>(out);
            }
        });
        EXPECT_EQ(err, c.err) << c.text;
        EXPECT_EQ(rc, c.rc) << c.text;
        EXPECT_EQ(c.scanner == 'c' ? out : out32, c.value) << c.text;
    }
}
