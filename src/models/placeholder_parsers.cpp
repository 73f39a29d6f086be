// Placeholder parsers: read the stream to its end and store nothing.
#include "models/profile.h"

namespace cellscope {

static void drain(std::FILE* stream)
{
    char line[256];
    while (std::fgets(line, sizeof line, stream) != nullptr) {
    }
}

void parse_global_42(std::FILE* s, StatsStore&) { drain(s); }
void parse_pg_42(std::FILE* s, StatsStore&) { drain(s); }
void parse_port_42(std::FILE* s, StatsStore&) { drain(s); }
void parse_global_24(std::FILE* s, StatsStore&) { drain(s); }
void parse_pg_24(std::FILE* s, StatsStore&) { drain(s); }
void parse_port_24(std::FILE* s, StatsStore&) { drain(s); }
void parse_global_30(std::FILE* s, StatsStore&) { drain(s); }
void parse_pg_30(std::FILE* s, StatsStore&) { drain(s); }
void parse_port_30(std::FILE* s, StatsStore&) { drain(s); }

}  // namespace cellscope
