// utf: decoding and encoding of single code points in UTF-8 and UTF-16, shared by the
// formatter and the text conversions. Malformed input never fails: it decodes to U+FFFD, the
// replacement the platform's own conversions use.
#pragma once

#include <cstddef>

// Decodes one code point from UTF-8 at s (n bytes left); a malformed sequence gives U+FFFD and
// consumes one byte.
inline char32_t
utf8_decode(const unsigned char *s, std::size_t n, std::size_t *used)
{
    unsigned char b = s[0];
    *used = 1;
    if (b < 0x80) {
        return b;
    }
    int extra = 0;
    char32_t cp = 0;
    char32_t min = 0;
    if ((b & 0xE0) == 0xC0) {
        extra = 1;
        cp = b & 0x1F;
        min = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
        extra = 2;
        cp = b & 0x0F;
        min = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
        extra = 3;
        cp = b & 0x07;
        min = 0x10000;
    } else {
        return 0xFFFD;
    }
    if (static_cast<std::size_t>(extra) >= n) {
        return 0xFFFD;
    }
    for (int k = 1; k <= extra; ++k) {
        if ((s[k] & 0xC0) != 0x80) {
            return 0xFFFD;
        }
        cp = (cp << 6) | (s[k] & 0x3F);
    }
    if (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
        return 0xFFFD;
    }
    *used = static_cast<std::size_t>(extra) + 1;
    return cp;
}

// Decodes one code point from UTF-16; a lone surrogate gives U+FFFD.
inline char32_t
utf16_decode(const char16_t *s, std::size_t n, std::size_t *used)
{
    char16_t u = s[0];
    *used = 1;
    if (u >= 0xD800 && u <= 0xDBFF) {
        if (n > 1 && s[1] >= 0xDC00 && s[1] <= 0xDFFF) {
            *used = 2;
            return 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (s[1] - 0xDC00);
        }
        return 0xFFFD;
    }
    if (u >= 0xDC00 && u <= 0xDFFF) {
        return 0xFFFD;
    }
    return u;
}

// Writes one code point in the sink's own encoding; returns the units it takes.
template <class Char>
int
utf_encode(char32_t cp, Char *units)
{
    if constexpr (sizeof(Char) == 2) {
        if (cp >= 0x10000) {
            cp -= 0x10000;
            units[0] = static_cast<Char>(0xD800 + (cp >> 10));
            units[1] = static_cast<Char>(0xDC00 + (cp & 0x3FF));
            return 2;
        }
        units[0] = static_cast<Char>(cp);
        return 1;
    } else {
        if (cp < 0x80) {
            units[0] = static_cast<Char>(cp);
            return 1;
        }
        if (cp < 0x800) {
            units[0] = static_cast<Char>(0xC0 | (cp >> 6));
            units[1] = static_cast<Char>(0x80 | (cp & 0x3F));
            return 2;
        }
        if (cp < 0x10000) {
            units[0] = static_cast<Char>(0xE0 | (cp >> 12));
            units[1] = static_cast<Char>(0x80 | ((cp >> 6) & 0x3F));
            units[2] = static_cast<Char>(0x80 | (cp & 0x3F));
            return 3;
        }
        units[0] = static_cast<Char>(0xF0 | (cp >> 18));
        units[1] = static_cast<Char>(0x80 | ((cp >> 12) & 0x3F));
        units[2] = static_cast<Char>(0x80 | ((cp >> 6) & 0x3F));
        units[3] = static_cast<Char>(0x80 | (cp & 0x3F));
        return 4;
    }
}
