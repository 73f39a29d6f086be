// Fuzzes the 24-port module's pg dump parser.
#include "fuzz_common.h"

CELLSCOPE_PARSER_FUZZER(24, parse_pg_24)
