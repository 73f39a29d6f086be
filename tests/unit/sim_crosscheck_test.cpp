// The stand-in's dumps (its own independent port maps and layouts) through
// the monitor's parsers into one store: each truth item lands with its value
// and nothing else changes. Counters are poisoned before each dump, so that a
// skipped line shows; a wrong map entry on either side misplaces a value.
#include <algorithm>

#include "dump_format.h"
#include "helpers.h"
#include "modules/profile.h"
#include "sim_model.h"
#include "traffic.h"

using namespace cellscope;

namespace {

constexpr uint64_t kPoison = 0xC0FFEE00DEADBEEFULL;

void parse(const std::string& text, const DumpFormat& format, StatsStore& store)
{
    std::FILE* stream = testutil::stream_of(text);
    parse_dump(stream, store, format);
    std::fclose(stream);
}

}  // namespace

TEST(SimCrosscheck, EveryTruthItemLandsAndNothingElseChanges)
{
    using swsim::Model;
    using swsim::Scenario;
    // Counters start just below 2^32 in some runs, so they pass it.
    const struct { Model model; Scenario scenario; uint64_t seed; int target; uint64_t base; } runs[] = {
        {Model::M42, Scenario::Steady, 2, 0, 0}, {Model::M42, Scenario::Incast, 4, 41, 4294960000},
        {Model::M24, Scenario::Steady, 2, 0, 4294960000}, {Model::M24, Scenario::Incast, 4, 23, 0},
        {Model::M30, Scenario::Idle, 1, 0, 4294967000},   {Model::M30, Scenario::Incast, 3, 12, 0},
    };
    static StatsStore got, want;
    for (const auto& r : runs) {
        const swsim::ModelInfo& info = swsim::model_info(r.model);
        SCOPED_TRACE(std::string(info.name) + "-port module, " + swsim::scenario_name(r.scenario));
        const ModelProfile* m = module_for_ports(info.port_count);
        ASSERT_NE(m, nullptr);
        ASSERT_EQ(m->cell_scale, info.cell_scale);
        swsim::Traffic traffic(r.model, r.scenario, r.seed, r.target, r.base);
        store_init(got, m->cell_scale);
        store_init(want, m->cell_scale);
        for (int d = 0; d < 30 && !HasFailure(); ++d) {
            const swsim::Snapshot& snap = traffic.next();
            for (StatsStore* s : {&got, &want}) {
                for (PortStats& port : s->ports) {
                    port.ibp_drop = port.rxpp = port.txpp = kPoison;
                    std::fill(std::begin(port.hol_drop), std::end(port.hol_drop), kPoison);
                }
            }
            // The truth applied to the store of the dump before, reset as the readers reset it.
            reset_switch_peaks(want);
            reset_port_and_group_peaks(want);
            record_value(want.sw.total_shared, snap.total_shared);
            record_value(want.sw.shared_limit, snap.shared_limit);
            for (int slot = 0; slot < info.port_count; ++slot) {
                const swsim::PortState& truth = snap.ports[static_cast<size_t>(slot)];
                PortStats& w = want.ports[slot];
                record_value(w.port_shared, truth.port_shared);
                w.rxpp = truth.rxpp, w.txpp = truth.txpp, w.ibp_drop = truth.ibp_drop;
                for (size_t k = 0; k < kGroups; ++k) {
                    record_value(w.pg_shared[k], truth.pg[k]);
                    if (r.model == Model::M24)
                        record_value(w.queue_shared[k], truth.queue[k]);
                    if (swsim::hol_drop_reported(r.model, slot))
                        w.hol_drop[k] = truth.hol_drop[k];
                }
            }
            const swsim::DumpText text = swsim::render_dump(snap);
            SCOPED_TRACE("dump " + std::to_string(snap.number));
            const std::string err = testutil::capture_stderr([&] {
                reset_switch_peaks(got);
                parse(text.global, m->parse_global, got);
                reset_port_and_group_peaks(got);
                parse(text.port, m->parse_port, got);
                parse(text.pg, m->parse_pg, got);
            });
            EXPECT_EQ(err, "");
            EXPECT_EQ(testutil::store_diff(want, got), std::vector<std::string>{});
        }
    }
}
