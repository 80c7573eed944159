// text: conversions between the program's UTF-16 text and narrow text, duplication, bounded
// formatting, path joining and socket addresses as text.
//
// Narrow text is UTF-8 wherever the program converts it itself. Allocated texts come from
// std::malloc and are released with text_free (or held in a wtext_ptr / ntext_ptr).
// Nothing here keeps state; every function may be called from any thread.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "common/format.h"

// Results of the bounded formatting, as the platform's safe-string functions give them.
constexpr std::int32_t STRING_S_OK = 0;
constexpr std::int32_t STRING_E_INVALID_PARAMETER = static_cast<std::int32_t>(0x80070057u);
constexpr std::int32_t STRING_E_INSUFFICIENT_BUFFER = static_cast<std::int32_t>(0x8007007Au);

// Error codes of the conversions, as the platform's code-page calls report them.
constexpr int TEXT_ERROR_INSUFFICIENT_BUFFER = 0x7A;
constexpr int TEXT_ERROR_INVALID_PARAMETER = 0x57;

inline void
text_free(void *text)
{
    std::free(text);
}

struct text_deleter {
    void operator()(void *text) const
    {
        std::free(text);
    }
};
using wtext_ptr = std::unique_ptr<char16_t, text_deleter>;
using ntext_ptr = std::unique_ptr<char, text_deleter>;

// UTF-16 to UTF-8 into out (size in bytes), terminated at its last byte. 0, or -1 (logged) when
// the text does not fit. A null text returns 0 and leaves the buffer untouched.
int convert_unicode_to_ascii(const char16_t *text, char *out, std::size_t size);

// UTF-8 to UTF-16 into at most size - 1 units, terminated at its last unit. Returns the units
// written with the terminator, or -1 (logged) when the text does not fit; 0 for a null text.
int convert_ascii_to_unicode(const char *text, char16_t *out, std::size_t size);

// A new copy of a wide text (null for null). Ends the process with exit code 1 when memory
// is exhausted.
char16_t *tsso_string_dup_w(const char16_t *text);

// New copies converted byte for unit: each byte becomes the UTF-16 unit of the same value and
// back (units above 0xFF fail). Null for null or when the conversion fails.
char16_t *string_dup_a2w(const char *text);
char *string_dup_w2a(const char16_t *text);

// Bounded formatting into buffer (size in bytes). STRING_S_OK; STRING_E_INSUFFICIENT_BUFFER
// when the text was cut (the cut text stays, terminated); STRING_E_INVALID_PARAMETER for a size
// below 2 bytes (wide) or of 0 or 2^31 and more (narrow), with nothing written.
std::int32_t string_format_w(char16_t *buffer, std::size_t size, const char16_t *format,
                             const fmt_arg *args, std::size_t count);
std::int32_t string_format_a(char *buffer, std::size_t size, const char *format,
                             const fmt_arg *args, std::size_t count);

template <class... Args>
std::int32_t
string_printf_w(char16_t *buffer, std::size_t size, wfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    return string_format_w(buffer, size, format.text, packed, sizeof...(Args));
}

template <class... Args>
std::int32_t
string_printf_a(char *buffer, std::size_t size, nfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    return string_format_a(buffer, size, format.text, packed, sizeof...(Args));
}

// Joins directory and name with the path separator into buffer (size in bytes). 0, or -1
// (logged) when it does not fit; the buffer then holds the cut text.
int config_string_cat(const char16_t *directory, const char16_t *name, char16_t *buffer,
                      std::size_t size);

// A socket address as text ("a.b.c.d", with ":port" when the port is not 0). *length: the
// buffer's capacity in units on entry, the units written with the terminator on return.
// 0, or -1 (logged).
int convert_netaddr_to_str(const void *address, std::size_t address_length, char16_t *out,
                           std::uint32_t *length);

// Small helpers on terminated UTF-16 texts.
std::size_t wtext_length(const char16_t *text);
// Compares whole texts without regard to case (ASCII and Latin-1 letters); null equals null.
bool wtext_equal_nocase(const char16_t *a, const char16_t *b);
bool wtext_equal(const char16_t *a, const char16_t *b);
