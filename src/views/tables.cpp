// Per-port table views: priority-group use (view 1), queue use (view 2) and
// drop and packet counters (view 3).
#include "views/terminal.h"
#include "views/views.h"

namespace cellscope {

namespace {

using RowWriter = void (*)(std::FILE* out, const PortStats& port, const char* label);

// Frame, header line (a blank and the line-erase text after it) and one row
// per shown slot.
void render_port_table(const ViewContext& ctx, const char* header, RowWriter write_row)
{
    std::FILE* out = ctx.out.report;
    open_frame(ctx.out.screen, ctx.out.batch);
    std::fprintf(out, "%s %s\n", header, line_erase(ctx.out.batch));
    for (int32_t slot = 0; slot < ctx.profile.port_count; ++slot)
        write_row(out, ctx.store.ports[slot], ctx.profile.port_labels[static_cast<size_t>(slot)]);
    close_frame(ctx.out.screen, ctx.out.batch);
}

// Counters show their low 32 bits only, the same on 32- and 64-bit hosts.
unsigned long low32(uint64_t counter)
{
    return static_cast<unsigned long>(static_cast<uint32_t>(counter));
}

void write_pg_row(std::FILE* out, const PortStats& p, const char* label)
{
    const UsageRecord* g = p.pg_shared;
    std::fprintf(out,
                 "%02d  %04x %04x %04x %04x  %04x %04x  %04x %04x  %04x %04x  %04x %04x  %04x %04x"
                 "  %04x %04x  %04x %04x  %s\n",
                 p.id, p.port_shared.current, p.port_shared.max, g[0].current, g[0].max, g[1].current, g[1].max,
                 g[2].current, g[2].max, g[3].current, g[3].max, g[4].current, g[4].max, g[5].current, g[5].max,
                 g[6].current, g[6].max, g[7].current, g[7].max, label);
}

void write_queue_row(std::FILE* out, const PortStats& p, const char* label)
{
    const UsageRecord* q = p.queue_shared;
    std::fprintf(out,
                 "%02d  %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x %04x"
                 " %04x %04x %04x %04x %s\n",
                 p.id, p.port_shared.current, p.port_shared.max, q[0].current, q[0].max, q[1].current, q[1].max,
                 q[2].current, q[2].max, q[3].current, q[3].max, q[4].current, q[4].max, q[5].current, q[5].max,
                 q[6].current, q[6].max, q[7].current, q[7].max, label);
}

void write_drop_row(std::FILE* out, const PortStats& p, const char* label)
{
    const uint64_t* h = p.hol_drop;
    std::fprintf(out, "%02d  %08lx %08lx %08lx %08lx %08lx %08lx %08lx %08lx %08lx %08lx %08lx %s\n", p.id,
                 low32(p.ibp_drop), low32(h[0]), low32(h[1]), low32(h[2]), low32(h[3]), low32(h[4]), low32(h[5]),
                 low32(h[6]), low32(h[7]), low32(p.txpp), low32(p.rxpp), label);
}

}  // namespace

void render_pg_summary(const ViewContext& ctx, uint32_t)
{
    render_port_table(ctx,
                      "PID PShr PSMx PG0S PG0SM PG1S PG1SM PG2S PG2SM PG3S PG3SM PG4S PG4SM PG5S PG5SM"
                      " PG6S PG6SM PG7S PG7SM Port Name",
                      write_pg_row);
}

void render_queue_summary(const ViewContext& ctx, uint32_t)
{
    render_port_table(ctx,
                      "PID PShr PSMx Q0SZ Q0SM Q1SZ Q1SM Q2SZ Q2SM Q3SZ Q3SM Q4SZ Q4SM Q5SZ Q5SM"
                      " Q6SZ Q6SM Q7SZ Q7SM  Port Name",
                      write_queue_row);
}

void render_drop_summary(const ViewContext& ctx, uint32_t)
{
    render_port_table(ctx,
                      "PID ibpdrop  holdrp0  holdrp1  holdrp2  holdrp3  holdrp4  holdrp5  holdrp6"
                      "  holdrp7  txpp     rxpp   Port Name",
                      write_drop_row);
}

}  // namespace cellscope
