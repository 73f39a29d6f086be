// View frame, line-erase text, view dispatch and the summary view (view 0).
#include <cstdio>

#include "views/view_frame.h"
#include "views/views.h"

namespace cellscope {

const char* line_erase(const MonitorState& state)
{
    return state.batch ? "" : "\033[K";
}

// The frame sequences always go to standard output, whatever the report
// stream is, so a report file never holds cursor movements.
void view_frame_open(const ViewContext& ctx)
{
    if (ctx.state.batch == 0) {
        std::printf("\033[H");
        std::printf("\033[K");
    }
}

void view_frame_close(const ViewContext& ctx)
{
    if (ctx.state.batch == 0)
        std::printf("\033[H");
}

void render_summary(const ViewContext& ctx)
{
    std::FILE* out = ctx.state.report;
    const SwitchStats& sw = ctx.store.sw;
    view_frame_open(ctx);
    std::fprintf(out, "Total Shared Count: %04x,", sw.total_shared.current);
    std::fprintf(out, " Max: %04x", sw.total_shared.max);
    std::fprintf(out, " Limit: %04x \n", sw.shared_limit.sample);
    view_frame_close(ctx);
}

void render_view(const ViewContext& ctx, uint32_t view)
{
    switch (view) {
    case STAT_VIEW_SUMMARY:
        render_summary(ctx);
        break;
    case STAT_VIEW_PG_SUMMARY:
        render_pg_summary(ctx);
        break;
    case STAT_VIEW_Q_SHARED_MEM_SUMMARY:
        render_queue_summary(ctx);
        break;
    case STAT_VIEW_PKT_DROPPED_COUNT_SUMMARY:
        render_drop_summary(ctx);
        break;
    case STAT_VIEW_TOTAL_SHARED_MEM:
        render_total_histogram(ctx);
        break;
    case STAT_VIEW_PORT_SHARED_MEM:
        render_port_histogram(ctx);
        break;
    default:
        if (view >= STAT_VIEW_PG0_SHARED_MEM && view <= STAT_VIEW_PG7_SHARED_MEM)
            render_pg_histogram(ctx, view - STAT_VIEW_PG0_SHARED_MEM);
        else if (view >= STAT_VIEW_Q0_SHARED_MEM && view <= STAT_VIEW_Q7_SHARED_MEM)
            render_queue_histogram(ctx, view - STAT_VIEW_Q0_SHARED_MEM);
        break;
    }
}

int render_all_views(const ViewContext& ctx)
{
    for (uint32_t view = 0; view < kViewCount; ++view)
        render_view(ctx, view);
    return 0;
}

}  // namespace cellscope
