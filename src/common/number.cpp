// Configuration numbers.

#include "common/number.h"

#include <type_traits>

namespace {

int
digit_value(char32_t c)
{
    if (c >= '0' && c <= '9') {
        return static_cast<int>(c - '0');
    }
    if (c >= 'a' && c <= 'z') {
        return static_cast<int>(c - 'a') + 10;
    }
    if (c >= 'A' && c <= 'Z') {
        return static_cast<int>(c - 'A') + 10;
    }
    return 99;
}

// One reader for both widths; Unit is char or char16_t. base 0 chooses by the prefix.
template <class Unit>
std::int32_t
parse(const Unit *text, int base)
{
    if (text == nullptr) {
        return 0;
    }
    auto at = [](const Unit *p) {
        return static_cast<char32_t>(static_cast<std::make_unsigned_t<Unit>>(*p));
    };
    const Unit *p = text;
    while (*p != 0 && number_is_space(at(p))) {
        ++p;
    }
    bool negative = false;
    if (*p == '+' || *p == '-') {
        negative = *p == '-';
        ++p;
    }
    if (base == 0) {
        if (p[0] == '0' && (p[1] == 'x' || p[1] == 'X') && digit_value(at(p + 2)) < 16) {
            base = 16;
            p += 2;
        } else if (p[0] == '0') {
            base = 8;
        } else {
            base = 10;
        }
    }
    // Accumulate in 64 bits and saturate at the 32-bit bounds, as strtol does with a 32-bit long.
    constexpr std::int64_t limit = 0x80000000LL;
    std::int64_t value = 0;
    for (; *p != 0; ++p) {
        int d = digit_value(at(p));
        if (d >= base) {
            break;
        }
        if (value <= limit) {
            value = value * base + d;
        }
    }
    if (negative) {
        return value >= limit ? INT32_MIN : static_cast<std::int32_t>(-value);
    }
    return value >= limit ? INT32_MAX : static_cast<std::int32_t>(value);
}

} // namespace

std::int32_t
number_parse_auto(const char16_t *text)
{
    return parse(text, 0);
}

std::int32_t
number_parse_auto_a(const char *text)
{
    return parse(text, 0);
}

std::int32_t
number_parse_decimal(const char16_t *text)
{
    return parse(text, 10);
}

std::int32_t
number_parse_decimal_a(const char *text)
{
    return parse(text, 10);
}

std::uint32_t
number_prefix_to_mask(std::int32_t bits)
{
    if (bits == 0) {
        return 0;
    }
    if (bits < 0 || bits > 32) {
        return 0xffffffffu;
    }
    return 0xffffffffu << (32 - bits);
}
