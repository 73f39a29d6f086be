// Number conversion with the module's 32-bit semantics on every host.
#pragma once

#include <cstdint>

namespace cellscope {

// strtoull for bases 0, 8, 10 and 16 (others are taken as 16) in the C locale: leading white space,
// an optional sign (a minus negates modulo 2^64), the base prefix rules of
// base 0 ("0x" hexadecimal, leading "0" octal), ERANGE with the maximum on
// overflow. Sets errno only on overflow, like the library function. Written
// out because the dump parsers convert a number on almost every line.
uint64_t strtou64(const char* text, char** end, int base);

// strtoul as it behaves where unsigned long is 32 bits, as on the module: a magnitude above
// 4294967295 is a range error (errno ERANGE) yielding 4294967295; a negative
// number within range is negated modulo 2^32. Same end pointer and errno
// rules as strtoul otherwise.
uint32_t strtou32(const char* text, char** end, int base);

}  // namespace cellscope
