// The 22 statistics views: one table of {name, renderer, argument} rows.
// A view draws inside its frame on the screen stream and writes its content
// to the report stream; it only reads the store and the module.
#pragma once

#include <cstdint>
#include <cstdio>

#include "modules/profile.h"
#include "store/store.h"

namespace cellscope {

struct ViewOutput {
    std::FILE* report;  // the content: standard output, or the file of a `w` report
    std::FILE* screen;  // the frame: the terminal (standard output)
    bool batch;         // batch mode: no control sequences at all
};

struct ViewContext {
    ViewOutput out;
    const StatsStore& store;
    const ModelProfile& profile;
};

using Renderer = void (*)(const ViewContext& ctx, uint32_t argument);

struct View {
    const char* name;
    Renderer render;
    uint32_t argument;  // the priority group or queue of a histogram
};

inline constexpr uint32_t kViewCount = 22;

// The view with this number; nullptr above 21.
const View* view_at(uint32_t view);

void render_view(const ViewContext& ctx, uint32_t view);  // above 21: nothing
int render_all_views(const ViewContext& ctx);             // views 0 to 21; 0

// The renderers the table names.
void render_summary(const ViewContext& ctx, uint32_t);
void render_pg_summary(const ViewContext& ctx, uint32_t);
void render_queue_summary(const ViewContext& ctx, uint32_t);
void render_drop_summary(const ViewContext& ctx, uint32_t);
void render_total_histogram(const ViewContext& ctx, uint32_t);
void render_port_histogram(const ViewContext& ctx, uint32_t);
void render_pg_histogram(const ViewContext& ctx, uint32_t pg);
void render_queue_histogram(const ViewContext& ctx, uint32_t queue);

}  // namespace cellscope
