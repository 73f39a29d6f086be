// The markers of one dump file, prepared at compile time for a fast search.
//
// A line is decided by the first marker of the table, in table order, that
// occurs anywhere in it, letter case ignored (as strcasestr finds it).
// Prepared are folded copies, lengths, for every byte the markers that have
// it as first or second byte, and a skip table over a window as long as the
// shortest marker (a marker cannot start where the window's last byte occurs
// in no marker's first window at that distance). One left-to-right pass over
// a line that compares only where the first two bytes fit finds the first
// marker in table order.
#pragma once

#include <cstddef>
#include <cstdint>

#include "text/search.h"

namespace cellscope {

inline constexpr int kMaxMarkers = 8;
inline constexpr int kMaxMarkerLength = 31;

// Not constexpr: reaching one stops a compile-time construction with its name.
void marker_longer_than_31_characters();
void marker_shorter_than_2_characters();
void more_than_8_markers_in_one_file();

class MarkerSet {
public:
    constexpr MarkerSet() = default;

    consteval MarkerSet(const char* const* texts, int count) : count_(count)
    {
        if (count > kMaxMarkers)
            more_than_8_markers_in_one_file();
        for (int i = 0; i < count; ++i) {
            int length = 0;
            for (; texts[i][length] != '\0'; ++length) {
                if (length == kMaxMarkerLength)
                    marker_longer_than_31_characters();
                const unsigned char folded = fold_ascii(static_cast<unsigned char>(texts[i][length]));
                folded_[i][length] = static_cast<char>(folded);
                // A letter matches either case: bit 5 set on both sides.
                case_bits_[i][length] = is_ascii_letter(folded) ? 0x20 : 0;
            }
            if (length < 2)
                marker_shorter_than_2_characters();
            length_[i] = static_cast<uint8_t>(length);
            add_case_pair(first_, static_cast<unsigned char>(folded_[i][0]), i);
            add_case_pair(second_, static_cast<unsigned char>(folded_[i][1]), i);
            if (length < window_)
                window_ = static_cast<uint8_t>(length);
        }
        // After marker i is found at a position, the search for the markers
        // before it resumes at the first offset inside it where one of them
        // could begin in agreement with marker i's own letters.
        for (int i = 0; i < count; ++i) {
            int offset = 1;
            for (; offset < length_[i]; ++offset) {
                bool possible = false;
                for (int j = 0; j < i && !possible; ++j)
                    possible = fits_at(folded_[i], length_[i], offset, folded_[j]);
                if (possible)
                    break;
            }
            resume_[i] = static_cast<uint8_t>(offset);
        }
        for (uint8_t& shift : shift_)
            shift = window_;
        for (int i = 0; i < count; ++i) {
            for (int j = 0; j < window_; ++j) {
                const unsigned char folded = static_cast<unsigned char>(folded_[i][j]);
                const uint8_t distance = static_cast<uint8_t>(window_ - 1 - j);
                if (distance < shift_[folded])
                    shift_[folded] = distance;
                const unsigned char upper = static_cast<unsigned char>(folded - 'a' + 'A');
                if (is_ascii_letter(folded) && distance < shift_[upper])
                    shift_[upper] = distance;
            }
        }
    }

    int size() const { return count_; }

    // Index of the first marker, in table order, that occurs in line, with
    // its first occurrence in *at; size() and *at untouched when none does.
    int find(const char* line, const char** at) const;

    // Whether text (folded) could hold needle at offset, as far as text goes:
    // every byte of needle that falls inside text agrees with it.
    static constexpr bool fits_at(const char* text, int length, int offset, const char* needle)
    {
        for (int k = 0; needle[k] != '\0' && offset + k < length; ++k) {
            if (fold_ascii(static_cast<unsigned char>(needle[k])) != static_cast<unsigned char>(text[offset + k]))
                return false;
        }
        return true;
    }

private:
    static constexpr void add_case_pair(uint8_t (&table)[256], unsigned char folded, int marker)
    {
        table[folded] = static_cast<uint8_t>(table[folded] | (1U << marker));
        if (is_ascii_letter(folded)) {
            const unsigned char upper = static_cast<unsigned char>(folded - 'a' + 'A');
            table[upper] = static_cast<uint8_t>(table[upper] | (1U << marker));
        }
    }
    // Whether marker occurs at text, which has at least that many bytes left.
    bool matches_at(const unsigned char* text, int marker) const;

    int count_ = 0;
    uint8_t length_[kMaxMarkers]{};
    uint8_t resume_[kMaxMarkers]{};  // where the search goes on after marker i
    char folded_[kMaxMarkers][kMaxMarkerLength + 1]{};
    unsigned char case_bits_[kMaxMarkers][kMaxMarkerLength + 1]{};
    uint8_t first_[256]{};               // markers whose first byte this is, either case
    uint8_t second_[256]{};              // markers whose second byte this is, either case
    uint8_t window_ = kMaxMarkerLength;  // length of the shortest marker
    uint8_t shift_[256]{};               // safe advance when this byte ends the window
};

}  // namespace cellscope
