// Dumps of the daemon stand-in (its library) through the monitor's own
// parsers, dump after dump into one store: every item of a dump's truth
// record must land in the store with exactly its value, and nothing else may
// change. The expected store is the one before the dump, reset as the readers
// reset it, with the truth applied; counters are poisoned before each dump so
// that a skipped line shows. Built when the stand-in is part of the build.
#ifdef CELLSCOPE_HAVE_SIM

#include <gtest/gtest.h>

#include <memory>

#include "dump_format.h"
#include "parsers_test_util.h"
#include "sim_model.h"
#include "traffic.h"

using namespace cellscope;

namespace {

constexpr uint64_t kPoison = 0xC0FFEE00DEADBEEFULL;
constexpr int kDumps = 30;  // more than one incast cycle

// The truth of one dump applied to the store of the dump before.
void apply_truth(const swsim::Snapshot& snap, StatsStore& want)
{
    store_reset_global(want);
    store_reset_ports(want);
    record_value(want.sw.total_shared, snap.total_shared);
    record_value(want.sw.shared_limit, snap.shared_limit);
    for (int slot = 0; slot < swsim::model_info(snap.model).port_count; ++slot) {
        const swsim::PortState& truth = snap.ports[slot];
        PortStats& w = want.ports[slot];
        record_value(w.port_shared, truth.port_shared);
        w.rxpp = truth.rxpp;
        w.txpp = truth.txpp;
        w.ibp_drop = truth.ibp_drop;
        for (int k = 0; k < kGroups; ++k) {
            record_value(w.pg_shared[k], truth.pg[k]);
            if (snap.model == swsim::Model::M24)
                record_value(w.queue_shared[k], truth.queue[k]);
            if (swsim::hol_drop_reported(snap.model, slot))
                w.hol_drop[k] = truth.hol_drop[k];
        }
    }
}

}  // namespace

TEST(SimCrosscheck, EveryTruthItemLandsAndNothingElseChanges)
{
    using swsim::Model;
    using swsim::Scenario;
    const struct { Model model; Scenario scenario; uint64_t seed; int target; } runs[] = {
        {Model::M42, Scenario::Idle, 1, 0},  {Model::M42, Scenario::Steady, 2, 0}, {Model::M42, Scenario::Incast, 3, 0},
        {Model::M42, Scenario::Incast, 4, 41}, {Model::M24, Scenario::Idle, 1, 0}, {Model::M24, Scenario::Steady, 2, 0},
        {Model::M24, Scenario::Incast, 3, 0},  {Model::M24, Scenario::Incast, 4, 23}, {Model::M30, Scenario::Idle, 1, 0},
        {Model::M30, Scenario::Steady, 2, 0},  {Model::M30, Scenario::Incast, 3, 12}, {Model::M30, Scenario::Incast, 4, 29},
    };
    for (const auto& r : runs) {
        const swsim::ModelInfo& info = swsim::model_info(r.model);
        SCOPED_TRACE(std::string(info.name) + "-port " + swsim::scenario_name(r.scenario) + " target " +
                     std::to_string(r.target));
        const ModelProfile* profile = profile_for_ports(info.port_count);
        ASSERT_NE(profile, nullptr);
        ASSERT_EQ(profile->cell_scale, info.cell_scale);
        swsim::Traffic traffic(r.model, r.scenario, r.seed, r.target);
        auto got = parsertest::fresh_store(profile->cell_scale);
        auto want = parsertest::fresh_store(profile->cell_scale);
        for (int d = 0; d < kDumps && !HasFailure(); ++d) {
            const swsim::Snapshot& snap = traffic.next();
            const swsim::DumpText text = swsim::render_dump(snap);
            for (StatsStore* s : {got.get(), want.get()}) {
                for (PortStats& port : s->ports) {
                    port.ibp_drop = port.rxpp = port.txpp = kPoison;
                    std::fill(std::begin(port.hol_drop), std::end(port.hol_drop), kPoison);
                }
            }
            apply_truth(snap, *want);
            SCOPED_TRACE("dump " + std::to_string(snap.number));
            EXPECT_EQ(parsertest::read_cycle(*profile, {text.global, text.port, text.pg}, *got), "");
            EXPECT_EQ(parsertest::store_diff(*want, *got), std::vector<std::string>{});
        }
        // The incast target reached the full buffer, which no bucket counts.
        if (r.scenario == Scenario::Incast) {
            EXPECT_EQ(got->ports[r.target].port_shared.max, info.cell_scale);
        }
    }
}

#endif  // CELLSCOPE_HAVE_SIM
