// The rules by which a module's dump files fill the store, written as data.
//
// A dump file is read line by line (pieces of at most 255 characters). Each
// line is decided by the first rule, in table order, whose marker occurs in
// it (letter case ignored); a rule says which value key it reads, where the
// line's port slot and group come from, and which store field the value
// feeds. The marker search and the key start offsets are built from the
// rules at compile time, and a table that does not make sense stops the
// compilation at the function whose name says why.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "modules/marker_set.h"
#include "store/store.h"

namespace cellscope {

// The store field a rule feeds.
enum class Field : uint8_t {
    TotalShared,  // switch-wide usage records
    SharedLimit,
    PortShared,   // per-port usage records
    PgShared,     //   per priority group
    QueueShared,  //   per egress queue
    Rxpp,         // per-port counters
    Txpp,
    IbpDrop,
    HolDrop,  //   per queue
};

constexpr bool is_switch_wide(Field field)
{
    return field == Field::TotalShared || field == Field::SharedLimit;
}

// Counters are stored whole (64 bits); the other fields are usage records.
constexpr bool is_counter(Field field)
{
    return field >= Field::Rxpp;
}

// Records or counters of the field in one slot.
constexpr int group_count(Field field)
{
    return field == Field::PgShared || field == Field::QueueShared || field == Field::HolDrop ? kGroups : 1;
}

// Where a line names its port slot by the number after "xe".
enum class Port : uint8_t {
    None,   // switch-wide, or the slot comes from the counter index
    Line,   // scanned before the markers are tested: every line not decided
            // by an earlier rule needs it, lines without a marker included
    Named,  // scanned once the value has been read
};

// What the line's index says.
enum class Index : uint8_t {
    None,
    Paren,    // digits after the first "(": the group, 0 to 7
    Bracket,  // digits after the first "[": an index into a flat counter
              // array, which the rule's layout turns into slot and group
};

// How the converted value becomes the recorded one.
enum class Scale : uint8_t {
    Cells,       // as it stands
    Bits15To29,  // bits 15 to 29 of the 32-bit register value
};

// A run of a flat counter array: per_port counters for each of ports, in
// order, from index first; a port is its store slot, -1 where there is none.
struct Segment {
    int32_t first;
    int32_t per_port;
    std::span<const int32_t> ports;

    constexpr int32_t end() const { return first + per_port * static_cast<int32_t>(ports.size()); }
};

// The entries from .. to-1 of a port map.
constexpr std::span<const int32_t> ports_of(std::span<const int32_t> map, size_t from, size_t to)
{
    return map.subspan(from, to - from);
}

inline constexpr int kMaxSegments = 4;

struct Layout {
    Segment segments[kMaxSegments]{};
    int count = 0;
};

// The layout of a rule without a bracket index: no runs. (Rules point to it
// rather than to nothing, so that compile-time checks never compare an
// address with null, which not every instrumented build can evaluate.)
inline constexpr Layout kNoLayout{};

void layout_segments_overlap_or_are_empty();
void more_than_4_segments_in_a_layout();

template <size_t N>
consteval Layout layout(const Segment (&segments)[N])
{
    if (N > kMaxSegments)
        more_than_4_segments_in_a_layout();
    Layout result;
    for (size_t i = 0; i < N; ++i) {
        const Segment& s = segments[i];
        if (s.first < 0 || s.per_port < 1 || s.ports.empty())
            layout_segments_overlap_or_are_empty();
        for (size_t j = 0; j < i; ++j) {
            if (s.first < segments[j].end() && segments[j].first < s.end())
                layout_segments_overlap_or_are_empty();
        }
        result.segments[i] = s;
    }
    result.count = static_cast<int>(N);
    return result;
}

struct Rule {
    const char* marker;
    const char* key;  // the value follows it, searched from the marker on
    Field field;
    Port port = Port::None;
    Index index = Index::None;
    const Layout* layout = &kNoLayout;  // Index::Bracket
    Scale scale = Scale::Cells;
};

inline constexpr int kMaxRules = kMaxMarkers;
inline constexpr int kNoLinePort = kMaxRules + 1;

// One dump file's rules with what is built from them.
struct DumpFormat {
    Rule rules[kMaxRules]{};
    // Offset into the deciding marker at which the rule's key search starts:
    // an occurrence of the key that begins inside the marker must agree with
    // the marker's own letters, so offsets where it cannot are skipped.
    uint8_t key_start[kMaxRules]{};
    uint8_t key_length[kMaxRules]{};
    int count = 0;
    // Lines decided by this rule or a later one, and lines without a
    // marker, must name a port before anything else (kNoLinePort: none).
    int line_port_from = kNoLinePort;
    MarkerSet markers;
};

// Reasons a rule table is refused.
void switch_wide_field_with_a_port_or_index();
void per_port_field_needs_exactly_one_slot_source();
void group_field_needs_a_paren_or_bracket_index();
void paren_index_on_a_field_without_groups();
void bracket_index_needs_a_layout();
void layout_without_a_bracket_index();
void scaled_value_into_a_counter();
void line_port_rules_must_come_last();
void empty_value_key();

consteval void check_rule(const Rule& rule)
{
    if (rule.key[0] == '\0')
        empty_value_key();
    const bool named_port = rule.port != Port::None;
    const bool bracket = rule.index == Index::Bracket;
    if (is_switch_wide(rule.field)) {
        if (named_port || rule.index != Index::None)
            switch_wide_field_with_a_port_or_index();
    } else if (named_port == bracket) {
        per_port_field_needs_exactly_one_slot_source();
    }
    if (group_count(rule.field) > 1 && rule.index == Index::None)
        group_field_needs_a_paren_or_bracket_index();
    if (rule.index == Index::Paren && group_count(rule.field) == 1)
        paren_index_on_a_field_without_groups();
    if (bracket && rule.layout->count == 0)
        bracket_index_needs_a_layout();
    if (!bracket && rule.layout->count != 0)
        layout_without_a_bracket_index();
    if (rule.scale != Scale::Cells && is_counter(rule.field))
        scaled_value_into_a_counter();
}

// First offset in marker at which key could begin.
consteval int key_start(const char* marker, const char* key)
{
    char folded[kMaxMarkerLength + 1]{};
    int length = 0;
    for (; marker[length] != '\0' && length < kMaxMarkerLength; ++length)
        folded[length] = static_cast<char>(fold_ascii(static_cast<unsigned char>(marker[length])));
    int offset = 0;
    while (offset < length && !MarkerSet::fits_at(folded, length, offset, key))
        ++offset;
    return offset;
}

template <size_t N>
consteval DumpFormat dump_format(const Rule (&rules)[N])
{
    DumpFormat format;
    const char* markers[kMaxRules]{};
    for (size_t i = 0; i < N && i < kMaxRules; ++i) {
        const Rule& rule = rules[i];
        check_rule(rule);
        if (rule.port == Port::Line && format.line_port_from == kNoLinePort)
            format.line_port_from = static_cast<int>(i);
        if (rule.port != Port::Line && format.line_port_from != kNoLinePort)
            line_port_rules_must_come_last();
        format.rules[i] = rule;
        format.key_start[i] = static_cast<uint8_t>(key_start(rule.marker, rule.key));
        int length = 0;
        while (rule.key[length] != '\0')
            ++length;
        format.key_length[i] = static_cast<uint8_t>(length);
        markers[i] = rule.marker;
    }
    format.count = static_cast<int>(N);
    format.markers = MarkerSet(markers, static_cast<int>(N));
    return format;
}

}  // namespace cellscope
