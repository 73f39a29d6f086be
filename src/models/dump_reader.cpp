#include "models/dump_reader.h"

#include "snapshot/scanners.h"

namespace cellscope {

bool MarkerSet::matches_at(const unsigned char* text, int marker) const
{
    // The first two bytes already matched. A NUL in text never equals a
    // marker byte, so the comparison stops at the end of the line.
    const char* want = folded_[marker];
    for (int k = 2; k < length_[marker]; ++k) {
        if (fold_case(text[k]) != static_cast<unsigned char>(want[k]))
            return false;
    }
    return true;
}

int MarkerSet::find(const char* line, const char** at) const
{
    // One pass: at each position only the markers that precede the best one
    // found so far are still of interest; the first marker ends the search.
    unsigned wanted = (1U << count_) - 1U;
    int best = count_;
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(line); *p != '\0'; ++p) {
        unsigned starting = first_[p[0]] & wanted;
        if (starting == 0)
            continue;
        // p[0] is no NUL, so p[1] is still in the string; no marker has NUL
        // as its second byte.
        starting &= second_[p[1]];
        while (starting != 0) {
            const int i = __builtin_ctz(starting);
            starting &= starting - 1U;
            if (matches_at(p, i)) {
                best = i;
                *at = reinterpret_cast<const char*>(p);
                wanted = (1U << i) - 1U;
                break;
            }
        }
        if (wanted == 0)
            break;
    }
    return best;
}

void read_dump(std::FILE* stream, StatsStore& store, const DumpFormat& format)
{
    char text[kDumpLineSize];
    DumpContext context{store, 0};
    const int none = format.markers.size();
    while (std::fgets(text, sizeof text, stream) != nullptr) {
        DumpLine line{text, nullptr, none, 0};
        line.branch = format.markers.find(text, &line.marker);
        // Finding the marker has no effect of its own, so scanning the port
        // after it is the same as scanning before the markers are tested.
        if (line.branch >= format.port_first && scan_slot(text, &line.port) != 0)
            continue;
        if (line.branch == none)
            continue;
        format.branch(line, context);
    }
}

int scan_slot(const char* line, uint32_t* slot)
{
    uint32_t port = 0;
    if (scan_port_number(line, &port) != 0)
        return -1;
    if (port >= static_cast<uint32_t>(kMaxPorts))
        return -1;
    *slot = port;
    return 0;
}

int scan_signed_index(const char* line, int32_t* index)
{
    uint32_t raw = 0;
    if (scan_bracket_index(line, &raw) != 0)
        return -1;
    const int32_t value = static_cast<int32_t>(raw);
    if (value < 0)
        return -1;
    *index = value;
    return 0;
}

int scan_group(const char* line, uint32_t* group)
{
    uint32_t value = 0;
    if (scan_paren_index(line, &value) != 0)
        return -1;
    if (value >= static_cast<uint32_t>(kGroups))
        return -1;
    *group = value;
    return 0;
}

}  // namespace cellscope
