// Windows side of profile.h: the system's profile functions.
//
// The callers read every result as UTF-8. The ANSI functions hand a file without a byte-order
// mark back as its bytes stand (they read it in the ANSI code page and convert the result back
// to it), so a UTF-8 nivo.ini stays intact through them. Two cases need the wide functions:
//   - a path beyond ASCII, which the ANSI functions would read in the ANSI code page: the wide
//     function gets the path in UTF-16, and its results go back to the ANSI code page, which is
//     what the ANSI function does itself;
//   - a file that starts with a byte-order mark (UTF-8 or UTF-16), which the system decodes as
//     Unicode: through the ANSI code page every character outside it would be lost, so the
//     results go to UTF-8, as the header describes such a file.
// Section names, keys and defaults come from the callers in the same encoding as the results.

#include "platform/profile.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

struct profile_call {
    std::wstring path;
    UINT code_page = CP_ACP; // of the texts exchanged with the caller
};

bool
is_ascii(const char *text)
{
    for (; *text != 0; ++text) {
        if (static_cast<unsigned char>(*text) >= 0x80) {
            return false;
        }
    }
    return true;
}

// A narrow text in the code page to UTF-16; false when it cannot be converted (for UTF-8: is
// not valid UTF-8) or memory runs out.
bool
to_wide(UINT code_page, const char *text, std::wstring *out)
{
    DWORD flags = code_page == CP_UTF8 ? MB_ERR_INVALID_CHARS : 0;
    int n = MultiByteToWideChar(code_page, flags, text, -1, nullptr, 0);
    if (n <= 0) {
        return false;
    }
    try {
        out->assign(static_cast<std::size_t>(n), L'\0');
    } catch (...) {
        return false;
    }
    if (MultiByteToWideChar(code_page, flags, text, -1, out->data(), n) != n) {
        return false;
    }
    out->resize(static_cast<std::size_t>(n - 1));
    return true;
}

// Whether the file starts with a UTF-8 or UTF-16 byte-order mark. A file that cannot be read
// has none (the profile call then finds no file either).
bool
has_unicode_mark(const std::wstring &path)
{
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        return false;
    }
    unsigned char head[3] = {0, 0, 0};
    DWORD n = 0;
    BOOL ok = ReadFile(file, head, sizeof head, &n, nullptr);
    CloseHandle(file);
    if (!ok) {
        return false;
    }
    return (n == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) ||
           (n >= 2 &&
            ((head[0] == 0xFF && head[1] == 0xFE) || (head[0] == 0xFE && head[1] == 0xFF)));
}

// Whether the call goes to the wide function; false: to the ANSI function with the caller's
// bytes (a path that is not UTF-8 is passed on as it stands). Keeps the caller's last error.
bool
use_wide(const char *path, profile_call *call)
{
    if (path == nullptr) {
        return false;
    }
    DWORD saved = GetLastError();
    bool wide = false;
    if (to_wide(CP_UTF8, path, &call->path)) {
        bool marked = has_unicode_mark(call->path);
        call->code_page = marked ? CP_UTF8 : CP_ACP;
        wide = marked || !is_ascii(path);
    }
    SetLastError(saved);
    return wide;
}

// Converts units to the code page into buffer, whole characters only, while they fit in room
// bytes. Returns the bytes stored; *all tells whether every unit was converted.
unsigned long
to_narrow(UINT code_page, const wchar_t *units, unsigned long n, char *buffer, unsigned long room,
          bool *all)
{
    unsigned long used = 0;
    *all = true;
    for (unsigned long i = 0; i < n;) {
        // A surrogate pair is one character.
        int k = units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < n && units[i + 1] >= 0xDC00 &&
                        units[i + 1] <= 0xDFFF
                    ? 2
                    : 1;
        char bytes[8];
        int m =
            WideCharToMultiByte(code_page, 0, units + i, k, bytes, sizeof bytes, nullptr, nullptr);
        if (m <= 0 || used + static_cast<unsigned long>(m) > room) {
            *all = false;
            break;
        }
        std::memcpy(buffer + used, bytes, static_cast<std::size_t>(m));
        used += static_cast<unsigned long>(m);
        i += static_cast<unsigned long>(k);
    }
    return used;
}

// Calls a wide list function (section names, or a section) and stores the list in the call's
// code page, each entry ending in a zero and the list in a second one. Returns the bytes stored
// without the final zero, or size - 2 when the list was cut (by the wide call, or because the
// converted list needs more bytes than the units it came from).
template <class Call>
unsigned long
wide_list(const profile_call &call, Call list_call, char *buffer, unsigned long size)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (size == 1) {
        buffer[0] = 0;
        return 0;
    }
    std::wstring list;
    try {
        list.assign(size, L'\0');
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        buffer[0] = 0;
        buffer[1] = 0;
        return 0;
    }
    DWORD n = list_call(list.data(), static_cast<DWORD>(size));
    bool all = true;
    unsigned long used = to_narrow(call.code_page, list.data(), n, buffer, size - 2, &all);
    if (!all || n == size - 2) {
        std::memset(buffer + used, 0, size - used);
        return size - 2;
    }
    buffer[used] = 0;
    buffer[used + 1] = 0; // an empty list is two zeros too; used < size - 1 here
    return used;
}

// The header promises a cut list that ends in two zeros; some implementations of the ANSI
// functions end it in one, at size - 2, and leave the last byte as it was.
unsigned long
terminate_cut_list(unsigned long n, char *buffer, unsigned long size)
{
    if (buffer != nullptr && size >= 2 && n == size - 2) {
        buffer[size - 2] = 0;
        buffer[size - 1] = 0;
    }
    return n;
}

} // namespace

unsigned long
platform_profile_section_names(char *buffer, unsigned long size, const char *path)
{
    profile_call call;
    if (!use_wide(path, &call)) {
        return terminate_cut_list(GetPrivateProfileSectionNamesA(buffer, size, path), buffer, size);
    }
    return wide_list(
        call,
        [&](wchar_t *list, DWORD units) {
            return GetPrivateProfileSectionNamesW(list, units, call.path.c_str());
        },
        buffer, size);
}

unsigned long
platform_profile_section(const char *section, char *buffer, unsigned long size, const char *path)
{
    profile_call call;
    std::wstring wide_section;
    if (!use_wide(path, &call) || section == nullptr ||
        !to_wide(call.code_page, section, &wide_section)) {
        return terminate_cut_list(GetPrivateProfileSectionA(section, buffer, size, path), buffer,
                                  size);
    }
    return wide_list(
        call,
        [&](wchar_t *list, DWORD units) {
            return GetPrivateProfileSectionW(wide_section.c_str(), list, units, call.path.c_str());
        },
        buffer, size);
}

unsigned long
platform_profile_string(const char *section, const char *key, const char *default_value,
                        char *buffer, unsigned long size, const char *path)
{
    profile_call call;
    std::wstring wide_section;
    std::wstring wide_key;
    std::wstring wide_default;
    std::wstring value;
    bool wide = use_wide(path, &call) && buffer != nullptr && size > 0 &&
                (section == nullptr || to_wide(call.code_page, section, &wide_section)) &&
                (key == nullptr || to_wide(call.code_page, key, &wide_key)) &&
                (default_value == nullptr || to_wide(call.code_page, default_value, &wide_default));
    if (wide) {
        try {
            value.assign(size, L'\0');
        } catch (...) {
            wide = false;
        }
    }
    if (!wide) {
        return GetPrivateProfileStringA(section, key, default_value, buffer, size, path);
    }
    DWORD n = GetPrivateProfileStringW(section != nullptr ? wide_section.c_str() : nullptr,
                                       key != nullptr ? wide_key.c_str() : nullptr,
                                       default_value != nullptr ? wide_default.c_str() : nullptr,
                                       value.data(), size, call.path.c_str());
    // Cut at a whole character when the converted value does not fit.
    bool all = true;
    unsigned long used = to_narrow(call.code_page, value.data(), n, buffer, size - 1, &all);
    buffer[used] = 0;
    return used;
}
