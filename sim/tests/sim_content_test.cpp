// What the generated dumps say: every item the monitor reads, exactly once,
// equal to the truth record; and the traffic scenarios behave as described.
#include <gtest/gtest.h>

#include <algorithm>

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

// All truth records of the first n dumps of a scenario.
std::vector<simcheck::TruthRecord> run(const ModelCase& mc, Scenario sc, int n, uint64_t seed = 11) {
    swsim::Traffic t(mc.model, sc, seed, mc.incast_target);
    std::vector<simcheck::TruthRecord> out;
    for (int i = 0; i < n; ++i) out.push_back(truth_of(t.next()));
    return out;
}

std::string pk(int slot, const char* field) { return "port " + std::to_string(slot) + " " + field; }
std::string pk(int slot, const char* field, int k) { return pk(slot, field) + " " + std::to_string(k); }

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

                const simcheck::Reading r = simcheck::read_dump(mc.ports, d.global, d.port, d.pg);
                ASSERT_EQ(simcheck::compare(r, truth), "") << "dump " << n;

                for (const std::string* file : {&d.global, &d.port, &d.pg}) {
                    auto lines = simcheck::split_lines(*file);
                    ASSERT_GE(lines.size(), 3u);
                    EXPECT_EQ(lines.front().rfind("# swfabric shared buffer dump " + std::to_string(n) + ",", 0), 0u);
                    EXPECT_EQ(lines.back() + "\n", swsim::footer_line(n));
                    EXPECT_EQ(file->back(), '\n');
                }
            }
        }
}

// Lines the monitor skips by its layout still appear, as a real chip dump
// has them: they must never reach an item (checked above) but be there.
TEST(SimContent, FullCounterArraysIncludeThePartsTheMonitorSkips) {
    swsim::Traffic t42(Model::M42, Scenario::Steady, 2);
    const std::string p42 = swsim::render_dump(t42.next()).port;
    EXPECT_NE(p42.find("THDI_PORT_SP_CNTRS_RT_X.ipipe0[1]:"), std::string::npos);  // pool 1
    EXPECT_NE(p42.find("CTR_ING_DROP.ipipe0[40]:"), std::string::npos);           // unused gap
    EXPECT_NE(p42.find("CTR_UC_DROP.mmu0[35]:"), std::string::npos);              // X queue 11
    EXPECT_NE(p42.find("CTR_UC_DROP.mmu0[1792]:"), std::string::npos);            // Y pipe port 22
    EXPECT_EQ(p42.find("CTR_UC_DROP.mmu0[1828]:"), std::string::npos);            // past Y port 24

    swsim::Traffic t30(Model::M30, Scenario::Steady, 2);
    const std::string p30 = swsim::render_dump(t30.next()).port;
    EXPECT_NE(p30.find("CTR_UC_DROP.mmu0[0]:"), std::string::npos);    // MMU port 0
    EXPECT_NE(p30.find("CTR_UC_DROP.mmu0[981]:"), std::string::npos);  // MMU port 48, queue 9
    EXPECT_EQ(p30.find("CTR_UC_DROP.mmu0[982]:"), std::string::npos);
}

TEST(SimContent, CountersOnlyGrowAndOccupancyStaysWithinTheBuffer) {
    for (const ModelCase& mc : kModels)
        for (Scenario sc : kScenarios) {
            SCOPED_TRACE(std::string("model ") + std::to_string(mc.ports) + " " + swsim::scenario_name(sc));
            const uint32_t scale = simcheck::cell_scale(mc.ports);
            const auto recs = run(mc, sc, 100);
            for (size_t i = 0; i < recs.size(); ++i)
                for (const auto& [key, v] : recs[i].items) {
                    const bool counter = key.find("rxpp") != std::string::npos ||
                                         key.find("txpp") != std::string::npos ||
                                         key.find("drop") != std::string::npos;
                    if (counter) {
                        if (i > 0) {
                            ASSERT_GE(v, recs[i - 1].items.at(key)) << key << " dump " << i + 1;
                        }
                    } else {
                        ASSERT_LE(v, scale) << key << " dump " << i + 1;
                    }
                }
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

        std::vector<std::string> keys = {pk(tgt, "port_shared"), pk(tgt, "pg", cls)};
        if (mc.model == Model::M24) keys.push_back(pk(tgt, "queue", cls));
        std::map<std::string, int> at_scale;
        std::set<int> buckets;  // percent bands the target group passed through
        const int bounds[10] = {1, 5, 10, 20, 50, 60, 70, 80, 90, 100};
        std::vector<simcheck::TruthRecord> recs;
        for (int n = 0; n < 2 * swsim::Traffic::kCycle; ++n) {
            recs.push_back(truth_of(t.next()));
            for (const std::string& k : keys) {
                const uint64_t v = recs.back().items.at(k);
                ASSERT_LE(v, scale) << k;
                if (v == scale) ++at_scale[k];
            }
            const uint64_t v = recs.back().items.at(pk(tgt, "pg", cls));
            int b = 0;
            while (b < 10 && v * 100 >= uint64_t{scale} * bounds[b]) ++b;
            buckets.insert(b);
        }
        for (const std::string& k : keys) EXPECT_GE(at_scale[k], 2) << k;
        EXPECT_GE(buckets.size(), 6u);

        // Drops climb while the target is saturated (dumps 7 to 18 of a cycle).
        const std::string drop = pk(tgt, "hol_drop", cls);
        ASSERT_TRUE(recs[6].items.count(drop));
        for (int i = 7; i < 18; ++i) EXPECT_GT(recs[i].items.at(drop), recs[i - 1].items.at(drop)) << i;

        // The sources receive at a high rate.
        for (int s : t.incast_sources()) {
            ASSERT_NE(s, tgt);
            EXPECT_GT(recs[10].items.at(pk(s, "rxpp")) - recs[9].items.at(pk(s, "rxpp")), 400000u);
        }
    }
}

TEST(SimContent, IdleStaysNearlyEmptyAndQuiet) {
    for (const ModelCase& mc : kModels) {
        SCOPED_TRACE(mc.ports);
        const uint32_t one_percent = simcheck::cell_scale(mc.ports) / 100;
        const auto recs = run(mc, Scenario::Idle, 40);
        for (size_t i = 0; i < recs.size(); ++i)
            for (const auto& [key, v] : recs[i].items) {
                if (key.find("drop") != std::string::npos) {
                    EXPECT_EQ(v, recs[0].items.at(key)) << key;
                } else if (key.find("xpp") != std::string::npos) {
                    if (i > 0) {
                        EXPECT_LE(v - recs[i - 1].items.at(key), 2u) << key;
                    }
                } else if (key != "global shared_limit") {
                    EXPECT_LT(v, one_percent) << key;
                }
            }
    }
}

TEST(SimContent, SteadyLoadsEveryPortModerately) {
    for (const ModelCase& mc : kModels) {
        SCOPED_TRACE(mc.ports);
        const uint64_t scale = simcheck::cell_scale(mc.ports);
        const auto recs = run(mc, Scenario::Steady, 20);
        for (size_t i = 1; i < recs.size(); ++i) {
            const auto& r = recs[i];
            const uint64_t total = r.items.at("global total_shared");
            EXPECT_GT(total, scale / 10);
            EXPECT_LT(total, scale * 9 / 10);
            for (int s = 0; s < mc.ports; ++s) {
                EXPECT_GT(r.items.at(pk(s, "port_shared")), 0u) << s;
                EXPECT_LT(r.items.at(pk(s, "port_shared")), scale / 10) << s;
                EXPECT_GT(r.items.at(pk(s, "rxpp")), recs[i - 1].items.at(pk(s, "rxpp"))) << s;
                EXPECT_GT(r.items.at(pk(s, "txpp")), recs[i - 1].items.at(pk(s, "txpp"))) << s;
            }
        }
        // Long-running counters beyond 32 bits show up somewhere.
        bool wide = false;
        for (const auto& [key, v] : recs[0].items) wide = wide || v > 0xffffffffULL;
        EXPECT_TRUE(wide);
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
            ASSERT_EQ(da.global, db.global);
            ASSERT_EQ(da.port, db.port);
            ASSERT_EQ(da.pg, db.pg);
            differs = differs || da.port != dc.port || da.pg != dc.pg;
        }
        EXPECT_TRUE(differs) << mc.ports;
    }
}

// 24-port queue sizes: the cell count in bits 15..29 with a fraction below;
// the monitor keeps the cell count only.
TEST(SimContent, QueueSizeCarriesCellsAboveAFraction) {
    swsim::Traffic t(Model::M24, Scenario::Steady, 9);
    const swsim::Snapshot& s = t.next();
    const std::string port = swsim::render_dump(s).port;
    int with_fraction = 0;
    for (const std::string& line : simcheck::split_lines(port)) {
        const size_t key = line.find("AVGQSIZE_CELL=");
        if (key == std::string::npos) continue;
        const unsigned long long raw = std::strtoull(line.c_str() + key + 14, nullptr, 0);
        EXPECT_EQ(raw >> 30, 0u) << line;
        if (raw & 0x7fff) ++with_fraction;
    }
    EXPECT_GT(with_fraction, 24 * 8 / 2);
}

}  // namespace
