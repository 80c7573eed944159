// utf8_path: UTF-16 texts of the portable core turned into the UTF-8 the POSIX calls take.
#pragma once

#include <cstddef>
#include <string>

#include "base/utf.h"

namespace posix {

inline std::string
to_utf8(const char16_t *text)
{
    std::string out;
    if (text == nullptr) {
        return out;
    }
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf16_decode(text + i, n - i, &used);
        char units[4];
        int k = utf_encode<char>(cp, units);
        out.append(units, static_cast<std::size_t>(k));
        i += used;
    }
    return out;
}

// Copies UTF-8 into a UTF-16 buffer; returns the units written without the terminator, or
// SIZE_MAX when the text does not fit (the buffer then holds an empty text).
inline std::size_t
from_utf8(const char *text, std::size_t n, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return SIZE_MAX;
    }
    std::size_t written = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf8_decode(reinterpret_cast<const unsigned char *>(text) + i, n - i, &used);
        char16_t units[2];
        int k = utf_encode<char16_t>(cp, units);
        if (written + static_cast<std::size_t>(k) + 1 > capacity) {
            out[0] = 0;
            return SIZE_MAX;
        }
        for (int j = 0; j < k; ++j) {
            out[written++] = units[j];
        }
        i += used;
    }
    out[written] = 0;
    return written;
}

} // namespace posix
