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
#include "store/text.h"

namespace cellscope {

inline constexpr int kDumpLineSize = 256;
inline constexpr int kMaxMarkers = 8;
inline constexpr int kMaxMarkerLength = 31;

// ASCII letter folding, the C locale's notion of letter case.
constexpr unsigned char fold_case(unsigned char c)
{
    return fold_ascii(c);
}

// A model's markers in the order they are tested, prepared at compile time:
// folded copies, lengths, for every byte the markers that have it as first
// or second byte, and a skip table over a window as long as the shortest
// marker (a marker cannot start where the window's last byte occurs in no
// marker's first window at that distance). One left-to-right pass over a
// line that compares only where the first two bytes fit finds the first
// marker in table order.
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
                const unsigned char folded = fold_case(static_cast<unsigned char>(texts[i][length]));
                folded_[i][length] = static_cast<char>(folded);
                // A letter matches either case: bit 5 set on both sides.
                case_bits_[i][length] = (folded >= 'a' && folded <= 'z') ? 0x20 : 0;
            }
            if (length < 2)
                marker_too_short();
            length_[i] = static_cast<uint8_t>(length);
            // Both cases of the first two bytes lead to the marker.
            add_case_pair(first_, static_cast<unsigned char>(folded_[i][0]), i);
            add_case_pair(second_, static_cast<unsigned char>(folded_[i][1]), i);
            if (length < window_)
                window_ = static_cast<uint8_t>(length);
        }
        // After marker i is found at a position, the search for the markers
        // before it resumes at the first offset inside it where one of them
        // could begin in agreement with marker i's own letters.
        for (int i = 0; i < N; ++i) {
            int offset = 1;
            for (; offset < length_[i]; ++offset) {
                bool possible = false;
                for (int j = 0; j < i && !possible; ++j) {
                    bool fits = true;
                    for (int k = 0; k < length_[j] && offset + k < length_[i]; ++k)
                        if (folded_[j][k] != folded_[i][offset + k])
                            fits = false;
                    possible = fits;
                }
                if (possible)
                    break;
            }
            resume_[i] = static_cast<uint8_t>(offset);
        }
        for (uint8_t& shift : shift_)
            shift = window_;
        for (int i = 0; i < N; ++i) {
            for (int j = 0; j < window_; ++j) {
                const unsigned char folded = static_cast<unsigned char>(folded_[i][j]);
                const uint8_t distance = static_cast<uint8_t>(window_ - 1 - j);
                if (distance < shift_[folded])
                    shift_[folded] = distance;
                if (folded >= 'a' && folded <= 'z' && distance < shift_[folded - 'a' + 'A'])
                    shift_[folded - 'a' + 'A'] = distance;
            }
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
    // Whether marker occurs at text, which has at least that many bytes left.
    bool matches_at(const unsigned char* text, int marker) const;

    int count_;
    uint8_t length_[kMaxMarkers]{};
    uint8_t resume_[kMaxMarkers]{};  // where the search goes on after marker i
    char folded_[kMaxMarkers][kMaxMarkerLength + 1]{};
    unsigned char case_bits_[kMaxMarkers][kMaxMarkerLength + 1]{};
    uint8_t first_[256]{};   // markers whose first byte this is, either case
    uint8_t second_[256]{};  // markers whose second byte this is, either case
    uint8_t window_ = kMaxMarkerLength;  // length of the shortest marker
    uint8_t shift_[256]{};   // safe advance when this byte ends the window
};

// Where a value key can first begin after each marker of a table. An
// occurrence of the key that starts inside the marker must agree with the
// marker's own letters there, so the key search may skip every offset where
// it cannot: the result is the same as searching from the marker's first
// character, without reading the marker again.
struct KeyStarts {
    uint8_t offset[kMaxMarkers]{};
};

template <int N>
consteval KeyStarts key_starts(const char* const (&markers)[N], const char* key)
{
    KeyStarts starts;
    for (int i = 0; i < N; ++i) {
        int length = 0;
        while (markers[i][length] != '\0')
            ++length;
        int offset = 0;
        for (; offset < length; ++offset) {
            bool fits = true;
            for (int j = 0; key[j] != '\0' && offset + j < length; ++j) {
                if (fold_ascii(static_cast<unsigned char>(markers[i][offset + j])) !=
                    fold_ascii(static_cast<unsigned char>(key[j])))
                    fits = false;
            }
            if (fits)
                break;
        }
        starts.offset[i] = static_cast<uint8_t>(offset);
    }
    return starts;
}

// One line (or piece of a long line) as a branch sees it.
struct DumpLine {
    const char* text;    // the whole piece, for port and index scans
    const char* marker;  // first occurrence of the deciding marker, for value keys
    int branch;          // that marker's index in the table
    uint32_t port;       // store slot from "xe", when the format scans it first
};

// The text from which the value key of the line's marker is searched.
inline const char* value_text(const DumpLine& line, const KeyStarts& starts)
{
    return line.marker + starts.offset[line.branch];
}

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
