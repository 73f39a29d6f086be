#include "models/dump_reader.h"

#include <cstring>

#include "snapshot/scanners.h"

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
