#include "fuzz_common.h"

#include <cstdlib>
#include <cstring>

namespace fuzzing {

using namespace cellscope;

const ModelProfile& module_for(uint8_t selector)
{
    const auto all = modules();
    return *all[selector % all.size()];
}

static StatsStore pristine;

void reset_store(StatsStore& store, const ModelProfile& profile)
{
    store_init(store, profile.cell_scale);
    store_init(pristine, profile.cell_scale);
}

static void check_record(const UsageRecord& got, const UsageRecord& init, bool fed)
{
    if (got.current > got.max)
        std::abort();
    for (int b = 0; b < kBuckets; ++b)
        if (got.buckets[b].threshold != init.buckets[b].threshold)
            std::abort();
    if (!fed && std::memcmp(&got, &init, sizeof got) != 0)
        std::abort();
}

void check_store(const StatsStore& store, const ModelProfile& m)
{
    // Lines may name any slot of the store; within the module's slots only
    // what its rules feed may change.
    auto fed = [&](Field field, int slot, int group) {
        return slot >= m.port_count || module_reports(m, field, slot, group);
    };
    check_record(store.sw.total_shared, pristine.sw.total_shared, true);
    check_record(store.sw.shared_limit, pristine.sw.shared_limit, true);
    for (int p = 0; p < kMaxPorts; ++p) {
        const PortStats& got = store.ports[p];
        const PortStats& init = pristine.ports[p];
        if (got.id != p || std::memcmp(got.name, init.name, sizeof got.name) != 0)
            std::abort();
        check_record(got.port_shared, init.port_shared, fed(Field::PortShared, p, 0));
        if ((got.rxpp != 0 && !fed(Field::Rxpp, p, 0)) || (got.txpp != 0 && !fed(Field::Txpp, p, 0)) ||
            (got.ibp_drop != 0 && !fed(Field::IbpDrop, p, 0)))
            std::abort();
        for (int k = 0; k < kGroups; ++k) {
            check_record(got.pg_shared[k], init.pg_shared[k], fed(Field::PgShared, p, k));
            check_record(got.queue_shared[k], init.queue_shared[k], fed(Field::QueueShared, p, k));
            if (got.hol_drop[k] != 0 && !fed(Field::HolDrop, p, k))
                std::abort();
        }
    }
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
