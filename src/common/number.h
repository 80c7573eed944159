// number: numbers read from configuration text, the way the C library's strtol reads them into
// a 32-bit long.
//
// Leading white space is skipped and an optional sign is taken; reading stops at the first
// character that does not fit, and a text without digits reads as 0. A value outside the 32-bit
// range reads as the nearest bound. Stateless; any thread.
#pragma once

#include <cstdint>

// Automatic base: "0x" or "0X" then hexadecimal, a leading 0 octal, otherwise decimal.
std::int32_t number_parse_auto(const char16_t *text);
std::int32_t number_parse_auto_a(const char *text);

// Decimal only.
std::int32_t number_parse_decimal(const char16_t *text);
std::int32_t number_parse_decimal_a(const char *text);

// The prefix length of a network entry as a mask: 0 gives 0, 1 to 32 the top bits set, and any
// other value (negative, above 32) a host mask of all ones.
std::uint32_t number_prefix_to_mask(std::int32_t bits);

// White space of the C locale: blank, tab, line feed, vertical tab, form feed, carriage return.
constexpr bool
number_is_space(char32_t c)
{
    return c == u' ' || (c >= u'\t' && c <= u'\r');
}
