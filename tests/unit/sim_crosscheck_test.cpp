// Dumps of the daemon stand-in (its library) through the monitor's own
// parsers, dump after dump into one store: every item of a dump's truth
// record must land in the store with exactly its value, and nothing else may
// change. A line that the module's parser skipped shows up as a missing
// value, a missing histogram hit or a counter left at the poison value
// written before each dump. Built when the stand-in is part of the build.
#ifdef CELLSCOPE_HAVE_SIM

#include <gtest/gtest.h>

#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <ostream>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include "dump_format.h"
#include "models/profile.h"
#include "sim_model.h"
#include "store/store.h"
#include "test_helpers.h"
#include "traffic.h"

using namespace cellscope;

namespace {

// Item of a truth record: kind, slot (-1 for switch-wide) and group, queue
// or counter index (-1 where there is none).
using Item = std::tuple<std::string, int, int>;
using Truth = std::map<Item, uint64_t>;

constexpr uint64_t kPoison = 0xC0FFEE00DEADBEEFULL;
constexpr int kDumps = 30;  // more than one incast cycle

struct Module {
    swsim::Model sim;
    const char* model_string;
    int ports;
    uint32_t scale;
};

const Module kModule42{swsim::Model::M42, "ZQN4TRKW1", 42, 32768};
const Module kModule24{swsim::Model::M24, "ZQTRKW1", 24, 16384};
const Module kModule30{swsim::Model::M30, "ZQN4TKW1", 30, 32768};

Truth parse_truth(const std::string& text, uint64_t number)
{
    Truth truth;
    std::istringstream in(text);
    std::string line;
    bool ended = false;
    int lines = 0;
    while (std::getline(in, line)) {
        std::istringstream words(line);
        std::string head;
        words >> head;
        if (lines++ == 0) {
            uint64_t n = 0;
            EXPECT_TRUE(head == "dump" && (words >> n) && n == number) << line;
            continue;
        }
        EXPECT_FALSE(ended) << "item after the end: " << line;
        std::vector<std::string> w;
        for (std::string word; words >> word;)
            w.push_back(word);
        if (head == "end") {
            EXPECT_EQ(w, std::vector<std::string>{std::to_string(number)});
            ended = true;
            continue;
        }
        Item item;
        if (head == "global" && w.size() == 2)
            item = Item{w[0], -1, -1};
        else if (head == "port" && (w.size() == 3 || w.size() == 4))
            item = Item{w[1], std::stoi(w[0]), w.size() == 4 ? std::stoi(w[2]) : -1};
        else
            ADD_FAILURE() << "unknown truth line: " << line;
        EXPECT_TRUE(truth.emplace(item, std::stoull(w.back())).second) << "item twice: " << line;
    }
    EXPECT_TRUE(ended) << "truth record without its end";
    return truth;
}

// The items a dump must carry for the monitor: everything the views show for
// the module's ports, except the per-queue drop counters the counter layouts
// cannot place (42-port Y pipe ports 22 to 24, the 30-port slot at MMU port 4).
std::set<Item> shown_items(const Module& m)
{
    std::set<Item> items{{"total_shared", -1, -1}, {"shared_limit", -1, -1}};
    for (int p = 0; p < m.ports; ++p) {
        for (const char* kind : {"port_shared", "rxpp", "txpp", "ibp_drop"})
            items.insert(Item{kind, p, -1});
        const bool drops = !(m.sim == swsim::Model::M42 && p >= 29 && p <= 31) &&
                           !(m.sim == swsim::Model::M30 && p == 12);
        for (int k = 0; k < kGroups; ++k) {
            items.insert(Item{"pg", p, k});
            if (m.sim == swsim::Model::M24)
                items.insert(Item{"queue", p, k});
            if (drops)
                items.insert(Item{"hol_drop", p, k});
        }
    }
    return items;
}

std::set<Item> keys_of(const Truth& truth)
{
    std::set<Item> keys;
    for (const auto& entry : truth)
        keys.insert(entry.first);
    return keys;
}

std::string name_of(const Item& item)
{
    const auto& [kind, slot, index] = item;
    std::string name = kind;
    if (slot >= 0)
        name = "ports[" + std::to_string(slot) + "]." + name;
    if (index >= 0)
        name += "[" + std::to_string(index) + "]";
    return name;
}

// What the test expects of one usage record over the run, kept apart from
// the store: peak since start and hits per bucket.
struct Track {
    uint32_t max = 0;
    uint32_t hits[kBuckets] = {};
};

class Crosscheck {
public:
    Crosscheck(const Module& m, swsim::Scenario scenario, uint64_t seed, int target)
        : m_(m), traffic_(m.sim, scenario, seed, target), model_file_(std::string(m.model_string) + '\0')
    {
        EXPECT_EQ(detect_model(profile_, model_file_.path()), 0);
        EXPECT_EQ(profile_.port_count, m.ports);
        EXPECT_EQ(profile_.cell_scale, m.scale);
        store_init(*store_, profile_.cell_scale);
        before_ = *store_;
        for (uint32_t b = 0; b < kBuckets; ++b)
            thresholds_[b] = m.scale * kPercent[b] / 100;
    }

    // Reads the next dump as the monitor's readers do; false after a failure.
    bool next_dump()
    {
        const swsim::Snapshot& snap = traffic_.next();
        const swsim::DumpText text = swsim::render_dump(snap);
        const Truth truth = parse_truth(swsim::render_truth(snap), snap.number);
        EXPECT_EQ(keys_of(truth), shown_items(m_)) << "dump " << snap.number;

        for (PortStats& port : store_->ports) {
            port.ibp_drop = port.rxpp = port.txpp = kPoison;
            std::fill(std::begin(port.hol_drop), std::end(port.hol_drop), kPoison);
        }
        const std::string err = testutil::capture_stderr([&] {
            store_reset_global(*store_);
            parse(profile_.parse_global, text.global);
            store_reset_ports(*store_);
            parse(profile_.parse_port, text.port);
            parse(profile_.parse_pg, text.pg);
        });
        EXPECT_EQ(err, "") << "dump " << snap.number;
        const std::vector<std::string> diffs = check(truth);
        EXPECT_EQ(diffs, std::vector<std::string>{}) << "dump " << snap.number;
        before_ = *store_;
        return err.empty() && diffs.empty() && !::testing::Test::HasFailure();
    }

    const Track& track(const Item& item) { return tracks_[item]; }
    uint32_t scale() const { return m_.scale; }

private:
    static constexpr uint32_t kPercent[kBuckets] = {1, 5, 10, 20, 50, 60, 70, 80, 90, 100};

    void parse(ParseFn fn, const std::string& content)
    {
        std::FILE* stream = testutil::stream_of(content);
        fn(stream, *store_);
        std::fclose(stream);
    }

    int bucket(uint32_t value) const
    {
        for (int b = 0; b < kBuckets; ++b) {
            if (value < thresholds_[b])
                return b;
        }
        return -1;
    }

    void check_record(std::vector<std::string>& out, const Item& item, const UsageRecord& got,
                      const UsageRecord& was, const Truth& truth, bool limit)
    {
        const std::string name = name_of(item);
        auto expect = [&](const std::string& field, uint64_t want, uint64_t have) {
            if (want != have)
                out.push_back(name + "." + field + ": want " + std::to_string(want) + ", got " + std::to_string(have));
        };
        Track& t = tracks_[item];
        const auto found = truth.find(item);
        if (found == truth.end()) {
            expect("sample", was.sample, got.sample);
            expect("current", was.current, got.current);
        } else {
            const uint32_t v = static_cast<uint32_t>(found->second);
            expect("truth fits 32 bits", found->second, v);
            expect("sample", v, got.sample);
            expect("current", std::max(was.current, v), got.current);
            t.max = std::max(t.max, v);
            const int b = bucket(v);
            if (!limit && b >= 0)
                ++t.hits[b];
        }
        expect("max", t.max, got.max);
        for (int b = 0; b < kBuckets; ++b) {
            expect("hits[" + std::to_string(b) + "]", t.hits[b], got.buckets[b].hits);
            expect("threshold[" + std::to_string(b) + "]", limit ? 0 : thresholds_[b], got.buckets[b].threshold);
        }
    }

    std::vector<std::string> check(const Truth& truth)
    {
        std::vector<std::string> out;
        const StatsStore& s = *store_;
        // The switch-wide reader resets the count's peak before each dump; the
        // limit's peak is never reset.
        UsageRecord reset = before_.sw.total_shared;
        reset.current = 0;
        check_record(out, {"total_shared", -1, -1}, s.sw.total_shared, reset, truth, false);
        check_record(out, {"shared_limit", -1, -1}, s.sw.shared_limit, before_.sw.shared_limit, truth, true);
        for (int p = 0; p < kMaxPorts; ++p) {
            const PortStats& got = s.ports[p];
            const PortStats& was = before_.ports[p];
            if (got.id != p || std::string(got.name) != "xe" + std::to_string(p))
                out.push_back("ports[" + std::to_string(p) + "] id or name changed");
            // The per-port reader resets these peaks before each dump.
            reset = was.port_shared;
            reset.current = 0;
            check_record(out, {"port_shared", p, -1}, got.port_shared, reset, truth, false);
            for (int k = 0; k < kGroups; ++k) {
                reset = was.pg_shared[k];
                reset.current = 0;
                check_record(out, {"pg", p, k}, got.pg_shared[k], reset, truth, false);
                reset = was.queue_shared[k];
                reset.current = 0;
                check_record(out, {"queue", p, k}, got.queue_shared[k], reset, truth, false);
            }
            auto counter = [&](const Item& item, uint64_t have) {
                const auto found = truth.find(item);
                const uint64_t want = found == truth.end() ? kPoison : found->second;
                if (want != have)
                    out.push_back(name_of(item) + ": want " + std::to_string(want) + ", got " + std::to_string(have));
            };
            counter({"rxpp", p, -1}, got.rxpp);
            counter({"txpp", p, -1}, got.txpp);
            counter({"ibp_drop", p, -1}, got.ibp_drop);
            for (int k = 0; k < kGroups; ++k)
                counter({"hol_drop", p, k}, got.hol_drop[k]);
        }
        if (out.size() > 20)
            out.resize(20);
        return out;
    }

    const Module& m_;
    swsim::Traffic traffic_;
    testutil::TempFile model_file_;
    ModelProfile profile_{};
    std::unique_ptr<StatsStore> store_ = std::make_unique<StatsStore>();
    StatsStore before_{};
    uint32_t thresholds_[kBuckets] = {};
    std::map<Item, Track> tracks_;
};

struct SimRun {
    const Module* module;
    swsim::Scenario scenario;
    uint64_t seed;
    int target;
};

std::string describe(const SimRun& r)
{
    return std::string("m") + swsim::model_info(r.module->sim).name + "_" + swsim::scenario_name(r.scenario) +
           "_seed" + std::to_string(r.seed) + "_target" + std::to_string(r.target);
}

void PrintTo(const SimRun& r, std::ostream* os) { *os << describe(r); }

std::string run_name(const ::testing::TestParamInfo<SimRun>& info) { return describe(info.param); }

class SimCrosscheck : public ::testing::TestWithParam<SimRun> {};

TEST_P(SimCrosscheck, EveryTruthItemLandsAndNothingElseChanges)
{
    const SimRun& r = GetParam();
    auto check = std::make_unique<Crosscheck>(*r.module, r.scenario, r.seed, r.target);
    for (int d = 0; d < kDumps; ++d) {
        if (!check->next_dump())
            break;
    }
    if (r.scenario != swsim::Scenario::Incast)
        return;
    // The incast target really reached the full buffer, which no bucket counts.
    const Track& shared = check->track(Item{"port_shared", r.target, -1});
    EXPECT_EQ(shared.max, check->scale());
    uint32_t hits = 0;
    for (uint32_t h : shared.hits)
        hits += h;
    EXPECT_LT(hits, static_cast<uint32_t>(kDumps));
}

INSTANTIATE_TEST_SUITE_P(
    Modules, SimCrosscheck,
    ::testing::Values(SimRun{&kModule42, swsim::Scenario::Idle, 1, 0}, SimRun{&kModule42, swsim::Scenario::Steady, 2, 0},
                      SimRun{&kModule42, swsim::Scenario::Incast, 3, 0}, SimRun{&kModule42, swsim::Scenario::Incast, 4, 41},
                      SimRun{&kModule24, swsim::Scenario::Idle, 1, 0}, SimRun{&kModule24, swsim::Scenario::Steady, 2, 0},
                      SimRun{&kModule24, swsim::Scenario::Incast, 3, 0}, SimRun{&kModule24, swsim::Scenario::Incast, 4, 23},
                      SimRun{&kModule30, swsim::Scenario::Idle, 1, 0}, SimRun{&kModule30, swsim::Scenario::Steady, 2, 0},
                      SimRun{&kModule30, swsim::Scenario::Incast, 3, 12}, SimRun{&kModule30, swsim::Scenario::Incast, 4, 29}),
    run_name);

}  // namespace

#endif  // CELLSCOPE_HAVE_SIM
