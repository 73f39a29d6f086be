#include "bench_data.h"

#include <cstdio>
#include <cstdlib>
#include <map>

namespace benchdata {

static std::string slurp(const std::string& path)
{
    std::FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        std::fprintf(stderr, "bench: cannot read %s (set CELLSCOPE_BENCH_DUMPS; scripts/bench does)\n", path.c_str());
        std::exit(2);
    }
    std::string out;
    char buf[65536];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0)
        out.append(buf, n);
    std::fclose(f);
    return out;
}

const DumpSet& dump_set(int ports)
{
    static std::map<int, DumpSet> sets;
    auto it = sets.find(ports);
    if (it != sets.end())
        return it->second;
    const char* root = std::getenv("CELLSCOPE_BENCH_DUMPS");
    const std::string dir = std::string(root ? root : "bench-dumps") + "/" + std::to_string(ports) + "/";
    DumpSet set{slurp(dir + "sw_global_info.1"), slurp(dir + "port_info.1"), slurp(dir + "pg_info.1")};
    return sets.emplace(ports, std::move(set)).first->second;
}

}  // namespace benchdata
