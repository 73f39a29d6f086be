// Fuzzes the 30-port module's pg dump parser.
#include "fuzz_common.h"

CELLSCOPE_PARSER_FUZZER(30, parse_pg_30)
