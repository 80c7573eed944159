// console: messages to standard output and standard error, for the start-up steps before the
// log is open and for the logger's own faults. UTF-16 formats, written as UTF-8.
#pragma once

#include "common/format.h"

void console_write_packed(int stream, const char16_t *format, const fmt_arg *args,
                          std::size_t count);

template <class... Args>
void
console_out(wfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    console_write_packed(1, format.text, packed, sizeof...(Args));
}

template <class... Args>
void
console_err(wfmt<Args...> format, const Args &...args)
{
    const fmt_arg packed[sizeof...(Args) + 1] = {fmt_detail::make_arg(args)..., fmt_arg{}};
    console_write_packed(2, format.text, packed, sizeof...(Args));
}
