// Fuzzes the 30-port module's global dump parser.
#include "fuzz_common.h"

CELLSCOPE_PARSER_FUZZER(30, parse_global_30)
