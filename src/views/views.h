// The 22 statistics views, their frame and the line-erase text.
#pragma once

#include <cstdint>

#include "main/monitor_state.h"
#include "models/profile.h"
#include "store/store.h"

namespace cellscope {

enum StatView : uint32_t {
    STAT_VIEW_SUMMARY = 0,
    STAT_VIEW_PG_SUMMARY,
    STAT_VIEW_Q_SHARED_MEM_SUMMARY,
    STAT_VIEW_PKT_DROPPED_COUNT_SUMMARY,
    STAT_VIEW_TOTAL_SHARED_MEM,
    STAT_VIEW_PORT_SHARED_MEM,
    STAT_VIEW_PG0_SHARED_MEM,
    STAT_VIEW_PG1_SHARED_MEM,
    STAT_VIEW_PG2_SHARED_MEM,
    STAT_VIEW_PG3_SHARED_MEM,
    STAT_VIEW_PG4_SHARED_MEM,
    STAT_VIEW_PG5_SHARED_MEM,
    STAT_VIEW_PG6_SHARED_MEM,
    STAT_VIEW_PG7_SHARED_MEM,
    STAT_VIEW_Q0_SHARED_MEM,
    STAT_VIEW_Q1_SHARED_MEM,
    STAT_VIEW_Q2_SHARED_MEM,
    STAT_VIEW_Q3_SHARED_MEM,
    STAT_VIEW_Q4_SHARED_MEM,
    STAT_VIEW_Q5_SHARED_MEM,
    STAT_VIEW_Q6_SHARED_MEM,
    STAT_VIEW_Q7_SHARED_MEM,
};

inline constexpr uint32_t kViewCount = 22;

// Names of the views, in view order (also listed by the usage text).
extern const char* const view_names[kViewCount];

// Everything a renderer reads.
struct ViewContext {
    const MonitorState& state;
    const StatsStore& store;
    const ModelProfile& profile;
};

// Text a view writes where a line is to be cleared: "\033[K" in interactive
// mode, "" in batch mode.
const char* line_erase(const MonitorState& state);

void render_view(const ViewContext& ctx, uint32_t view);  // above 21: nothing
int render_all_views(const ViewContext& ctx);             // views 0 to 21; 0

void render_summary(const ViewContext& ctx);
void render_pg_summary(const ViewContext& ctx);
void render_queue_summary(const ViewContext& ctx);
void render_drop_summary(const ViewContext& ctx);
void render_total_histogram(const ViewContext& ctx);
void render_port_histogram(const ViewContext& ctx);
void render_pg_histogram(const ViewContext& ctx, uint32_t pg);        // pg above 7: nothing
void render_queue_histogram(const ViewContext& ctx, uint32_t queue);  // queue above 7: nothing
void print_histogram_row(const ViewContext& ctx, int32_t slot, const UsageRecord& record);

}  // namespace cellscope
