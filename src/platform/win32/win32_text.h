// win32_text: the texts the Windows calls take: the core's UTF-16 seen as wchar_t, UTF-8 turned
// into UTF-16, and a command line built from an argument vector.
#pragma once

#include <windows.h>

#include <shellapi.h>

#include <cstddef>
#include <string>
#include <vector>

namespace win32 {

// The API's wide texts are UTF-16 in wchar_t, which is 16 bits wide with this compiler.
static_assert(sizeof(wchar_t) == sizeof(char16_t), "wchar_t must hold UTF-16 units");

inline const wchar_t *
wide(const char16_t *text)
{
    return reinterpret_cast<const wchar_t *>(text);
}

inline wchar_t *
wide(char16_t *text)
{
    return reinterpret_cast<wchar_t *>(text);
}

// UTF-8 to UTF-16; a malformed sequence becomes U+FFFD. May throw std::bad_alloc.
inline std::wstring
utf8_to_wide(const char *text)
{
    std::wstring out;
    if (text == nullptr || text[0] == 0) {
        return out;
    }
    int n = MultiByteToWideChar(CP_UTF8, 0, text, -1, nullptr, 0);
    if (n <= 1) {
        return out;
    }
    out.resize(static_cast<std::size_t>(n));
    MultiByteToWideChar(CP_UTF8, 0, text, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

// UTF-16 to UTF-8; a lone surrogate becomes U+FFFD. May throw std::bad_alloc.
inline std::string
wide_to_utf8(const wchar_t *text, int units = -1)
{
    std::string out;
    if (text == nullptr || units == 0 || (units < 0 && text[0] == 0)) {
        return out;
    }
    int n = WideCharToMultiByte(CP_UTF8, 0, text, units, nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return out;
    }
    out.resize(static_cast<std::size_t>(n));
    WideCharToMultiByte(CP_UTF8, 0, text, units, out.data(), n, nullptr, nullptr);
    if (units < 0) {
        out.resize(static_cast<std::size_t>(n - 1)); // the terminator was converted too
    }
    return out;
}

// Appends one argument as the program's start-up code (CommandLineToArgvW) reads it back:
// quoted when empty or when it holds white space or a quotation mark; inside quotes, a run of
// backslashes is doubled when a quotation mark or the closing quote follows it, and a quotation
// mark is escaped with a backslash. Other backslashes stand as they are.
inline void
append_argument(std::wstring *line, const std::wstring &argument)
{
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        *line += argument;
        return;
    }
    *line += L'"';
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        if (c == L'"') {
            line->append(backslashes * 2 + 1, L'\\');
        } else {
            line->append(backslashes, L'\\');
        }
        backslashes = 0;
        *line += c;
    }
    line->append(backslashes * 2, L'\\');
    *line += L'"';
}

// The program name is read by other rules: everything up to the next quotation mark, or to
// white space when it does not start with one; backslashes are never escapes there. A path
// cannot hold a quotation mark, so quoting it whole when it holds white space is enough.
inline void
append_program(std::wstring *line, const std::wstring &program)
{
    if (!program.empty() && program.find_first_of(L" \t") == std::wstring::npos) {
        *line += program;
        return;
    }
    *line += L'"';
    *line += program;
    *line += L'"';
}

// The command line for a null-terminated UTF-8 argument vector. May throw std::bad_alloc.
inline std::wstring
command_line(const char *const *argv)
{
    std::wstring line;
    for (std::size_t i = 0; argv[i] != nullptr; ++i) {
        std::wstring argument = utf8_to_wide(argv[i]);
        if (i == 0) {
            append_program(&line, argument);
        } else {
            line += L' ';
            append_argument(&line, argument);
        }
    }
    return line;
}

// A command line split as the program's start-up code splits it (CommandLineToArgvW), each
// argument in UTF-8. False when the line cannot be split. May throw std::bad_alloc.
inline bool
split_command_line(const wchar_t *line, std::vector<std::string> *arguments)
{
    arguments->clear();
    int argc = 0;
    wchar_t **argv = CommandLineToArgvW(line, &argc);
    if (argv == nullptr) {
        return false;
    }
    try {
        for (int i = 0; i < argc; ++i) {
            arguments->push_back(wide_to_utf8(argv[i]));
        }
    } catch (...) {
        LocalFree(argv);
        throw;
    }
    LocalFree(argv);
    return true;
}

} // namespace win32
