#include "traffic.h"

#include <algorithm>
#include <cstddef>

namespace swsim {

std::optional<Scenario> parse_scenario(std::string_view text)
{
    if (text == "idle")
        return Scenario::Idle;
    if (text == "steady")
        return Scenario::Steady;
    if (text == "incast")
        return Scenario::Incast;
    if (text == "replay")
        return Scenario::Replay;
    return std::nullopt;
}

const char* scenario_name(Scenario s)
{
    switch (s) {
    case Scenario::Idle:
        return "idle";
    case Scenario::Steady:
        return "steady";
    case Scenario::Incast:
        return "incast";
    case Scenario::Replay:
        return "replay";
    }
    return "?";
}

uint64_t Rng::next()
{
    uint64_t z = (state_ += 0x9e3779b97f4a7c15ULL);
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
    return z ^ (z >> 31);
}

uint64_t mix(uint64_t a, uint64_t b, uint64_t c, uint64_t d)
{
    Rng r(a * 0x100000001b3ULL ^ (b + 0x632be59bd9b4e019ULL));
    uint64_t v = r.next() ^ c;
    Rng r2(v + d * 0x9e3779b97f4a7c15ULL);
    return r2.next();
}

Traffic::Traffic(Model model, Scenario scenario, uint64_t seed, int target, uint64_t counter_base)
    : scenario_(scenario),
      info_(model_info(model)),
      ports_(static_cast<std::size_t>(info_.port_count)),
      rng_(mix(seed, static_cast<uint64_t>(model), static_cast<uint64_t>(scenario))),
      target_(target >= 0 && target < info_.port_count ? static_cast<std::size_t>(target) : 0)
{
    snap_.model = model;
    snap_.noise_seed = mix(seed, 0x5eed);
    snap_.counter_base = counter_base;
    snap_.shared_limit = info_.cell_scale - info_.cell_scale / 8;

    for (std::size_t p = 0; p < ports_; ++p) {
        load_pct_[p] = 30 + static_cast<uint32_t>(rng_.below(71));
        for (std::size_t k = 0; k < kGroups; ++k) {
            // Group/queue 0 always carries traffic, others now and then.
            pg_w_[p][k] = (k == 0 || rng_.below(10) < 4) ? 10 + static_cast<uint32_t>(rng_.below(91)) : 0;
            q_w_[p][k] = (k == 0 || rng_.below(10) < 4) ? 10 + static_cast<uint32_t>(rng_.below(91)) : 0;
        }
        PortState& ps = snap_.ports[p];
        if (scenario_ == Scenario::Idle) {
            ps.rxpp = rng_.below(100000);
            ps.txpp = rng_.below(100000);
        } else {
            // A switch that has been up for a while: counters spread from
            // small to well beyond 32 bits.
            ps.rxpp = rng_.below(1ULL << 40) >> rng_.below(9);
            ps.txpp = rng_.below(1ULL << 40) >> rng_.below(9);
            ps.ibp_drop = rng_.below(1000);
            for (std::size_t k = 0; k < kGroups; ++k)
                ps.hol_drop[k] = q_w_[p][k] ? rng_.below(5000) : 0;
        }
        // Added after the draws, so the base shifts the counters and nothing else.
        ps.rxpp += counter_base;
        ps.txpp += counter_base;
        ps.ibp_drop += counter_base;
        for (uint64_t& drops : ps.hol_drop)
            drops += counter_base;
    }

    if (scenario_ == Scenario::Incast) {
        class_ = static_cast<std::size_t>(rng_.below(kGroups));
        std::size_t chosen = 0;
        while (chosen < sources_.size()) {
            const auto s = static_cast<std::size_t>(rng_.below(ports_));
            const auto picked = sources_.begin() + static_cast<std::ptrdiff_t>(chosen);
            if (s == target_ || std::find(sources_.begin(), picked, s) != picked)
                continue;
            sources_[chosen++] = s;
        }
        // The congested class must carry traffic on every port involved.
        pg_w_[target_][class_] = std::max<uint32_t>(pg_w_[target_][class_], 50);
        q_w_[target_][class_] = std::max<uint32_t>(q_w_[target_][class_], 50);
    }
}

uint32_t Traffic::clamp_cells(uint64_t v) const
{
    return static_cast<uint32_t>(std::min<uint64_t>(v, info_.cell_scale));
}

// The pool admits cells up to the shared limit, in the order they arrive;
// what the port would add beyond it is refused on entry, each refused cell
// counted as one packet dropped on ingress.
uint32_t Traffic::admit(PortState& ps, uint64_t cells)
{
    const auto got = static_cast<uint32_t>(std::min<uint64_t>(cells, room_));
    room_ -= got;
    ps.ibp_drop += cells - got;
    return got;
}

void Traffic::idle_port(std::size_t slot)
{
    PortState& ps = snap_.ports[slot];
    uint64_t sum = 0;
    for (std::size_t k = 0; k < kGroups; ++k) {
        ps.pg[k] = rng_.below(10) == 0 ? 1 + static_cast<uint32_t>(rng_.below(3)) : 0;
        ps.queue[k] = rng_.below(10) == 0 ? 1 + static_cast<uint32_t>(rng_.below(3)) : 0;
        sum += ps.pg[k];
    }
    ps.port_shared = clamp_cells(sum);
    // Keep-alives and the odd control frame.
    ps.rxpp += rng_.below(3);
    ps.txpp += rng_.below(3);
}

// Moderate load: each port holds about one percent of the buffer, spread
// over its active groups and queues.
void Traffic::background(std::size_t slot, uint32_t load_scale_pct)
{
    PortState& ps = snap_.ports[slot];
    const uint64_t load = uint64_t{load_pct_[slot]} * load_scale_pct / 100;
    const uint64_t base = uint64_t{info_.cell_scale} * 8 / 1000;  // 0.8 %
    uint64_t sum = 0;
    for (std::size_t k = 0; k < kGroups; ++k) {
        uint64_t jitter = 50 + rng_.below(101);  // 50..150 %
        ps.pg[k] = admit(ps, base * load * pg_w_[slot][k] * jitter / (100 * 100 * 100));
        jitter = 50 + rng_.below(101);
        ps.queue[k] = clamp_cells(base * load * q_w_[slot][k] * jitter / (100 * 100 * 100));
        sum += ps.pg[k];
    }
    ps.port_shared = static_cast<uint32_t>(sum) + admit(ps, rng_.below(8));

    ps.rxpp += load * (150000 + rng_.below(100000)) / 100;
    ps.txpp += load * (150000 + rng_.below(100000)) / 100;
    if (rng_.below(20) == 0)
        ps.ibp_drop += 1 + rng_.below(10);
    for (std::size_t k = 0; k < kGroups; ++k)
        if (q_w_[slot][k] && rng_.below(10) == 0)
            ps.hol_drop[k] += 1 + rng_.below(50);
}

// The target's occupancy that the incast asks for over its cycle (the pool
// admits it up to the shared limit): six dumps of ramp-up (the last at the
// full buffer), twelve saturated (at or just below the full buffer), three
// draining, three quiet.
uint32_t Traffic::incast_level(uint64_t phase)
{
    const uint64_t scale = info_.cell_scale;
    if (phase < 5)
        return clamp_cells(scale * (phase + 1) / 6 - rng_.below(scale / 32));
    if (phase == 5)
        return clamp_cells(scale);
    if (phase < 18)
        return clamp_cells(rng_.below(2) ? scale : scale - rng_.below(scale / 16));
    if (phase < 21)
        return clamp_cells(scale * (21 - phase) / 4 - rng_.below(scale / 32));
    return 0;
}

// Four senders fill the target's class: the target holds the incast's level
// and each sender an eighth of it, over their background. The pool admits the
// incast up to the shared limit only; while it stands there, the target's
// queue of the class tail-drops one packet for each cell of the level it could
// not take, and what each sender receives beyond its quarter of what reaches
// the target (sent or dropped there) is refused on entry and counted as its
// ingress drops. The drops take no draw of the generator: what the pool holds
// and the packets sent and received do not depend on them.
void Traffic::incast(uint64_t phase)
{
    const uint32_t level = incast_level(phase);
    if (level == 0)
        return;
    PortState& t = snap_.ports[target_];
    // Cells the incast adds to the pool at a target level, over the background.
    const auto added = [&](uint32_t at) {
        uint64_t cells = at > t.pg[class_] ? at - t.pg[class_] : 0;
        for (std::size_t s : sources_)
            cells += at / 8 > snap_.ports[s].pg[class_] ? at / 8 - snap_.ports[s].pg[class_] : 0;
        return cells;
    };
    uint32_t admitted = 0, above = level;  // the highest level that fits lies in [admitted, above]
    while (admitted < above) {
        const uint32_t mid = above - (above - admitted) / 2;
        if (added(mid) <= room_)
            admitted = mid;
        else
            above = mid - 1;
    }
    const uint32_t refused = level - admitted;  // cells of the level the pool could not admit
    const bool full = refused > 0;
    const auto taken = static_cast<uint32_t>(added(admitted));
    // At the limit the target takes the last cells, fewer than one more step of the level adds.
    const uint32_t rest = full ? room_ - taken : 0;
    room_ -= taken + rest;
    for (std::size_t s : sources_) {
        PortState& src = snap_.ports[s];
        const uint32_t held = std::max(src.pg[class_], admitted / 8);
        src.port_shared += held - src.pg[class_];
        src.pg[class_] = held;
    }
    const uint32_t held = std::max(t.pg[class_], admitted) + rest;
    t.port_shared += held - t.pg[class_];
    t.pg[class_] = held;
    t.queue[class_] = std::max(t.queue[class_], held);

    const uint64_t sent = 1400000 + rng_.below(20000);
    t.txpp += sent;
    t.hol_drop[class_] += refused;
    for (std::size_t s : sources_) {
        const uint64_t received = 500000 + rng_.below(10000);
        snap_.ports[s].rxpp += received;
        if (full)
            snap_.ports[s].ibp_drop += received - (sent + refused) / sources_.size();
    }
}

const Snapshot& Traffic::next()
{
    ++snap_.number;
    // The pool fills anew in every dump, in the order the traffic arrives: each
    // port's background (well below the limit on its own), then the incast.
    room_ = snap_.shared_limit;
    for (std::size_t p = 0; p < ports_; ++p) {
        if (scenario_ == Scenario::Idle)
            idle_port(p);
        else
            background(p, scenario_ == Scenario::Incast ? 50 : 100);
    }
    if (scenario_ == Scenario::Incast)
        incast((snap_.number - 1) % kCycle);

    uint64_t total = 0;
    for (std::size_t p = 0; p < ports_; ++p)
        total += snap_.ports[p].port_shared;
    snap_.total_shared = clamp_cells(total);
    return snap_;
}

}  // namespace swsim
