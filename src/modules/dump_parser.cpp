#include <cstring>

#include "modules/profile.h"
#include "text/scanners.h"
#include "text/search.h"

namespace cellscope {

bool MarkerSet::matches_at(const unsigned char* text, int marker) const
{
    // Eight bytes at a time: text | case bits equals the folded marker
    // exactly where every byte matches (letters in either case).
    const int length = length_[marker];
    int k = 0;
    for (; k + 8 <= length; k += 8) {
        uint64_t got, bits, want;
        std::memcpy(&got, text + k, 8);
        std::memcpy(&bits, case_bits_[marker] + k, 8);
        std::memcpy(&want, folded_[marker] + k, 8);
        if ((got | bits) != want)
            return false;
    }
    for (; k < length; ++k) {
        if ((text[k] | case_bits_[marker][k]) != static_cast<unsigned char>(folded_[marker][k]))
            return false;
    }
    return true;
}

int MarkerSet::find(const char* line, const char** at) const
{
    // Left to right, so the first occurrence of a marker is the one found; at
    // each position only the markers that precede the best one found so far
    // are still of interest, and the first marker ends the search.
    const unsigned char* text = reinterpret_cast<const unsigned char*>(line);
    const size_t length = std::strlen(line);
    unsigned wanted = (1U << count_) - 1U;
    int best = count_;
    for (size_t pos = 0; pos + window_ <= length;) {
        const uint8_t skip = shift_[text[pos + window_ - 1]];
        if (skip != 0) {
            pos += skip;
            continue;
        }
        unsigned starting = first_[text[pos]] & second_[text[pos + 1]] & wanted;
        size_t advance = 1;
        while (starting != 0) {
            const int i = __builtin_ctz(starting);
            starting &= starting - 1U;
            if (pos + length_[i] <= length && matches_at(text + pos, i)) {
                best = i;
                *at = line + pos;
                wanted = (1U << i) - 1U;
                advance = resume_[i];
                break;
            }
        }
        if (wanted == 0)
            break;
        pos += advance;
    }
    return best;
}

namespace {

// A dump is read in pieces of at most 255 characters; a longer line is
// handled piece by piece, each as a line of its own.
constexpr int kDumpLineSize = 256;

// Where a line's value goes.
struct Place {
    uint32_t slot;
    uint32_t group;
};

// The "xe" number, when the store has that slot; above 41 the line is skipped.
int scan_slot(const char* line, uint32_t* slot)
{
    uint32_t port = 0;
    if (scan_port_number(line, &port) != 0 || port >= static_cast<uint32_t>(kMaxPorts))
        return -1;
    *slot = port;
    return 0;
}

// Slot and group of a flat counter index; false when the layout puts no
// kept counter there (no run, no slot, or a group the field does not keep).
bool decode_index(const Layout& layout, uint32_t index, int groups, Place& place)
{
    for (int s = 0; s < layout.count; ++s) {
        const Segment& run = layout.segments[s];
        if (index < static_cast<uint32_t>(run.first) || index >= static_cast<uint32_t>(run.end()))
            continue;
        const uint32_t offset = index - static_cast<uint32_t>(run.first);
        const uint32_t per_port = static_cast<uint32_t>(run.per_port);
        const int32_t slot = run.ports[offset / per_port];
        const uint32_t group = offset % per_port;
        if (slot < 0 || group >= static_cast<uint32_t>(groups))
            return false;
        place = {static_cast<uint32_t>(slot), group};
        return true;
    }
    return false;
}

// The slot (unless the line's port already gave it) and group of the line.
bool locate(const Rule& rule, const char* line, Place& place)
{
    if (rule.port == Port::Named && scan_slot(line, &place.slot) != 0)
        return false;
    uint32_t index = 0;
    switch (rule.index) {
    case Index::None:
        return true;
    case Index::Paren:
        if (scan_paren_index(line, &index) != 0 || index >= static_cast<uint32_t>(kGroups))
            return false;
        place.group = index;
        return true;
    case Index::Bracket:
        return scan_bracket_index(line, &index) == 0 &&
               decode_index(*rule.layout, index, group_count(rule.field), place);
    }
    return false;
}

UsageRecord& usage_record(StatsStore& store, Field field, const Place& place)
{
    PortStats& port = store.ports[place.slot];
    switch (field) {
    case Field::TotalShared:
        return store.sw.total_shared;
    case Field::SharedLimit:
        return store.sw.shared_limit;
    case Field::PgShared:
        return port.pg_shared[place.group];
    case Field::QueueShared:
        return port.queue_shared[place.group];
    default:
        return port.port_shared;
    }
}

uint64_t& counter(StatsStore& store, Field field, const Place& place)
{
    PortStats& port = store.ports[place.slot];
    switch (field) {
    case Field::Rxpp:
        return port.rxpp;
    case Field::Txpp:
        return port.txpp;
    case Field::HolDrop:
        return port.hol_drop[place.group];
    default:
        return port.ibp_drop;
    }
}

// A counter is read before its slot is looked for, a usage value after.
// The key's length comes with the rule, so its search is the only one.
void apply_rule(const Rule& rule, size_t key_length, const char* line, const char* value_text, Place place,
                StatsStore& store)
{
    if (is_counter(rule.field)) {
        const char* key = find_nocase(value_text, rule.key);
        uint64_t count = 0;
        if (key != nullptr && convert_counter64(key + key_length, &count) == 0 && locate(rule, line, place))
            counter(store, rule.field, place) = count;
        return;
    }
    if (!locate(rule, line, place))
        return;
    const char* key = find_nocase(value_text, rule.key);
    uint32_t value = 0;
    if (key != nullptr && convert_value32(key + key_length, &value) == 0)
        record_value(usage_record(store, rule.field, place),
                     rule.scale == Scale::Cells ? value : (value >> 15) & 0x7FFFU);
}

}  // namespace

void parse_dump(std::FILE* stream, StatsStore& store, const DumpFormat& format)
{
    char text[kDumpLineSize];
    while (std::fgets(text, sizeof text, stream) != nullptr) {
        const char* marker = nullptr;
        const int r = format.markers.find(text, &marker);
        // Finding the marker has no effect of its own, so scanning the port
        // after it is the same as scanning before the markers are tested.
        Place place{0, 0};
        if (r >= format.line_port_from && scan_slot(text, &place.slot) != 0)
            continue;
        if (r == format.count)
            continue;
        apply_rule(format.rules[r], format.key_length[r], text, marker + format.key_start[r], place, store);
    }
}

bool module_reports(const ModelProfile& profile, Field field, int32_t slot, int group)
{
    if (slot < 0 || slot >= profile.port_count || group < 0 || group >= group_count(field))
        return false;
    for (const DumpFormat* format : {&profile.parse_global, &profile.parse_port, &profile.parse_pg}) {
        for (int r = 0; r < format->count; ++r) {
            const Rule& rule = format->rules[r];
            if (rule.field != field)
                continue;
            if (rule.index != Index::Bracket)
                return true;
            const Layout& layout = *rule.layout;
            for (int s = 0; s < layout.count; ++s) {
                const Segment& run = layout.segments[s];
                for (const int32_t port : run.ports) {
                    if (port == slot && group < run.per_port)
                        return true;
                }
            }
        }
    }
    return false;
}

}  // namespace cellscope
