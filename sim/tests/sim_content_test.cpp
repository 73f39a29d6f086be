// What the generated dumps say: every item the monitor reads, exactly once,
// equal to the truth record; and the traffic behaves as a switch's would.
#include <gtest/gtest.h>

#include "dump_check.h"
#include "dump_format.h"
#include "traffic.h"

namespace {

using swsim::Model;
using swsim::Scenario;

struct ModelCase {
    Model model;
    int ports;  // 42, 24, 30: also the model number
    int incast_target;
};

const ModelCase kModels[] = {{Model::M42, 42, 0}, {Model::M24, 24, 3}, {Model::M30, 30, 17}};
const Scenario kScenarios[] = {Scenario::Idle, Scenario::Steady, Scenario::Incast};

simcheck::TruthRecord truth_of(const swsim::Snapshot& s) {
    std::string err;
    auto recs = simcheck::parse_truth(swsim::render_truth(s), err);
    EXPECT_EQ(err, "");
    EXPECT_EQ(recs.size(), 1u);
    return recs.empty() ? simcheck::TruthRecord{} : recs[0];
}

std::string item(int slot, const char* field, int k) {
    return "port " + std::to_string(slot) + " " + field + " " + std::to_string(k);
}

TEST(SimContent, EveryDumpCarriesExactlyTheTruthValues) {
    for (const ModelCase& mc : kModels)
        for (Scenario sc : kScenarios) {
            SCOPED_TRACE(std::string("model ") + std::to_string(mc.ports) + " " + swsim::scenario_name(sc));
            swsim::Traffic t(mc.model, sc, 11, mc.incast_target);
            const std::set<std::string> expected = simcheck::expected_items(mc.ports);
            for (int n = 1; n <= 30; ++n) {
                const swsim::Snapshot& s = t.next();
                const swsim::DumpText d = swsim::render_dump(s);
                const simcheck::TruthRecord truth = truth_of(s);
                ASSERT_EQ(truth.number, static_cast<uint64_t>(n));
                std::set<std::string> keys;
                for (const auto& kv : truth.items) keys.insert(kv.first);
                ASSERT_EQ(keys, expected) << "dump " << n;
                ASSERT_EQ(simcheck::compare(simcheck::read_dump(mc.ports, d.global, d.port, d.pg), truth), "")
                    << "dump " << n;
                // Header and footer tell a whole file from a cut one.
                for (const std::string* file : {&d.global, &d.port, &d.pg}) {
                    const auto lines = simcheck::split_lines(*file);
                    EXPECT_EQ(lines.front().rfind("# swfabric shared buffer dump " + std::to_string(n) + ",", 0), 0u);
                    EXPECT_EQ(lines.back() + "\n", swsim::footer_line(n));
                    EXPECT_EQ(file->back(), '\n');
                }
            }
        }
}

// Counters never go back, occupancy stays within [0, scale], and a steady
// load runs some counters beyond 32 bits.
TEST(SimContent, CountersOnlyGrowAndOccupancyStaysWithinTheBuffer) {
    for (const ModelCase& mc : kModels)
        for (Scenario sc : kScenarios) {
            SCOPED_TRACE(std::string("model ") + std::to_string(mc.ports) + " " + swsim::scenario_name(sc));
            const uint32_t scale = simcheck::cell_scale(mc.ports);
            swsim::Traffic t(mc.model, sc, 11, mc.incast_target);
            simcheck::TruthRecord before;
            bool wide = false;
            for (int n = 1; n <= 100; ++n) {
                const simcheck::TruthRecord now = truth_of(t.next());
                for (const auto& [key, v] : now.items) {
                    if (key.find("xpp") != std::string::npos || key.find("drop") != std::string::npos) {
                        ASSERT_TRUE(n == 1 || v >= before.items.at(key)) << key << " dump " << n;
                        wide = wide || v > 0xffffffffULL;
                    } else {
                        ASSERT_LE(v, scale) << key << " dump " << n;
                    }
                }
                before = now;
            }
            EXPECT_TRUE(wide || sc != Scenario::Steady);
        }
}

TEST(SimContent, IncastFillsTheTargetToTheCellScaleAndDrops) {
    for (const ModelCase& mc : kModels) {
        SCOPED_TRACE(mc.ports);
        const uint32_t scale = simcheck::cell_scale(mc.ports);
        swsim::Traffic t(mc.model, Scenario::Incast, 5, mc.incast_target);
        const int tgt = t.incast_target();
        const int cls = t.incast_class();
        ASSERT_EQ(tgt, mc.incast_target);
        std::vector<std::string> keys = {"port " + std::to_string(tgt) + " port_shared", item(tgt, "pg", cls)};
        if (mc.model == Model::M24) keys.push_back(item(tgt, "queue", cls));
        std::map<std::string, int> at_scale;
        std::vector<simcheck::TruthRecord> recs;
        for (int n = 0; n < 2 * swsim::Traffic::kCycle; ++n) {
            recs.push_back(truth_of(t.next()));
            for (const std::string& k : keys) at_scale[k] += recs.back().items.at(k) == scale;
        }
        for (const std::string& k : keys) EXPECT_GE(at_scale[k], 2) << k;
        // Drops climb while the target is saturated (dumps 7 to 18 of a cycle).
        const std::string drop = item(tgt, "hol_drop", cls);
        for (int i = 7; i < 18; ++i) EXPECT_GT(recs[i].items.at(drop), recs[i - 1].items.at(drop)) << i;
    }
}

TEST(SimContent, SeedFixesTheDumps) {
    for (const ModelCase& mc : kModels) {
        swsim::Traffic a(mc.model, Scenario::Incast, 42, mc.incast_target);
        swsim::Traffic b(mc.model, Scenario::Incast, 42, mc.incast_target);
        swsim::Traffic c(mc.model, Scenario::Incast, 43, mc.incast_target);
        bool differs = false;
        for (int n = 0; n < 10; ++n) {
            const swsim::DumpText da = swsim::render_dump(a.next());
            const swsim::DumpText db = swsim::render_dump(b.next());
            const swsim::DumpText dc = swsim::render_dump(c.next());
            ASSERT_EQ(da.global + da.port + da.pg, db.global + db.port + db.pg);
            differs = differs || da.port != dc.port || da.pg != dc.pg;
        }
        EXPECT_TRUE(differs) << mc.ports;
    }
}

}  // namespace
