// Number conversion with the module's 32-bit semantics on every host.
#pragma once

#include <cstdint>

namespace cellscope {

// strtoul as it behaves where unsigned long is 32 bits: a magnitude above
// 4294967295 is a range error (errno ERANGE) yielding 4294967295; a negative
// number within range is negated modulo 2^32. Same end pointer and errno
// rules as strtoul otherwise.
uint32_t strtoul32(const char* text, char** end, int base);

}  // namespace cellscope
