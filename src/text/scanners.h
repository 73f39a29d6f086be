// Scanners that pull port numbers, indexes and values out of dump lines.
// Each returns 0 on success and -1 on failure, leaving its output unchanged
// on failure, and writes the documented diagnostics on stderr. None modifies
// the text.
#pragma once

#include <cstdint>

namespace cellscope {

// Decimal digits after the first "xe" (any case) of line.
int scan_port_number(const char* line, uint32_t* out);
// Decimal digits after the first "[" of line.
int scan_bracket_index(const char* line, uint32_t* out);
// Decimal digits after the first "(" of line; no digits gives 0.
int scan_paren_index(const char* line, uint32_t* out);
// 64-bit number (automatic base) after the first key (any case) of text.
int scan_counter64(const char* text, const char* key, uint64_t* out);
// 32-bit number (automatic base) after the first key (any case) of text:
// 0 with the value, 1 when the key is absent (silently), -1 after a
// conversion error (reported as "strtoul").
int scan_value32(const char* text, const char* key, uint32_t* out);

// The conversions of the last two alone, of the number at digits, for a
// caller that has found the key itself.
int convert_counter64(const char* digits, uint64_t* out);
int convert_value32(const char* digits, uint32_t* out);

}  // namespace cellscope
