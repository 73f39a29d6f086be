// Fuzzes the 42-port module's port dump parser.
#include "fuzz_common.h"

CELLSCOPE_PARSER_FUZZER(42, parse_port_42)
