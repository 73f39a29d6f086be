#include "store/conv.h"

#include <cerrno>
#include <cstdlib>

namespace cellscope {

uint32_t strtoul32(const char* text, char** end, int base)
{
    // Which sign strtoull will see: it skips the same white space first.
    const char* p = text;
    while (*p == ' ' || (*p >= '\t' && *p <= '\r'))
        ++p;
    const bool negative = (*p == '-');

    const int saved_errno = errno;
    errno = 0;
    char* stop = nullptr;
    const unsigned long long raw = std::strtoull(text, &stop, base);
    const int err = errno;
    errno = saved_errno;
    if (end != nullptr)
        *end = stop;
    if (err != 0) {
        errno = err;
        return err == ERANGE ? UINT32_MAX : 0;  // beyond 64 bits is beyond 32
    }
    if (stop == text)
        return 0;

    const unsigned long long magnitude = negative ? 0ULL - raw : raw;
    if (magnitude > UINT32_MAX) {
        errno = ERANGE;
        return UINT32_MAX;
    }
    const uint32_t m = static_cast<uint32_t>(magnitude);
    return negative ? static_cast<uint32_t>(0U - m) : m;
}

}  // namespace cellscope
