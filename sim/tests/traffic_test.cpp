// The stand-in's traffic: the shared pool admits cells up to its limit and
// no further, and the incast's senders and its target's queue drop exactly
// while it stands there.
#include <gtest/gtest.h>

#include "dump_format.h"
#include "traffic.h"

namespace {

using namespace swsim;

TEST(SimTraffic, IncastFillsThePoolToItsLimitNeverBeyondAndItsSendersAndTargetQueueDropThere)
{
    for (const Model model : {Model::M42, Model::M24, Model::M30}) {
        const ModelInfo& info = model_info(model);
        SCOPED_TRACE(std::string(info.name) + "-port module");
        const int target = info.port_count - 1;
        Traffic traffic(model, Scenario::Incast, 5, target), again(model, Scenario::Incast, 5, target);
        const auto senders_drops = [&](const Snapshot& s) {
            uint64_t drops = 0;
            for (std::size_t slot : traffic.incast_sources())
                drops += s.ports[slot].ibp_drop;
            return drops;
        };
        const auto queue_drops = [&](const Snapshot& s) {
            return s.ports[traffic.incast_target()].hol_drop[traffic.incast_class()];
        };
        uint64_t dropped = senders_drops(traffic.current()), queue_dropped = queue_drops(traffic.current());
        int at_limit = 0;
        for (int d = 0; d < 2 * Traffic::kCycle; ++d) {
            const Snapshot& s = traffic.next();
            SCOPED_TRACE("dump " + std::to_string(s.number));
            EXPECT_EQ(render_truth(s), render_truth(again.next()));  // a seed gives the same dumps every time
            uint64_t total = 0;
            for (std::size_t slot = 0; slot < static_cast<std::size_t>(info.port_count); ++slot) {
                const PortState& port = s.ports[slot];
                uint64_t groups = 0;
                for (std::size_t k = 0; k < kGroups; ++k) {
                    groups += port.pg[k];
                    EXPECT_LE(port.queue[k], s.shared_limit);
                }
                EXPECT_LE(groups, port.port_shared);
                total += port.port_shared;
            }
            EXPECT_EQ(s.total_shared, total);
            ASSERT_LE(total, s.shared_limit);
            // At the limit each sender drops some hundred thousand packets a dump; below it, a few now and then.
            const uint64_t drops = senders_drops(s);
            EXPECT_EQ(drops - dropped > 1000, total == s.shared_limit);
            at_limit += total == s.shared_limit;
            dropped = drops;
            // The target's queue of the incast class tail-drops there too; below it only the background's 50 at most.
            EXPECT_EQ(queue_drops(s) - queue_dropped > 50, total == s.shared_limit);
            queue_dropped = queue_drops(s);
        }
        EXPECT_GE(at_limit, 2 * 12);  // at least the twelve saturated dumps of each cycle
    }
}

}  // namespace
