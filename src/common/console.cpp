// Console messages: formatted in UTF-16, written as UTF-8 and flushed at once, so that a
// service manager's journal sees them in order with the debugger output.

#include "common/console.h"

#include <cstdio>

#include "common/text.h"
#include "platform/system.h"

void
console_write_packed(int stream, const char16_t *format, const fmt_arg *args, std::size_t count)
{
    int saved = platform_last_error(); // a message must not change the error it reports
    char16_t wide[2048];
    fmt_format_w(wide, sizeof wide / sizeof wide[0], format, args, count);
    char narrow[4 * 2048];
    fmt_print_n(narrow, sizeof narrow, "%S", static_cast<const char16_t *>(wide));
    std::FILE *out = stream == 1 ? stdout : stderr;
    std::fputs(narrow, out);
    std::fflush(out);
    platform_set_last_error(saved);
}
