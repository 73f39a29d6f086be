#include "fuzz_common.h"

#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace fuzzing {

using namespace cellscope;

const ModelProfile& profile_for(int ports)
{
    return *profile_for_ports(ports);
}

static StatsStore pristine;
static uint32_t pristine_scale;

void reset_store(StatsStore& store, const ModelProfile& profile)
{
    store_init(store, profile.cell_scale);
    if (pristine_scale != profile.cell_scale) {
        store_init(pristine, profile.cell_scale);
        pristine_scale = profile.cell_scale;
    }
}

static void check_record(const UsageRecord& got, const UsageRecord& init, bool untouched)
{
    if (got.current > got.max)
        std::abort();
    for (int b = 0; b < kBuckets; ++b)
        if (got.buckets[b].threshold != init.buckets[b].threshold)
            std::abort();
    if (untouched && std::memcmp(&got, &init, sizeof got) != 0)
        std::abort();
}

void check_store(const StatsStore& store, const ModelProfile& profile)
{
    const bool queues_written = profile.parse_port == parse_port_24;
    check_record(store.sw.total_shared, pristine.sw.total_shared, false);
    check_record(store.sw.shared_limit, pristine.sw.shared_limit, false);
    for (int p = 0; p < kMaxPorts; ++p) {
        const PortStats& got = store.ports[p];
        const PortStats& init = pristine.ports[p];
        if (got.id != p || std::memcmp(got.name, init.name, sizeof got.name) != 0)
            std::abort();
        check_record(got.port_shared, init.port_shared, false);
        for (int k = 0; k < kGroups; ++k) {
            check_record(got.pg_shared[k], init.pg_shared[k], false);
            check_record(got.queue_shared[k], init.queue_shared[k], !queues_written);
        }
    }
}

std::FILE* open_input(const uint8_t* data, size_t size)
{
    if (size == 0)
        return nullptr;  // nothing to parse
    return fmemopen(const_cast<uint8_t*>(data), size, "r");
}

void quiet_stderr()
{
    if (std::getenv("FUZZ_VERBOSE") != nullptr)
        return;
    // Only the C stream: the fuzzer and the sanitizers keep descriptor 2.
    if (std::FILE* null_stream = std::fopen("/dev/null", "w"))
        stderr = null_stream;
}

}  // namespace fuzzing
