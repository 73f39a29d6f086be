// Fuzzes the line scanners and record_sample on one NUL-terminated line.
// The first input byte chooses the key, the rest is the text.
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "text/scanners.h"

using namespace cellscope;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static const char* const keys[] = {"COUNT=", "PKTCNT=", "PKT_CNT=", "=", "AVGQSIZE_CELL=", "xe"};
    static bool ready = false;
    static StatsStore store;
    if (!ready) {
        fuzzing::quiet_stderr();
        fuzzing::reset_store(store, fuzzing::module_for(0));
        ready = true;
    }
    if (size == 0 || size > 4096)
        return 0;
    char text[4097];
    std::memcpy(text, data + 1, size - 1);
    text[size - 1] = '\0';
    const char* key = keys[data[0] % (sizeof keys / sizeof keys[0])];

    uint32_t port = 0xdeadbeef, index = 0xdeadbeef, paren = 0xdeadbeef;
    uint64_t counter = 0xdeadbeefcafeULL;
    uint32_t value = 0xdeadbeef;
    if (scan_port_number(text, &port) != 0 && port != 0xdeadbeef)
        std::abort();  // a failed scan leaves its output alone
    if (scan_bracket_index(text, &index) != 0 && index != 0xdeadbeef)
        std::abort();
    if (scan_paren_index(text, &paren) != 0 && (paren != 0xdeadbeef || std::strchr(text, '(') != nullptr))
        std::abort();
    if (scan_counter64(text, key, &counter) != 0 && counter != 0xdeadbeefcafeULL)
        std::abort();
    if (scan_value32(text, key, &value) != 0 && value != 0xdeadbeef)
        std::abort();

    UsageRecord& record = store.ports[data[0] % kMaxPorts].pg_shared[data[0] % kGroups];
    const UsageRecord before = record;
    if (record_sample(text, key, record) != 0 && std::memcmp(&before, &record, sizeof record) != 0)
        std::abort();
    fuzzing::check_store(store, fuzzing::module_for(0));
    return 0;
}
