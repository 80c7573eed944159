// Windows side of profile.h: the system's profile functions.
//
// The ANSI functions hand the file's bytes back as they stand (a file without a byte-order mark
// is read in the ANSI code page, and the result is converted back to it), which keeps a UTF-8
// nivo.ini intact for the callers, who read the results as UTF-8. Only the path needs care: the
// ANSI functions would read a UTF-8 path in the ANSI code page. A path with bytes beyond ASCII is
// therefore given to the wide functions, and their result converted to the ANSI code page, which
// is what the ANSI functions do themselves.

#include "platform/profile.h"

#include <windows.h>

#include <cstring>
#include <string>

namespace {

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

// UTF-8 to UTF-16; false when the text is not valid UTF-8 or memory runs out.
bool
to_wide(const char *text, std::wstring *out)
{
    int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, nullptr, 0);
    if (n <= 0) {
        return false;
    }
    try {
        out->assign(static_cast<std::size_t>(n), L'\0');
    } catch (...) {
        return false;
    }
    if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text, -1, out->data(), n) != n) {
        return false;
    }
    out->resize(static_cast<std::size_t>(n - 1));
    return true;
}

// Converts n units of a double-zero-terminated list to the ANSI code page into buffer and
// terminates it twice. Returns the bytes stored without the final zero; when the converted list
// does not fit (a double-byte code page needs more bytes than units), or overflowed already
// (the wide call answered size - 2), the list is cut as the ANSI call cuts it: size - 2.
unsigned long
list_to_ansi(const std::wstring &list, unsigned long n, bool overflowed, char *buffer,
             unsigned long size)
{
    if (size < 2) {
        if (size == 1) {
            buffer[0] = 0;
        }
        return 0;
    }
    unsigned long used = 0;
    if (n > 0) {
        int converted = WideCharToMultiByte(CP_ACP, 0, list.data(), static_cast<int>(n), buffer,
                                            static_cast<int>(size - 2), nullptr, nullptr);
        if (converted > 0) {
            used = static_cast<unsigned long>(converted);
        } else {
            // Did not fit: convert unit by unit until the room is used up.
            overflowed = true;
            for (unsigned long i = 0; i < n; ++i) {
                char bytes[8];
                int k = WideCharToMultiByte(CP_ACP, 0, list.data() + i, 1, bytes, sizeof bytes,
                                            nullptr, nullptr);
                if (k <= 0 || used + static_cast<unsigned long>(k) > size - 2) {
                    break;
                }
                std::memcpy(buffer + used, bytes, static_cast<std::size_t>(k));
                used += static_cast<unsigned long>(k);
            }
        }
    }
    if (overflowed) {
        std::memset(buffer + used, 0, size - used);
        return size - 2;
    }
    // The list's entries end in zeros already; add the list's final zero.
    buffer[used] = 0;
    if (used + 1 < size) {
        buffer[used + 1] = 0;
    }
    return used;
}

// Calls a wide list function (section names, or a section) with a path beyond ASCII.
template <class Call>
unsigned long
wide_list(Call call, char *buffer, unsigned long size)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    std::wstring list;
    try {
        list.assign(size, L'\0');
    } catch (...) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        buffer[0] = 0;
        if (size > 1) {
            buffer[1] = 0;
        }
        return 0;
    }
    DWORD n = call(list.data(), static_cast<DWORD>(size));
    bool overflowed = size >= 2 && n == size - 2;
    // The zeros that end each entry belong to the units converted; the list's own final zero
    // is added afterwards.
    return list_to_ansi(list, n, overflowed, buffer, size);
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
    if (path == nullptr || is_ascii(path)) {
        return terminate_cut_list(GetPrivateProfileSectionNamesA(buffer, size, path), buffer, size);
    }
    std::wstring wide_path;
    if (!to_wide(path, &wide_path)) {
        return terminate_cut_list(GetPrivateProfileSectionNamesA(buffer, size, path), buffer, size);
    }
    return wide_list(
        [&](wchar_t *list, DWORD n) {
            return GetPrivateProfileSectionNamesW(list, n, wide_path.c_str());
        },
        buffer, size);
}

unsigned long
platform_profile_section(const char *section, char *buffer, unsigned long size, const char *path)
{
    if (path == nullptr || is_ascii(path)) {
        return terminate_cut_list(GetPrivateProfileSectionA(section, buffer, size, path), buffer,
                                  size);
    }
    std::wstring wide_path;
    std::wstring wide_section;
    // The section name came from the ANSI list of names: back to UTF-16 the same way.
    int n = section != nullptr ? MultiByteToWideChar(CP_ACP, 0, section, -1, nullptr, 0) : 0;
    if (!to_wide(path, &wide_path) || n <= 0) {
        return terminate_cut_list(GetPrivateProfileSectionA(section, buffer, size, path), buffer,
                                  size);
    }
    try {
        wide_section.assign(static_cast<std::size_t>(n), L'\0');
    } catch (...) {
        return terminate_cut_list(GetPrivateProfileSectionA(section, buffer, size, path), buffer,
                                  size);
    }
    MultiByteToWideChar(CP_ACP, 0, section, -1, wide_section.data(), n);
    return wide_list(
        [&](wchar_t *list, DWORD units) {
            return GetPrivateProfileSectionW(wide_section.c_str(), list, units, wide_path.c_str());
        },
        buffer, size);
}

unsigned long
platform_profile_string(const char *section, const char *key, const char *default_value,
                        char *buffer, unsigned long size, const char *path)
{
    if (path == nullptr || is_ascii(path)) {
        return GetPrivateProfileStringA(section, key, default_value, buffer, size, path);
    }
    std::wstring wide_path;
    if (!to_wide(path, &wide_path) || buffer == nullptr || size == 0) {
        return GetPrivateProfileStringA(section, key, default_value, buffer, size, path);
    }
    // Section, key and default are ANSI texts, as the ANSI function takes them.
    auto ansi_to_wide = [](const char *text, std::wstring *out) {
        if (text == nullptr) {
            return true;
        }
        int n = MultiByteToWideChar(CP_ACP, 0, text, -1, nullptr, 0);
        if (n <= 0) {
            return false;
        }
        try {
            out->assign(static_cast<std::size_t>(n), L'\0');
        } catch (...) {
            return false;
        }
        MultiByteToWideChar(CP_ACP, 0, text, -1, out->data(), n);
        out->resize(static_cast<std::size_t>(n - 1));
        return true;
    };
    std::wstring wide_section;
    std::wstring wide_key;
    std::wstring wide_default;
    std::wstring value;
    if (!ansi_to_wide(section, &wide_section) || !ansi_to_wide(key, &wide_key) ||
        !ansi_to_wide(default_value, &wide_default)) {
        return GetPrivateProfileStringA(section, key, default_value, buffer, size, path);
    }
    try {
        value.assign(size, L'\0');
    } catch (...) {
        return GetPrivateProfileStringA(section, key, default_value, buffer, size, path);
    }
    DWORD n = GetPrivateProfileStringW(section != nullptr ? wide_section.c_str() : nullptr,
                                       key != nullptr ? wide_key.c_str() : nullptr,
                                       default_value != nullptr ? wide_default.c_str() : nullptr,
                                       value.data(), size, wide_path.c_str());
    // The value in the ANSI code page, cut at a whole character when it does not fit.
    unsigned long used = 0;
    for (DWORD i = 0; i < n; ++i) {
        char bytes[8];
        int k = WideCharToMultiByte(CP_ACP, 0, value.data() + i, 1, bytes, sizeof bytes, nullptr,
                                    nullptr);
        if (k <= 0 || used + static_cast<unsigned long>(k) > size - 1) {
            break;
        }
        std::memcpy(buffer + used, bytes, static_cast<std::size_t>(k));
        used += static_cast<unsigned long>(k);
    }
    buffer[used] = 0;
    return used;
}
