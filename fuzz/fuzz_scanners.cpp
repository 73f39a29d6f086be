// Fuzzes the line scanners and the value conversions on one NUL-terminated
// line: a failed scan or conversion leaves its output alone.
#include <cstdlib>
#include <cstring>

#include "fuzz_common.h"
#include "text/scanners.h"

using namespace cellscope;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    static bool ready = false;
    if (!ready) {
        fuzzing::quiet_stderr();
        ready = true;
    }
    if (size > 4096)
        return 0;
    char text[4097];
    std::memcpy(text, data, size);
    text[size] = '\0';

    uint32_t port = 0xdeadbeef, index = 0xdeadbeef, paren = 0xdeadbeef, value = 0xdeadbeef;
    uint64_t counter = 0xdeadbeefcafeULL;
    if (scan_port_number(text, &port) != 0 && port != 0xdeadbeef)
        std::abort();
    if (scan_bracket_index(text, &index) != 0 && index != 0xdeadbeef)
        std::abort();
    if (scan_paren_index(text, &paren) != 0 && (paren != 0xdeadbeef || std::strchr(text, '(') != nullptr))
        std::abort();
    if (convert_counter64(text, &counter) != 0 && counter != 0xdeadbeefcafeULL)
        std::abort();
    if (convert_value32(text, &value) != 0 && value != 0xdeadbeef)
        std::abort();
    return 0;
}
