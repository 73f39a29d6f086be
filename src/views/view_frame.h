// The frame every view draws in, and the range of port slots a view shows.
#pragma once

#include <cstdint>

#include "views/views.h"

namespace cellscope {

// Interactive mode: cursor home and clear the first line, on standard output.
void view_frame_open(const ViewContext& ctx);
// Interactive mode: cursor home again, on standard output (left unflushed).
void view_frame_close(const ViewContext& ctx);

// Number of slots a per-port view shows: the profile's port count, kept
// inside the store's slots.
inline int32_t shown_slots(const ViewContext& ctx)
{
    const int32_t count = ctx.profile.port_count;
    if (count < 0)
        return 0;
    return count < kMaxPorts ? count : kMaxPorts;
}

}  // namespace cellscope
