// Histogram views: switch-wide shared count (view 4), port shared use
// (view 5), priority groups (views 6 to 13) and egress queues (views 14 to 21).
#include "views/terminal.h"
#include "views/views.h"

namespace cellscope {

namespace {

using RecordOf = const UsageRecord& (*)(const PortStats& port, uint32_t index);

const UsageRecord& port_record(const PortStats& port, uint32_t)
{
    return port.port_shared;
}
const UsageRecord& pg_record(const PortStats& port, uint32_t pg)
{
    return port.pg_shared[pg];
}
const UsageRecord& queue_record(const PortStats& port, uint32_t queue)
{
    return port.queue_shared[queue];
}

// Opens the frame; the title line (already formatted) and the line of
// bucket bounds follow.
void open_histogram(const ViewContext& ctx, const char* title)
{
    std::FILE* out = ctx.out.report;
    open_frame(ctx.out.screen, ctx.out.batch);
    std::fputs(title, out);
    for (const uint32_t percent : bucket_percent)
        std::fprintf(out, " %7d%%", static_cast<int>(percent));
    std::fprintf(out, "%s\n", line_erase(ctx.out.batch));
}

void write_hits(std::FILE* out, const UsageRecord& record)
{
    for (const UsageBucket& bucket : record.buckets)
        std::fprintf(out, " %08x", bucket.hits);
}

// One row per shown slot: erase, name, the ten hit counts, label.
void render_slot_histogram(const ViewContext& ctx, const char* title, RecordOf record_of, uint32_t index)
{
    std::FILE* out = ctx.out.report;
    open_histogram(ctx, title);
    for (int32_t slot = 0; slot < ctx.profile.port_count; ++slot) {
        const PortStats& port = ctx.store.ports[slot];
        std::fputs(line_erase(ctx.out.batch), out);
        std::fprintf(out, "%s ", port.name);
        write_hits(out, record_of(port, index));
        std::fprintf(out, " %s\n", ctx.profile.port_labels[static_cast<size_t>(slot)]);
    }
    close_frame(ctx.out.screen, ctx.out.batch);
}

}  // namespace

void render_total_histogram(const ViewContext& ctx, uint32_t)
{
    std::FILE* out = ctx.out.report;
    open_histogram(ctx, "Total shared memory usage:\n");
    std::fputs(line_erase(ctx.out.batch), out);
    write_hits(out, ctx.store.sw.total_shared);
    std::fputc('\n', out);
    close_frame(ctx.out.screen, ctx.out.batch);
}

void render_port_histogram(const ViewContext& ctx, uint32_t)
{
    render_slot_histogram(ctx, "Port shared memory usage:\n", port_record, 0);
}

void render_pg_histogram(const ViewContext& ctx, uint32_t pg)
{
    char title[40];
    std::snprintf(title, sizeof title, "PG%d shared memory usage:\n", static_cast<int>(pg));
    render_slot_histogram(ctx, title, pg_record, pg);
}

void render_queue_histogram(const ViewContext& ctx, uint32_t queue)
{
    char title[40];
    std::snprintf(title, sizeof title, "Egress Q%d shared memory usage:\n", static_cast<int>(queue));
    render_slot_histogram(ctx, title, queue_record, queue);
}

}  // namespace cellscope
