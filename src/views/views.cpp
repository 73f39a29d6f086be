// The view table and the summary view (view 0).
#include "views/views.h"

#include <iterator>

#include "views/terminal.h"

namespace cellscope {

namespace {

constexpr View kViews[] = {
    {"STAT_VIEW_SUMMARY", render_summary, 0},
    {"STAT_VIEW_PG_SUMMARY", render_pg_summary, 0},
    {"STAT_VIEW_Q_SHARED_MEM_SUMMARY", render_queue_summary, 0},
    {"STAT_VIEW_PKT_DROPPED_COUNT_SUMMARY", render_drop_summary, 0},
    {"STAT_VIEW_TOTAL_SHARED_MEM", render_total_histogram, 0},
    {"STAT_VIEW_PORT_SHARED_MEM", render_port_histogram, 0},
    {"STAT_VIEW_PG0_SHARED_MEM", render_pg_histogram, 0},
    {"STAT_VIEW_PG1_SHARED_MEM", render_pg_histogram, 1},
    {"STAT_VIEW_PG2_SHARED_MEM", render_pg_histogram, 2},
    {"STAT_VIEW_PG3_SHARED_MEM", render_pg_histogram, 3},
    {"STAT_VIEW_PG4_SHARED_MEM", render_pg_histogram, 4},
    {"STAT_VIEW_PG5_SHARED_MEM", render_pg_histogram, 5},
    {"STAT_VIEW_PG6_SHARED_MEM", render_pg_histogram, 6},
    {"STAT_VIEW_PG7_SHARED_MEM", render_pg_histogram, 7},
    {"STAT_VIEW_Q0_SHARED_MEM", render_queue_histogram, 0},
    {"STAT_VIEW_Q1_SHARED_MEM", render_queue_histogram, 1},
    {"STAT_VIEW_Q2_SHARED_MEM", render_queue_histogram, 2},
    {"STAT_VIEW_Q3_SHARED_MEM", render_queue_histogram, 3},
    {"STAT_VIEW_Q4_SHARED_MEM", render_queue_histogram, 4},
    {"STAT_VIEW_Q5_SHARED_MEM", render_queue_histogram, 5},
    {"STAT_VIEW_Q6_SHARED_MEM", render_queue_histogram, 6},
    {"STAT_VIEW_Q7_SHARED_MEM", render_queue_histogram, 7},
};
static_assert(std::size(kViews) == kViewCount);

}  // namespace

const View* view_at(uint32_t view)
{
    return view < kViewCount ? &kViews[view] : nullptr;
}

void render_view(const ViewContext& ctx, uint32_t view)
{
    if (const View* v = view_at(view))
        v->render(ctx, v->argument);
}

int render_all_views(const ViewContext& ctx)
{
    for (const View& v : kViews)
        v.render(ctx, v.argument);
    return 0;
}

void render_summary(const ViewContext& ctx, uint32_t)
{
    std::FILE* out = ctx.out.report;
    const SwitchStats& sw = ctx.store.sw;
    open_frame(ctx.out.screen, ctx.out.batch);
    std::fprintf(out, "Total Shared Count: %04x,", sw.total_shared.current);
    std::fprintf(out, " Max: %04x", sw.total_shared.max);
    std::fprintf(out, " Limit: %04x \n", sw.shared_limit.sample);
    close_frame(ctx.out.screen, ctx.out.batch);
}

}  // namespace cellscope
