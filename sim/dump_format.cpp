#include "dump_format.h"

#include <cinttypes>
#include <cstdarg>
#include <cstddef>
#include <cstdio>

namespace swsim {

namespace {

void add(std::string& out, const char* fmt, ...) __attribute__((format(printf, 2, 3)));

void add(std::string& out, const char* fmt, ...)
{
    char line[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(line, sizeof line, fmt, ap);
    va_end(ap);
    // Lines are built well below the monitor's 255-character read limit;
    // anything longer would be a bug here, so cut rather than overrun.
    if (n < 0)
        return;
    out.append(line, static_cast<size_t>(n) < sizeof line ? static_cast<size_t>(n) : sizeof line - 1);
}

// Register fields as a register dump shows them: 0, or hexadecimal with 0x.
struct Hex {
    char text[24];
    explicit Hex(uint64_t v)
    {
        if (v == 0)
            std::snprintf(text, sizeof text, "0");
        else
            std::snprintf(text, sizeof text, "0x%" PRIx64, v);
    }
};

struct Dec {
    char text[24];
    explicit Dec(uint64_t v) { std::snprintf(text, sizeof text, "%" PRIu64, v); }
};

// Values the monitor does not read: minimum-guarantee use, other service
// pools, multicast and CPU queue drops. Derived from the dump number so
// counters among them still only grow.
uint32_t small_noise(const Snapshot& s, uint64_t tag, uint64_t index, uint32_t bound)
{
    return static_cast<uint32_t>(mix(s.noise_seed, s.number, tag, index) % bound);
}

uint64_t extra_counter(const Snapshot& s, uint64_t tag, uint64_t index)
{
    return s.counter_base + mix(s.noise_seed, tag, index) % 5000 + s.number * (mix(s.noise_seed, tag + 1, index) % 40);
}

// The port at a slot given as an int (a port map entry, never -1 here).
const PortState& port_at(const Snapshot& s, int slot)
{
    return s.ports[static_cast<std::size_t>(slot)];
}

void header(std::string& out, const Snapshot& s, const char* what)
{
    add(out, "# swfabric shared buffer dump %" PRIu64 ", module %s, unit 0, %s\n", s.number, model_info(s.model).name,
        what);
}

// ---- 42-port module -----------------------------------------------------

void global_42(std::string& out, const Snapshot& s)
{
    add(out, "THDI_BUFFER_CELL_LIMIT_SP.mmu0[0]: <LIMIT=%s,RESUME_LIMIT=%s>\n", Hex(s.shared_limit).text,
        Hex(s.shared_limit - 256).text);
    add(out, "MMU_THDM_DB_POOL_SHARED_COUNT.mmu0[0]: <COUNT=%s>\n", Hex(s.total_shared).text);
}

void pg_42(std::string& out, const Snapshot& s)
{
    for (std::size_t p = 0; p < kXPipePorts; ++p)
        for (std::size_t k = 0; k < kGroups; ++k) {
            const std::size_t idx = kGroups * p + k;
            add(out, "THDI_PORT_PG_CNTRS_RT1_X.ipipe0[%zu]: <PG_SHARED_COUNT=%s,PG_MIN_COUNT=%s>\n", idx,
                Hex(port_at(s, xpipe_port_map[p]).pg[k]).text, Hex(small_noise(s, 1, idx, 9)).text);
        }
    for (std::size_t p = 0; p < kYPipePorts; ++p)
        for (std::size_t k = 0; k < kGroups; ++k) {
            const std::size_t idx = kGroups * p + k;
            add(out, "THDI_PORT_PG_CNTRS_RT1_Y.ipipe1[%zu]: <PG_SHARED_COUNT=%s,PG_MIN_COUNT=%s>\n", idx,
                Hex(port_at(s, ypipe_port_map[p]).pg[k]).text, Hex(small_noise(s, 2, idx, 9)).text);
        }
}

void port_42(std::string& out, const Snapshot& s)
{
    for (std::size_t slot = 0; slot < 42; ++slot)
        add(out, "RXPP.xe%zu: COUNT=%s\n", slot, Hex(s.ports[slot].rxpp).text);
    for (std::size_t slot = 0; slot < 42; ++slot)
        add(out, "TXPP.xe%zu: COUNT=%s\n", slot, Hex(s.ports[slot].txpp).text);

    // Four service pools per pipe port; the monitor reads pool 0.
    for (std::size_t p = 0; p < kXPipePorts; ++p)
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t idx = 4 * p + k;
            uint32_t v = k == 0 ? port_at(s, xpipe_port_map[p]).port_shared : small_noise(s, 3, idx, 16);
            add(out, "THDI_PORT_SP_CNTRS_RT_X.ipipe0[%zu]: <PORT_SP_SHARED_COUNT=%s,PORT_SP_MIN_COUNT=0>\n", idx,
                Hex(v).text);
        }
    for (std::size_t p = 0; p < kYPipePorts; ++p)
        for (std::size_t k = 0; k < 4; ++k) {
            const std::size_t idx = 4 * p + k;
            uint32_t v = k == 0 ? port_at(s, ypipe_port_map[p]).port_shared : small_noise(s, 4, idx, 16);
            add(out, "THDI_PORT_SP_CNTRS_RT_Y.ipipe1[%zu]: <PORT_SP_SHARED_COUNT=%s,PORT_SP_MIN_COUNT=0>\n", idx,
                Hex(v).text);
        }

    // One array for both pipelines: X at 0.., Y at 64..; 17 to 63 unused.
    for (std::size_t idx = 0; idx <= 88; ++idx) {
        uint64_t v = 0;
        if (idx < kXPipePorts)
            v = port_at(s, xpipe_port_map[idx]).ibp_drop;
        else if (idx >= 64)
            v = port_at(s, ypipe_port_map[idx - 64]).ibp_drop;
        add(out, "CTR_ING_DROP.ipipe0[%zu]: <PKTCNT=%s>\n", idx, Hex(v).text);
    }

    // Unicast drops per queue; queues above 7 are multicast and CPU queues.
    auto uc = [&](int idx, int slot, int q) {
        const auto queue = static_cast<std::size_t>(q);
        uint64_t v =
            queue < kGroups ? port_at(s, slot).hol_drop[queue] : extra_counter(s, 5, static_cast<uint64_t>(idx));
        add(out, "CTR_UC_DROP.mmu0[%d]: <PKTCNT=%s>\n", idx, Hex(v).text);
    };
    for (int p = 0; p < kXPipePorts; ++p)
        for (int q = 0; q < uc_drop_queues_x(p); ++q)
            uc(uc_drop_index_x(p, q), xpipe_port_map[p], q);
    for (int p = 0; p < kYPipePorts; ++p)
        for (int q = 0; q < uc_drop_queues_y(p); ++q)
            uc(uc_drop_index_y(p, q), ypipe_port_map[p], q);
}

// ---- 24-port module -----------------------------------------------------

void global_24(std::string& out, const Snapshot& s)
{
    add(out, "TOTAL_SHARED_COUNT.mmu0: <TOTAL_SHARED_COUNT=%s>\n", Hex(s.total_shared).text);
    add(out, "TOTAL_SHARED_LIMIT.mmu0: <TOTAL_SHARED_LIMIT=%s>\n", Hex(s.shared_limit).text);
}

void pg_24(std::string& out, const Snapshot& s)
{
    for (std::size_t slot = 0; slot < 24; ++slot)
        for (std::size_t k = 0; k < kGroups; ++k)
            add(out, "PG_SHARED_COUNT(%zu).xe%zu: <PG_SHARED_COUNT=%s,PG_MIN_COUNT=%s>\n", k, slot,
                Hex(s.ports[slot].pg[k]).text, Hex(small_noise(s, 6, slot * 8 + k, 9)).text);
}

void port_24(std::string& out, const Snapshot& s)
{
    for (std::size_t slot = 0; slot < 24; ++slot) {
        const PortState& ps = s.ports[slot];
        add(out, "IRXPP.xe%zu: COUNT=%s\n", slot, Dec(ps.rxpp).text);
        add(out, "ITXPP.xe%zu: COUNT=%s\n", slot, Dec(ps.txpp).text);
        add(out, "PORT_SHARED_COUNT.xe%zu: <PORT_SHARED_COUNT=%s,PORT_MIN_COUNT=0>\n", slot, Hex(ps.port_shared).text);
        // Queue size in cells sits in bits 15..29, a running fraction below.
        for (std::size_t q = 0; q < kGroups; ++q) {
            uint32_t raw = (ps.queue[q] << 15) | small_noise(s, 7, slot * 8 + q, 0x8000);
            add(out, "WREDAVGQSIZE_CELL(%zu).xe%zu: <AVGQSIZE_CELL=%s>\n", q, slot, Hex(raw).text);
        }
        add(out, "IBP_DROP_PKT_CNT.xe%zu: COUNT=%s\n", slot, Dec(ps.ibp_drop).text);
        for (std::size_t q = 0; q < kGroups; ++q)
            add(out, "HOLDROP_PKT_CNT(%zu).xe%zu: COUNT=%s\n", q, slot, Dec(ps.hol_drop[q]).text);
    }
}

// ---- 30-port module -----------------------------------------------------

void global_30(std::string& out, const Snapshot& s)
{
    add(out, "TOTAL_BUFFER_COUNT_CELL_SP.mmu0[0]: <TOTAL_BUFFER_COUNT=%s>\n", Hex(s.total_shared).text);
    add(out, "OP_BUFFER_SHARED_LIMIT_CELL.mmu0: <OP_BUFFER_SHARED_LIMIT_CELL=%s>\n", Hex(s.shared_limit).text);
}

void pg_30(std::string& out, const Snapshot& s)
{
    for (std::size_t slot = 0; slot < 30; ++slot)
        for (std::size_t k = 0; k < kGroups; ++k)
            add(out, "PG_SHARED_COUNT_CELL(%zu).xe%zu: <PG_SHARED_COUNT=%s,PG_MIN_COUNT=%s>\n", k, slot,
                Hex(s.ports[slot].pg[k]).text, Hex(small_noise(s, 8, slot * 8 + k, 9)).text);
}

void port_30(std::string& out, const Snapshot& s)
{
    // The flat unicast drop array over all MMU ports, ports without a
    // front-panel port and queues above 7 included, as the chip keeps it.
    for (int m = 0; m < kMmuPorts; ++m)
        for (int q = 0; q < uc_drop_queues_mmu(m); ++q) {
            const int idx = uc_drop_index_mmu(m, q);
            const int slot = mmu_port_map[m];
            const auto queue = static_cast<std::size_t>(q);
            uint64_t v = (slot >= 0 && queue < kGroups) ? port_at(s, slot).hol_drop[queue]
                                                        : extra_counter(s, 9, static_cast<uint64_t>(idx));
            add(out, "CTR_UC_DROP.mmu0[%d]: <PKT_CNT=%s>\n", idx, Hex(v).text);
        }
    for (std::size_t slot = 0; slot < 30; ++slot) {
        const PortState& ps = s.ports[slot];
        add(out, "RXPP.xe%zu: COUNT=%s\n", slot, Hex(ps.rxpp).text);
        add(out, "TXPP.xe%zu: COUNT=%s\n", slot, Hex(ps.txpp).text);
        add(out, "PORT_SHARED_COUNT_CELL.xe%zu: <PORT_SHARED_COUNT=%s,PORT_MIN_COUNT=0>\n", slot,
            Hex(ps.port_shared).text);
        add(out, "DROP_PKT_CNT_ING.xe%zu: COUNT=%s\n", slot, Hex(ps.ibp_drop).text);
    }
}

}  // namespace

std::string footer_line(uint64_t number)
{
    char line[64];
    std::snprintf(line, sizeof line, "# end of dump %" PRIu64 "\n", number);
    return line;
}

DumpText render_dump(const Snapshot& s)
{
    DumpText d;
    header(d.global, s, "global registers");
    header(d.port, s, "port counters");
    header(d.pg, s, "priority group counters");
    switch (s.model) {
    case Model::M42:
        global_42(d.global, s);
        port_42(d.port, s);
        pg_42(d.pg, s);
        break;
    case Model::M24:
        global_24(d.global, s);
        port_24(d.port, s);
        pg_24(d.pg, s);
        break;
    case Model::M30:
        global_30(d.global, s);
        port_30(d.port, s);
        pg_30(d.pg, s);
        break;
    }
    const std::string end = footer_line(s.number);
    d.global += end;
    d.port += end;
    d.pg += end;
    return d;
}

std::string render_truth(const Snapshot& s)
{
    std::string t;
    add(t, "dump %" PRIu64 "\n", s.number);
    add(t, "global total_shared %" PRIu32 "\n", s.total_shared);
    add(t, "global shared_limit %" PRIu32 "\n", s.shared_limit);
    const int ports = model_info(s.model).port_count;
    for (int slot = 0; slot < ports; ++slot) {
        const PortState& ps = port_at(s, slot);
        add(t, "port %d port_shared %" PRIu32 "\n", slot, ps.port_shared);
        for (std::size_t k = 0; k < kGroups; ++k)
            add(t, "port %d pg %zu %" PRIu32 "\n", slot, k, ps.pg[k]);
        if (s.model == Model::M24)
            for (std::size_t k = 0; k < kGroups; ++k)
                add(t, "port %d queue %zu %" PRIu32 "\n", slot, k, ps.queue[k]);
        add(t, "port %d rxpp %" PRIu64 "\n", slot, ps.rxpp);
        add(t, "port %d txpp %" PRIu64 "\n", slot, ps.txpp);
        add(t, "port %d ibp_drop %" PRIu64 "\n", slot, ps.ibp_drop);
        if (hol_drop_reported(s.model, slot))
            for (std::size_t k = 0; k < kGroups; ++k)
                add(t, "port %d hol_drop %zu %" PRIu64 "\n", slot, k, ps.hol_drop[k]);
    }
    add(t, "end %" PRIu64 "\n", s.number);
    return t;
}

}  // namespace swsim
