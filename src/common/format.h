// format: printf-style formatting of UTF-16 and UTF-8 text into bounded buffers, with the
// format checked against the argument types when the program is compiled.
//
// Every format of the program is a string literal. `wfmt<Args...>` (UTF-16) and `nfmt<Args...>`
// (UTF-8) are built from the literal by a consteval constructor that parses the conversions and
// compares them with the types of the arguments: a missing, surplus or mistyped argument is a
// compile error, never a garbled line at run time.
//
// Conversions: %d %i %u %x %X %o %c (any integer or character), %s (text of the format's own
// width), %S (text of the other width: UTF-8 in a UTF-16 format and the other way round; %ls
// and %hs name the width explicitly), %p (any pointer), %f %e %g (floating point), %%. Flags
// "-+ #0", a width and a precision (each may be *, taking an int argument) and the length
// modifiers h hh l ll L j z t I I32 I64 are accepted; the length of an integer comes from its
// argument's type. A null text prints as "(null)".
//
// The functions keep no state and may be called from any thread. They never allocate.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>

enum class fmt_kind : std::uint8_t {
    signed_int,
    unsigned_int,
    wide_text,
    narrow_text,
    pointer,
    real,
};

// One argument, reduced to what the formatter needs.
struct fmt_arg {
    fmt_kind kind;
    std::uint8_t bytes; // size of the integer type (to print a negative number in %x)
    std::size_t length; // text length in units; SIZE_MAX when the text is terminated
    union {
        long long i;
        unsigned long long u;
        const char16_t *w;
        const char *n;
        const void *p;
        double d;
    };
};

namespace fmt_detail {

template <class T> struct is_wide_text : std::false_type {
};
template <> struct is_wide_text<const char16_t *> : std::true_type {
};
template <> struct is_wide_text<char16_t *> : std::true_type {
};
template <> struct is_wide_text<std::u16string> : std::true_type {
};
template <> struct is_wide_text<std::u16string_view> : std::true_type {
};

template <class T> struct is_narrow_text : std::false_type {
};
template <> struct is_narrow_text<const char *> : std::true_type {
};
template <> struct is_narrow_text<char *> : std::true_type {
};
template <> struct is_narrow_text<std::string> : std::true_type {
};
template <> struct is_narrow_text<std::string_view> : std::true_type {
};

template <class T> using bare = std::remove_cvref_t<std::decay_t<T>>;

template <class T>
constexpr fmt_kind
kind_of()
{
    using U = bare<T>;
    if constexpr (is_wide_text<U>::value) {
        return fmt_kind::wide_text;
    } else if constexpr (is_narrow_text<U>::value) {
        return fmt_kind::narrow_text;
    } else if constexpr (std::is_same_v<U, bool>) {
        static_assert(!std::is_same_v<U, bool>, "a bool is not a formatting argument");
        return fmt_kind::unsigned_int;
    } else if constexpr (std::is_enum_v<U>) {
        return std::is_signed_v<std::underlying_type_t<U>> ? fmt_kind::signed_int
                                                           : fmt_kind::unsigned_int;
    } else if constexpr (std::is_integral_v<U>) {
        return std::is_signed_v<U> ? fmt_kind::signed_int : fmt_kind::unsigned_int;
    } else if constexpr (std::is_floating_point_v<U>) {
        return fmt_kind::real;
    } else if constexpr (std::is_pointer_v<U> || std::is_null_pointer_v<U>) {
        return fmt_kind::pointer;
    } else {
        static_assert(std::is_pointer_v<U>, "type cannot be formatted");
        return fmt_kind::pointer;
    }
}

template <class T>
fmt_arg
make_arg(const T &value)
{
    using U = bare<T>;
    fmt_arg a{};
    a.kind = kind_of<T>();
    a.length = SIZE_MAX;
    if constexpr (std::is_same_v<U, std::u16string> || std::is_same_v<U, std::u16string_view> ||
                  std::is_same_v<U, std::string> || std::is_same_v<U, std::string_view>) {
        a.length = value.size();
        if constexpr (is_wide_text<U>::value) {
            a.w = value.data();
        } else {
            a.n = value.data();
        }
    } else if constexpr (is_wide_text<U>::value) {
        a.w = value;
    } else if constexpr (is_narrow_text<U>::value) {
        a.n = value;
    } else if constexpr (std::is_enum_v<U>) {
        using I = std::underlying_type_t<U>;
        a.bytes = sizeof(I);
        if constexpr (std::is_signed_v<I>) {
            a.i = static_cast<long long>(value);
        } else {
            a.u = static_cast<unsigned long long>(value);
        }
    } else if constexpr (std::is_integral_v<U>) {
        a.bytes = sizeof(U);
        if constexpr (std::is_signed_v<U>) {
            a.i = value;
        } else {
            a.u = value;
        }
    } else if constexpr (std::is_floating_point_v<U>) {
        a.d = static_cast<double>(value);
    } else {
        a.p = static_cast<const void *>(value);
    }
    return a;
}

// Reached only when a format does not match its arguments; being non-constexpr, a call in a
// consteval context stops the compilation and names the fault.
void format_does_not_match_its_arguments();

enum class want : std::uint8_t { integer, own_text, other_text, wide, narrow, pointer, real };

// Whether an argument of kind k can stand where w is wanted; "own" and "other" text are of the
// format's width and of the other one.
constexpr bool
argument_fits(want w, fmt_kind k, bool wide_format)
{
    fmt_kind own = wide_format ? fmt_kind::wide_text : fmt_kind::narrow_text;
    fmt_kind other = wide_format ? fmt_kind::narrow_text : fmt_kind::wide_text;
    switch (w) {
    case want::integer:
        return k == fmt_kind::signed_int || k == fmt_kind::unsigned_int;
    case want::own_text:
        return k == own;
    case want::other_text:
        return k == other;
    case want::wide:
        return k == fmt_kind::wide_text;
    case want::narrow:
        return k == fmt_kind::narrow_text;
    case want::pointer:
        return k == fmt_kind::pointer || k == fmt_kind::wide_text || k == fmt_kind::narrow_text;
    case want::real:
        return k == fmt_kind::real;
    }
    return false;
}

// Skips the length modifiers at f[i] (h hh l ll L j z t q w I I32 I64) and returns the index
// after them; *size becomes -1 for h, 1 for l or w, and stays as it is for the others.
template <class Char>
constexpr std::size_t
skip_length_modifiers(const Char *f, std::size_t i, int *size)
{
    for (;; ++i) {
        Char c = f[i];
        if (c == 'h') {
            *size = -1;
        } else if (c == 'l' || c == 'w') {
            *size = 1;
        } else if (c == 'L' || c == 'j' || c == 'z' || c == 't' || c == 'q') {
        } else if (c == 'I') {
            if ((f[i + 1] == '6' && f[i + 2] == '4') || (f[i + 1] == '3' && f[i + 2] == '2')) {
                i += 2;
            }
        } else {
            return i;
        }
    }
}

// The argument kinds of a format being checked, taken in order.
struct arg_kinds {
    const fmt_kind *kinds;
    std::size_t count;
    bool wide_format;
    std::size_t next = 0;
};

consteval void
take_argument(arg_kinds &args, want w)
{
    if (args.next >= args.count || !argument_fits(w, args.kinds[args.next++], args.wide_format)) {
        format_does_not_match_its_arguments();
    }
}

// Skips a * (taking an integer argument for it) and the digits at f[i]; the index after them.
template <class Char>
consteval std::size_t
check_number(const Char *f, std::size_t i, arg_kinds &args)
{
    if (f[i] == '*') {
        take_argument(args, want::integer);
        ++i;
    }
    while (f[i] >= '0' && f[i] <= '9') {
        ++i;
    }
    return i;
}

// Skips the flags, the width and the precision at f[i], taking an integer argument for each *;
// the index after them.
template <class Char>
consteval std::size_t
check_width_and_precision(const Char *f, std::size_t i, arg_kinds &args)
{
    while (f[i] == '-' || f[i] == '+' || f[i] == ' ' || f[i] == '#' || f[i] == '0') {
        ++i;
    }
    i = check_number(f, i, args);
    if (f[i] == '.') {
        i = check_number(f, i + 1, args);
    }
    return i;
}

// Takes the argument that the conversion character c wants (size: see skip_length_modifiers).
template <class Char>
consteval void
check_conversion(Char c, int size, arg_kinds &args)
{
    switch (c) {
    case 'd':
    case 'i':
    case 'u':
    case 'x':
    case 'X':
    case 'o':
    case 'c':
    case 'C':
        take_argument(args, want::integer);
        break;
    case 's':
        take_argument(args, size == 1 ? want::wide : size == -1 ? want::narrow : want::own_text);
        break;
    case 'S':
        take_argument(args, size == 1 ? want::wide : size == -1 ? want::narrow : want::other_text);
        break;
    case 'p':
        take_argument(args, want::pointer);
        break;
    case 'f':
    case 'F':
    case 'e':
    case 'E':
    case 'g':
    case 'G':
        take_argument(args, want::real);
        break;
    default: // %n, a bare % at the end and unknown conversions are refused
        format_does_not_match_its_arguments();
    }
}

template <class Char>
consteval void
check(const Char *f, const fmt_kind *kinds, std::size_t count, bool wide_format)
{
    arg_kinds args{kinds, count, wide_format};
    for (std::size_t i = 0; f[i] != 0; ++i) {
        if (f[i] != '%') {
            continue;
        }
        ++i;
        if (f[i] == '%') {
            continue;
        }
        i = check_width_and_precision(f, i, args);
        int size = 0; // -1 h, 1 l, 0 none
        i = skip_length_modifiers(f, i, &size);
        check_conversion(f[i], size, args);
    }
    if (args.next != count) {
        format_does_not_match_its_arguments();
    }
}

} // namespace fmt_detail

// A format literal checked against the argument types Args.
template <class Char, class... Args> struct basic_fmt {
    const Char *text;

    template <std::size_t N>
    consteval basic_fmt(const Char (&literal)[N]) // NOLINT: implicit on purpose
        : text(literal)
    {
        constexpr fmt_kind kinds[sizeof...(Args) + 1] = {fmt_detail::kind_of<Args>()...,
                                                         fmt_kind::pointer};
        fmt_detail::check<Char>(literal, kinds, sizeof...(Args), std::is_same_v<Char, char16_t>);
    }

    // A constexpr pointer to a literal (a message shared by several calls).
    consteval basic_fmt(const Char *literal) // NOLINT: implicit on purpose
        : text(literal)
    {
        constexpr fmt_kind kinds[sizeof...(Args) + 1] = {fmt_detail::kind_of<Args>()...,
                                                         fmt_kind::pointer};
        fmt_detail::check<Char>(literal, kinds, sizeof...(Args), std::is_same_v<Char, char16_t>);
    }
};

template <class... Args> using wfmt = basic_fmt<char16_t, std::type_identity_t<Args>...>;
template <class... Args> using nfmt = basic_fmt<char, std::type_identity_t<Args>...>;

// Formats into out (capacity in units, terminator included). The text is cut at the capacity
// and always terminated when the capacity is at least 1. Returns the length the whole text
// needs, without the terminator; the text was cut when the result is at least the capacity.
// With escape, the text arguments (never the format's own text) have their control characters
// and line separators written as visible escapes (\r \n \t \xHH \uHHHH) and malformed
// units replaced by U+FFFD: text from outside cannot break or forge a line.
std::size_t fmt_format_w(char16_t *out, std::size_t capacity, const char16_t *format,
                         const fmt_arg *args, std::size_t count, bool escape = false);
std::size_t fmt_format_n(char *out, std::size_t capacity, const char *format, const fmt_arg *args,
                         std::size_t count, bool escape = false);

// Typed entry points for code that formats into its own buffer.
template <class... Args>
std::size_t
fmt_print_w(char16_t *out, std::size_t capacity, wfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    return fmt_format_w(out, capacity, format.text, packed, sizeof...(Args));
}

template <class... Args>
std::size_t
fmt_print_n(char *out, std::size_t capacity, nfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    return fmt_format_n(out, capacity, format.text, packed, sizeof...(Args));
}
