#include "text/scanners.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "text/diagnostics.h"
#include "text/numbers.h"
#include "text/search.h"

namespace cellscope {

static const char kNoDigits[] = "No digits were found\n";

int scan_port_number(const char* line, uint32_t* out)
{
    const char* at = find_nocase(line, "xe");
    if (at == nullptr)
        return -1;
    const char* digits = at + 2;
    char* end = nullptr;
    errno = 0;
    const uint32_t value = strtou32(digits, &end, 10);
    if (errno != 0 && value == 0) {
        diagnose_errno("strtol");
        return -1;
    }
    if (end == digits) {
        diagnose(kNoDigits);
        return -1;
    }
    *out = value;
    return 0;
}

int scan_bracket_index(const char* line, uint32_t* out)
{
    const char* at = std::strchr(line, '[');
    if (at == nullptr)
        return -1;
    char* end = nullptr;
    const uint32_t value = strtou32(at + 1, &end, 10);
    if (end == at + 1) {
        diagnose(kNoDigits);
        return -1;
    }
    *out = value;
    return 0;
}

int scan_paren_index(const char* line, uint32_t* out)
{
    const char* at = std::strchr(line, '(');
    if (at == nullptr)
        return -1;
    *out = strtou32(at + 1, nullptr, 10);
    return 0;
}

int convert_counter64(const char* digits, uint64_t* out)
{
    errno = 0;
    const uint64_t value = strtou64(digits, nullptr, 0);
    if (errno == ERANGE || (errno != 0 && value == 0)) {
        diagnose_errno("strtol");
        return -1;
    }
    *out = value;
    return 0;
}

int convert_value32(const char* digits, uint32_t* out)
{
    errno = 0;
    const uint32_t value = strtou32(digits, nullptr, 0);
    if ((errno == ERANGE && value == UINT32_MAX) || (errno != 0 && value == 0)) {
        diagnose_errno("strtoul");
        return -1;
    }
    *out = value;
    return 0;
}

}  // namespace cellscope
