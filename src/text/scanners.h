// Scanners that pull port numbers, indexes and values out of dump lines.
// Each returns 0 on success and -1 on failure, leaving its output unchanged
// on failure, and hands the documented diagnostics to the diagnostic sink
// (standard error unless the program chose another). None modifies the text.
#pragma once

#include <cstdint>

namespace cellscope {

// Decimal digits after the first "xe" (any case) of line.
int scan_port_number(const char* line, uint32_t* out);
// Decimal digits after the first "[" of line.
int scan_bracket_index(const char* line, uint32_t* out);
// Decimal digits after the first "(" of line; no digits gives 0.
int scan_paren_index(const char* line, uint32_t* out);
// The number (automatic base) at digits, where a value key ends: 64 bits
// for a counter, a conversion error reported as "strtol"; 32 bits as the
// module's strtoul gives them for a usage value, an error reported as
// "strtoul". The caller finds the key (its length is known beforehand).
int convert_counter64(const char* digits, uint64_t* out);
int convert_value32(const char* digits, uint32_t* out);

}  // namespace cellscope
