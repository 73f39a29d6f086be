// The reading loop shared by every model's dump parsers.
//
// A dump is read with fgets into a 256-byte buffer, so a line longer than
// 255 characters arrives in pieces and each piece is handled as a line of its
// own. A line is decided by the first marker of a model's table, in table
// order, that occurs anywhere in it (letter case ignored, as strcasestr); the
// model's branch function then does that marker's steps.
#pragma once

#include <cstdint>
#include <cstdio>

#include "store/store.h"

namespace cellscope {

inline constexpr int kDumpLineSize = 256;
inline constexpr int kMaxMarkers = 8;
inline constexpr int kMaxMarkerLength = 31;

// ASCII letter folding, the C locale's notion of letter case.
constexpr unsigned char fold_case(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

// A model's markers in the order they are tested, prepared at compile time:
// folded copies, lengths, and for every byte the markers that have it as
// first or second byte, so one pass over a line, comparing only where the
// first two bytes fit, finds the first marker in table order.
class MarkerSet {
public:
    template <int N>
    consteval explicit MarkerSet(const char* const (&texts)[N]) : count_(N)
    {
        static_assert(N > 0 && N <= kMaxMarkers, "marker table size");
        for (int i = 0; i < N; ++i) {
            int length = 0;
            for (; texts[i][length] != '\0'; ++length) {
                if (length == kMaxMarkerLength)
                    marker_too_long();
                folded_[i][length] = static_cast<char>(fold_case(static_cast<unsigned char>(texts[i][length])));
            }
            if (length < 2)
                marker_too_short();
            length_[i] = static_cast<uint8_t>(length);
            // Both cases of the first two bytes lead to the marker.
            add_case_pair(first_, static_cast<unsigned char>(folded_[i][0]), i);
            add_case_pair(second_, static_cast<unsigned char>(folded_[i][1]), i);
        }
    }

    int size() const { return count_; }

    // Index of the first marker, in table order, that occurs in line, with
    // its first occurrence in *at; size() and *at untouched when none does.
    int find(const char* line, const char** at) const;

private:
    // Not constexpr: reaching either stops the compile-time construction.
    static void marker_too_long();
    static void marker_too_short();

    static constexpr void add_case_pair(uint8_t (&table)[256], unsigned char folded, int marker)
    {
        table[folded] |= static_cast<uint8_t>(1U << marker);
        if (folded >= 'a' && folded <= 'z')
            table[folded - 'a' + 'A'] |= static_cast<uint8_t>(1U << marker);
    }
    bool matches_at(const unsigned char* text, int marker) const;

    int count_;
    uint8_t length_[kMaxMarkers]{};
    char folded_[kMaxMarkers][kMaxMarkerLength + 1]{};
    uint8_t first_[256]{};   // markers whose first byte this is, either case
    uint8_t second_[256]{};  // markers whose second byte this is, either case
};

// One line (or piece of a long line) as a branch sees it.
struct DumpLine {
    const char* text;    // the whole piece, for port and index scans
    const char* marker;  // first occurrence of the deciding marker, for value keys
    int branch;          // that marker's index in the table
    uint32_t port;       // store slot from "xe", when the format scans it first
};

// Working state of one parser call.
struct DumpContext {
    StatsStore& store;
    uint64_t counter;  // counter temporary: 0 at call start, kept between lines
};

using BranchFn = void (*)(const DumpLine& line, DumpContext& context);

inline constexpr int kNoPortFirst = kMaxMarkers + 1;

struct DumpFormat {
    const MarkerSet& markers;
    // Lines not decided by a marker before this index (those with no marker
    // included) must name a port: the "xe" number is scanned before these
    // markers are acted on, and a failed scan skips the line. kNoPortFirst:
    // the branches scan what they need themselves.
    int port_first;
    BranchFn branch;
};

// Reads stream to its end (or a read error), handing each decided line to
// format.branch. The stream is neither positioned nor closed.
void read_dump(std::FILE* stream, StatsStore& store, const DumpFormat& format);

// The scanners with the store's bounds added; -1 skips the line, with only
// the scanners' own messages.
// Port number from the first "xe": above 41 there is no slot, the line is skipped.
int scan_slot(const char* line, uint32_t* slot);
// Index from the first "[", as a signed 32-bit number: a negative index lies
// outside every map and array, the line is skipped.
int scan_signed_index(const char* line, int32_t* index);
// Priority group or queue from the first "(": above 7 there is no record,
// the line is skipped.
int scan_group(const char* line, uint32_t* group);

}  // namespace cellscope
