// Case-insensitive search for the short markers and keys of dump lines.
#pragma once

#include <cstring>

namespace cellscope {

// ASCII letter folding: the C locale's notion of letter case, in which the
// monitor always runs.
constexpr unsigned char fold_ascii(unsigned char c)
{
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c | 0x20) : c;
}

constexpr bool is_ascii_letter(unsigned char folded)
{
    return folded >= 'a' && folded <= 'z';
}

// True when text begins with needle, letter case ignored.
inline bool starts_nocase(const char* text, const char* needle)
{
    for (; *needle != '\0'; ++text, ++needle) {
        if (fold_ascii(static_cast<unsigned char>(*text)) != fold_ascii(static_cast<unsigned char>(*needle)))
            return false;
    }
    return true;
}

// First occurrence of needle in text, letter case ignored, as strcasestr
// finds it in the C locale; nullptr when there is none. The needles are a
// few bytes and the lines short, where the library's general algorithm
// spends more on set-up than on searching: the library's fast byte search
// finds each candidate first byte, then the rest is compared in place.
inline const char* find_nocase(const char* text, const char* needle)
{
    const unsigned char first = fold_ascii(static_cast<unsigned char>(needle[0]));
    if (first == '\0')
        return text;
    if (is_ascii_letter(first)) {
        const char both[3] = {static_cast<char>(first), static_cast<char>(first - 'a' + 'A'), '\0'};
        for (const char* p = std::strpbrk(text, both); p != nullptr; p = std::strpbrk(p + 1, both)) {
            if (starts_nocase(p + 1, needle + 1))
                return p;
        }
        return nullptr;
    }
    for (const char* p = std::strchr(text, static_cast<char>(first)); p != nullptr;
         p = std::strchr(p + 1, static_cast<char>(first))) {
        if (starts_nocase(p + 1, needle + 1))
            return p;
    }
    return nullptr;
}

}  // namespace cellscope
