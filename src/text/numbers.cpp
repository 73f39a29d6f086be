#include "text/numbers.h"

#include <cerrno>

namespace cellscope {

namespace {

constexpr bool is_space(unsigned char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

// Value of every byte as a digit of bases up to 36; 99 for no digit.
constexpr struct DigitTable {
    uint8_t value[256];
    constexpr DigitTable() : value()
    {
        for (int c = 0; c < 256; ++c)
            value[c] = 99;
        for (int c = '0'; c <= '9'; ++c)
            value[c] = static_cast<uint8_t>(c - '0');
        for (int c = 'a'; c <= 'z'; ++c) {
            value[c] = static_cast<uint8_t>(c - 'a' + 10);
            value[c - 'a' + 'A'] = static_cast<uint8_t>(c - 'a' + 10);
        }
    }
} kDigits;

// The magnitude and sign of a number; *converted false when no digit.
struct Parsed {
    uint64_t magnitude;
    bool negative;
    bool overflow;
    bool converted;
    const char* stop;
};

// Accumulates digits of one base; the base is a constant in each copy.
template <unsigned Base>
const unsigned char* accumulate(const unsigned char* p, Parsed& r)
{
    // So many digits cannot overflow 64 bits; only longer numbers are checked.
    constexpr int kSafeDigits = Base == 16 ? 15 : Base == 10 ? 19 : 21;
    for (int n = 0; n < kSafeDigits; ++n, ++p) {
        const unsigned d = kDigits.value[*p];
        if (d >= Base)
            return p;
        r.converted = true;
        r.magnitude = r.magnitude * Base + d;
    }
    for (;;) {
        const unsigned d = kDigits.value[*p];
        if (d >= Base)
            return p;
        r.converted = true;
        uint64_t next;
        if (__builtin_mul_overflow(r.magnitude, static_cast<uint64_t>(Base), &next) ||
            __builtin_add_overflow(next, static_cast<uint64_t>(d), &next))
            r.overflow = true;
        else
            r.magnitude = next;
        ++p;
    }
}

Parsed parse_number(const char* text, int base)
{
    const unsigned char* p = reinterpret_cast<const unsigned char*>(text);
    Parsed r{0, false, false, false, text};
    if (kDigits.value[*p] >= 10) {  // white space and a sign only before a non-digit
        while (is_space(*p))
            ++p;
        if (*p == '-' || *p == '+') {
            r.negative = (*p == '-');
            ++p;
        }
    }
    if (p[0] == '0' && base != 10) {
        if (base != 8 && (p[1] | 0x20) == 'x' && kDigits.value[p[2]] < 16) {
            p += 2;
            base = 16;
        } else if (base == 0) {
            base = 8;
        }
    } else if (base == 0) {
        base = 10;
    }
    switch (base) {
    case 8:
        p = accumulate<8>(p, r);
        break;
    case 10:
        p = accumulate<10>(p, r);
        break;
    default:
        p = accumulate<16>(p, r);
        break;
    }
    if (r.converted)
        r.stop = reinterpret_cast<const char*>(p);
    return r;
}

}  // namespace

uint64_t strtou64(const char* text, char** end, int base)
{
    const Parsed r = parse_number(text, base);
    if (end != nullptr)
        *end = const_cast<char*>(r.stop);
    if (r.overflow) {
        errno = ERANGE;
        return UINT64_MAX;
    }
    return r.negative ? 0ULL - r.magnitude : r.magnitude;
}

uint32_t strtou32(const char* text, char** end, int base)
{
    const Parsed r = parse_number(text, base);
    if (end != nullptr)
        *end = const_cast<char*>(r.stop);
    if (r.overflow || r.magnitude > UINT32_MAX) {
        errno = ERANGE;
        return UINT32_MAX;
    }
    const uint32_t m = static_cast<uint32_t>(r.magnitude);
    return r.negative ? 0U - m : m;
}

}  // namespace cellscope
