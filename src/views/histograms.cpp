// Histogram views: switch-wide shared count (view 4), port shared use
// (view 5), priority groups (views 6 to 13) and egress queues (views 14 to 21).
#include <cstdarg>
#include <cstdio>

#include "views/view_frame.h"
#include "views/views.h"

namespace cellscope {

namespace {

using RecordOf = const UsageRecord& (*)(const PortStats& port, uint32_t index);

const UsageRecord& port_record(const PortStats& port, uint32_t) { return port.port_shared; }
const UsageRecord& pg_record(const PortStats& port, uint32_t pg) { return port.pg_shared[pg]; }
const UsageRecord& queue_record(const PortStats& port, uint32_t queue) { return port.queue_shared[queue]; }

// Opens the frame and writes the title line and the line of bucket bounds.
void open_histogram(const ViewContext& ctx, const char* title_format, std::va_list args)
{
    std::FILE* out = ctx.state.report;
    view_frame_open(ctx);
    std::vfprintf(out, title_format, args);
    for (int k = 0; k < kBuckets; ++k)
        std::fprintf(out, " %7d%%", static_cast<int>(bucket_percent[k]));
    std::fprintf(out, "%s\n", line_erase(ctx.state));
}

void write_hits(std::FILE* out, const UsageRecord& record)
{
    for (int k = 0; k < kBuckets; ++k)
        std::fprintf(out, " %08x", record.buckets[k].hits);
}

// A histogram with one row per shown slot, from record_of(slot, index).
__attribute__((format(printf, 4, 5)))
void render_slot_histogram(const ViewContext& ctx, RecordOf record_of, uint32_t index,
                           const char* title_format, ...)
{
    std::va_list args;
    va_start(args, title_format);
    open_histogram(ctx, title_format, args);
    va_end(args);
    const int32_t slots = shown_slots(ctx);
    for (int32_t slot = 0; slot < slots; ++slot)
        print_histogram_row(ctx, slot, record_of(ctx.store.ports[slot], index));
    view_frame_close(ctx);
}

__attribute__((format(printf, 2, 3)))
void open_total_histogram(const ViewContext& ctx, const char* title_format, ...)
{
    std::va_list args;
    va_start(args, title_format);
    open_histogram(ctx, title_format, args);
    va_end(args);
}

}  // namespace

void print_histogram_row(const ViewContext& ctx, int32_t slot, const UsageRecord& record)
{
    if (slot < 0 || slot >= kMaxPorts)
        return;
    std::FILE* out = ctx.state.report;
    std::fputs(line_erase(ctx.state), out);
    std::fprintf(out, "%s ", ctx.store.ports[slot].name);
    write_hits(out, record);
    std::fprintf(out, " %s\n", ctx.profile.port_labels[slot]);
}

void render_total_histogram(const ViewContext& ctx)
{
    std::FILE* out = ctx.state.report;
    open_total_histogram(ctx, "%s\n", "Total shared memory usage:");
    std::fputs(line_erase(ctx.state), out);
    write_hits(out, ctx.store.sw.total_shared);
    std::fputc('\n', out);
    view_frame_close(ctx);
}

void render_port_histogram(const ViewContext& ctx)
{
    render_slot_histogram(ctx, port_record, 0, "%s\n", "Port shared memory usage:");
}

void render_pg_histogram(const ViewContext& ctx, uint32_t pg)
{
    if (pg >= static_cast<uint32_t>(kGroups))
        return;
    render_slot_histogram(ctx, pg_record, pg, "PG%d shared memory usage:\n", static_cast<int>(pg));
}

void render_queue_histogram(const ViewContext& ctx, uint32_t queue)
{
    if (queue >= static_cast<uint32_t>(kGroups))
        return;
    render_slot_histogram(ctx, queue_record, queue, "Egress Q%d shared memory usage:\n",
                          static_cast<int>(queue));
}

}  // namespace cellscope
