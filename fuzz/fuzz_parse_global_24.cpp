// Fuzzes the 24-port module's global dump parser.
#include "fuzz_common.h"

CELLSCOPE_PARSER_FUZZER(24, parse_global_24)
