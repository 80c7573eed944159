// The formatting engine behind format.h: one template over the output unit (char16_t or char),
// writing through a bounded sink that keeps counting after the buffer is full, as snprintf does.

#include "common/format.h"

#include <cstdio>

#include "base/utf.h"

namespace {

template <class Char> struct sink {
    Char *out;
    std::size_t capacity;
    std::size_t length = 0; // units the whole text needs

    void put(Char c)
    {
        if (length + 1 < capacity) {
            out[length] = c;
        }
        ++length;
    }
    void repeat(Char c, int count)
    {
        for (int i = 0; i < count; ++i) {
            put(c);
        }
    }
    void finish()
    {
        if (capacity > 0) {
            out[length < capacity ? length : capacity - 1] = 0;
        }
    }
};

struct spec {
    bool left = false;
    bool plus = false;
    bool space = false;
    bool alt = false;
    bool zero = false;
    int width = 0;
    int precision = -1;
    int size = 0; // -1 h, 1 l
    char conversion = 0;
};

// Whether a code point is a control character, or a line or paragraph separator: in escaped
// text it is written as its escape, so that a text can never start a line of its own.
bool
needs_escape(char32_t cp)
{
    return cp < 0x20 || (cp >= 0x7F && cp <= 0x9F) || cp == 0x2028 || cp == 0x2029;
}

// The visible escape of such a code point: \r \n \t, \xHH below 0x100, \uHHHH above.
template <class Char>
int
escape_units(char32_t cp, Char *units)
{
    static constexpr char hex[] = "0123456789abcdef";
    units[0] = '\\';
    if (cp == '\r' || cp == '\n' || cp == '\t') {
        units[1] = cp == '\r' ? 'r' : cp == '\n' ? 'n' : 't';
        return 2;
    }
    if (cp < 0x100) {
        units[1] = 'x';
        units[2] = static_cast<Char>(hex[cp >> 4]);
        units[3] = static_cast<Char>(hex[cp & 0xF]);
        return 4;
    }
    units[1] = 'u';
    for (int k = 0; k < 4; ++k) {
        units[2 + k] = static_cast<Char>(hex[(cp >> (12 - 4 * k)) & 0xF]);
    }
    return 6;
}

// Converts a text of either width into the sink's width, at most `limit` output units.
// Returns the units produced; with emit false it only measures. With escape, every code point
// is decoded (malformed input and lone surrogates become U+FFFD) and control characters are
// written as visible escapes.
template <class Char, class In>
std::size_t
put_text(sink<Char> *s, const In *text, std::size_t length, std::size_t limit, bool emit,
         bool escape)
{
    std::size_t produced = 0;
    std::size_t i = 0;
    while (i < length && (length != SIZE_MAX || text[i] != 0)) {
        Char units[6];
        int n;
        std::size_t used;
        if (escape) {
            std::size_t left = length == SIZE_MAX ? 4 : length - i;
            char32_t cp;
            if constexpr (sizeof(In) == 1) {
                std::size_t k = 1;
                while (k < left && k < 4 && text[i + k] != 0) {
                    ++k;
                }
                left = length == SIZE_MAX ? k : left;
                cp = utf8_decode(reinterpret_cast<const unsigned char *>(text + i), left, &used);
            } else {
                if (length == SIZE_MAX) {
                    left = text[i + 1] == 0 ? 1 : 2;
                }
                cp = utf16_decode(reinterpret_cast<const char16_t *>(text + i), left, &used);
            }
            n = needs_escape(cp) ? escape_units<Char>(cp, units) : utf_encode<Char>(cp, units);
        } else if constexpr (sizeof(In) == sizeof(Char)) {
            units[0] = static_cast<Char>(text[i]);
            n = 1;
            used = 1;
        } else {
            std::size_t left = length == SIZE_MAX ? 4 : length - i;
            if constexpr (sizeof(In) == 1) {
                // Never read past a terminator inside a sequence.
                std::size_t k = 1;
                while (k < left && k < 4 && text[i + k] != 0) {
                    ++k;
                }
                left = length == SIZE_MAX ? k : left;
                char32_t cp =
                    utf8_decode(reinterpret_cast<const unsigned char *>(text + i), left, &used);
                n = utf_encode<Char>(cp, units);
            } else {
                if (length == SIZE_MAX) {
                    left = text[i + 1] == 0 ? 1 : 2; // text[i] is not the terminator
                }
                char32_t cp =
                    utf16_decode(reinterpret_cast<const char16_t *>(text + i), left, &used);
                n = utf_encode<Char>(cp, units);
            }
        }
        if (produced + static_cast<std::size_t>(n) > limit) {
            break;
        }
        if (emit) {
            for (int k = 0; k < n; ++k) {
                s->put(units[k]);
            }
        }
        produced += static_cast<std::size_t>(n);
        i += used;
    }
    return produced;
}

template <class Char>
void
put_padded_text(sink<Char> *s, const spec &sp, const fmt_arg &a, bool wide, bool escape)
{
    static constexpr char null_text[] = "(null)";
    std::size_t limit = sp.precision < 0 ? SIZE_MAX : static_cast<std::size_t>(sp.precision);
    if ((wide && a.w == nullptr) || (!wide && a.n == nullptr)) {
        std::size_t n = put_text<Char, char>(s, null_text, SIZE_MAX, limit, false, false);
        int pad = sp.width > static_cast<int>(n) ? sp.width - static_cast<int>(n) : 0;
        if (!sp.left) {
            s->repeat(' ', pad);
        }
        put_text<Char, char>(s, null_text, SIZE_MAX, limit, true, false);
        if (sp.left) {
            s->repeat(' ', pad);
        }
        return;
    }
    std::size_t n = wide ? put_text<Char, char16_t>(s, a.w, a.length, limit, false, escape)
                         : put_text<Char, char>(s, a.n, a.length, limit, false, escape);
    int pad = sp.width > static_cast<int>(n) ? sp.width - static_cast<int>(n) : 0;
    if (!sp.left) {
        s->repeat(' ', pad);
    }
    if (wide) {
        put_text<Char, char16_t>(s, a.w, a.length, limit, true, escape);
    } else {
        put_text<Char, char>(s, a.n, a.length, limit, true, escape);
    }
    if (sp.left) {
        s->repeat(' ', pad);
    }
}

template <class Char>
void
put_integer(sink<Char> *s, const spec &sp, const fmt_arg &a)
{
    char c = sp.conversion;
    bool is_signed = (c == 'd' || c == 'i') && a.kind == fmt_kind::signed_int;
    unsigned long long magnitude;
    bool negative = false;
    if (is_signed) {
        negative = a.i < 0;
        magnitude = negative ? 0ULL - static_cast<unsigned long long>(a.i)
                             : static_cast<unsigned long long>(a.i);
    } else if (a.kind == fmt_kind::signed_int) {
        // A negative number printed unsigned shows its two's complement in its own width.
        magnitude = static_cast<unsigned long long>(a.i);
        if (a.bytes < 8) {
            magnitude &= (1ULL << (a.bytes * 8)) - 1;
        }
    } else {
        magnitude = a.u;
    }
    unsigned base = (c == 'x' || c == 'X') ? 16 : c == 'o' ? 8 : 10;
    const char *digits = c == 'X' ? "0123456789ABCDEF" : "0123456789abcdef";
    char buffer[32];
    int n = 0;
    while (magnitude != 0) {
        buffer[n++] = digits[magnitude % base];
        magnitude /= base;
    }
    int precision = sp.precision < 0 ? 1 : sp.precision;
    int zeros = precision > n ? precision - n : 0;
    const char *prefix = "";
    if (negative) {
        prefix = "-";
    } else if (is_signed && sp.plus) {
        prefix = "+";
    } else if (is_signed && sp.space) {
        prefix = " ";
    } else if (sp.alt && base == 16 && n > 0) {
        prefix = c == 'X' ? "0X" : "0x";
    } else if (sp.alt && base == 8 && zeros == 0) {
        zeros = 1;
    }
    int prefix_length = 0;
    while (prefix[prefix_length] != 0) {
        ++prefix_length;
    }
    int total = prefix_length + zeros + n;
    int pad = sp.width > total ? sp.width - total : 0;
    if (sp.zero && !sp.left && sp.precision < 0) {
        zeros += pad;
        pad = 0;
    }
    if (!sp.left) {
        s->repeat(' ', pad);
    }
    for (int k = 0; k < prefix_length; ++k) {
        s->put(static_cast<Char>(prefix[k]));
    }
    s->repeat('0', zeros);
    while (n > 0) {
        s->put(static_cast<Char>(buffer[--n]));
    }
    if (sp.left) {
        s->repeat(' ', pad);
    }
}

template <class Char>
void
put_character(sink<Char> *s, const spec &sp, const fmt_arg &a)
{
    char32_t cp = static_cast<char32_t>(
        a.kind == fmt_kind::signed_int ? static_cast<unsigned long long>(a.i) : a.u);
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF && sizeof(Char) == 1)) {
        cp = 0xFFFD;
    }
    Char units[4];
    int n = utf_encode<Char>(cp, units);
    int pad = sp.width > 1 ? sp.width - 1 : 0;
    if (!sp.left) {
        s->repeat(' ', pad);
    }
    for (int k = 0; k < n; ++k) {
        s->put(units[k]);
    }
    if (sp.left) {
        s->repeat(' ', pad);
    }
}

// Pointers print as 0x and lower-case hex digits, as the C library prints them here.
template <class Char>
void
put_pointer(sink<Char> *s, const spec &sp, const fmt_arg &a)
{
    spec hex = sp;
    hex.conversion = 'x';
    hex.alt = true;
    hex.precision = -1;
    fmt_arg number{};
    number.kind = fmt_kind::unsigned_int;
    number.bytes = sizeof(void *);
    number.u = reinterpret_cast<std::uintptr_t>(a.p);
    put_integer(s, hex, number);
}

// Floating point is rare in this program: the C library formats the digits, the width is ours.
template <class Char>
void
put_real(sink<Char> *s, const spec &sp, const fmt_arg &a)
{
    char text[512];
    int precision = sp.precision < 0 ? 6 : sp.precision > 100 ? 100 : sp.precision;
    int n;
    switch (sp.conversion) {
    case 'e':
        n = std::snprintf(text, sizeof text, "%.*e", precision, a.d);
        break;
    case 'E':
        n = std::snprintf(text, sizeof text, "%.*E", precision, a.d);
        break;
    case 'g':
        n = std::snprintf(text, sizeof text, "%.*g", precision, a.d);
        break;
    case 'G':
        n = std::snprintf(text, sizeof text, "%.*G", precision, a.d);
        break;
    default:
        n = std::snprintf(text, sizeof text, "%.*f", precision, a.d);
        break;
    }
    if (n < 0) {
        return;
    }
    if (n >= static_cast<int>(sizeof text)) {
        n = static_cast<int>(sizeof text) - 1;
    }
    int pad = sp.width > n ? sp.width - n : 0;
    if (!sp.left) {
        s->repeat(' ', pad);
    }
    for (int i = 0; i < n; ++i) {
        s->put(static_cast<Char>(static_cast<unsigned char>(text[i])));
    }
    if (sp.left) {
        s->repeat(' ', pad);
    }
}

// The arguments of one call, taken in order.
struct arg_list {
    const fmt_arg *args;
    std::size_t count;
    std::size_t next = 0;

    // The argument of a * width or precision, bounded like a written one; 0 when none is left.
    int take_int()
    {
        if (next >= count) {
            return 0;
        }
        const fmt_arg &a = args[next++];
        long long v = a.kind == fmt_kind::signed_int ? a.i : static_cast<long long>(a.u);
        return v > 100000 ? 100000 : v < -100000 ? -100000 : static_cast<int>(v);
    }
};

// A width or precision with one more written digit, at most 100000.
template <class Char>
int
append_digit(int value, Char digit)
{
    value = value * 10 + (digit - '0');
    return value > 100000 ? 100000 : value;
}

// The flags at f[i] into sp; the index after them.
template <class Char>
std::size_t
parse_flags(const Char *f, std::size_t i, spec *sp)
{
    for (;; ++i) {
        if (f[i] == '-') {
            sp->left = true;
        } else if (f[i] == '+') {
            sp->plus = true;
        } else if (f[i] == ' ') {
            sp->space = true;
        } else if (f[i] == '#') {
            sp->alt = true;
        } else if (f[i] == '0') {
            sp->zero = true;
        } else {
            return i;
        }
    }
}

// The width at f[i] (digits, or * for an argument; a negative one left-aligns) into sp; the
// index after it.
template <class Char>
std::size_t
parse_width(const Char *f, std::size_t i, spec *sp, arg_list *args)
{
    if (f[i] == '*') {
        sp->width = args->take_int();
        if (sp->width < 0) {
            sp->left = true;
            sp->width = -sp->width;
        }
        ++i;
    }
    for (; f[i] >= '0' && f[i] <= '9'; ++i) {
        sp->width = append_digit(sp->width, f[i]);
    }
    return i;
}

// The precision at f[i] ('.' and digits, or .* for an argument) into sp; the index after it.
template <class Char>
std::size_t
parse_precision(const Char *f, std::size_t i, spec *sp, arg_list *args)
{
    if (f[i] != '.') {
        return i;
    }
    ++i;
    sp->precision = 0;
    if (f[i] == '*') {
        sp->precision = args->take_int();
        ++i;
    }
    for (; f[i] >= '0' && f[i] <= '9'; ++i) {
        sp->precision = append_digit(sp->precision, f[i]);
    }
    return i;
}

template <class Char>
void
put_conversion(sink<Char> *s, const spec &sp, const fmt_arg &a, bool escape)
{
    switch (sp.conversion) {
    case 'c':
    case 'C':
        put_character(s, sp, a);
        break;
    case 's':
    case 'S':
        put_padded_text(s, sp, a, a.kind == fmt_kind::wide_text, escape);
        break;
    case 'p':
        put_pointer(s, sp, a);
        break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
        put_real(s, sp, a);
        break;
    default:
        put_integer(s, sp, a);
        break;
    }
}

template <class Char>
std::size_t
format_any(Char *out, std::size_t capacity, const Char *f, const fmt_arg *args, std::size_t count,
           bool escape)
{
    sink<Char> s{out, capacity};
    arg_list list{args, count};
    for (std::size_t i = 0; f[i] != 0; ++i) {
        if (f[i] != '%') {
            s.put(f[i]);
            continue;
        }
        ++i;
        if (f[i] == '%') {
            s.put('%');
            continue;
        }
        spec sp;
        i = parse_flags(f, i, &sp);
        i = parse_width(f, i, &sp, &list);
        i = parse_precision(f, i, &sp, &list);
        i = fmt_detail::skip_length_modifiers(f, i, &sp.size);
        if (f[i] == 0 || list.next >= list.count) {
            break; // cannot happen with a checked format
        }
        sp.conversion = static_cast<char>(f[i]);
        put_conversion(&s, sp, list.args[list.next++], escape);
    }
    s.finish();
    return s.length;
}

} // namespace

std::size_t
fmt_format_w(char16_t *out, std::size_t capacity, const char16_t *format, const fmt_arg *args,
             std::size_t count, bool escape)
{
    return format_any<char16_t>(out, capacity, format, args, count, escape);
}

std::size_t
fmt_format_n(char *out, std::size_t capacity, const char *format, const fmt_arg *args,
             std::size_t count, bool escape)
{
    return format_any<char>(out, capacity, format, args, count, escape);
}
