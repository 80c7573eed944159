// Windows side of registry.h: the system registry itself.
//
// A registry_key wraps the key handle. Every registry call returns its error instead of setting
// the thread's last error, so each failure is handed to SetLastError here: a missing key or value
// is ERROR_FILE_NOT_FOUND (2), a name or value that does not fit ERROR_MORE_DATA (234).
//
// Text values: the portable code's 8-bit text is UTF-8, while the registry keeps REG_SZ values
// in UTF-16. A value is set by converting its bytes from UTF-8 and read back by converting to
// UTF-8, so that "12,34" comes back as the same five bytes and a path with non-ASCII letters
// (written by an installer in UTF-16) reaches the caller as UTF-8. The ANSI calls would use the
// system's code page instead and garble such a path. No terminator is added when setting, and a
// terminator of a REG_SZ or REG_EXPAND_SZ value is not part of the bytes read, as on POSIX.
//
// Subkeys are enumerated in the order the registry keeps them: sorted by name without regard to
// case. Windows compares the names in upper case, wine in lower case (as the POSIX side does);
// the two orders differ only where a name has one of [ \ ] ^ _ ` against a letter. The
// enumeration reads the key afresh at every index.
//
// The "NIVOHome" value of the service's key is a real value here, written at installation. When
// it is missing the read fails with ERROR_FILE_NOT_FOUND and the callers fall back to the base
// directory; nothing stands in for it.

#include "platform/registry.h"

#include <windows.h>

#include <climits>
#include <cstring>
#include <new>
#include <string>
#include <vector>

static_assert(sizeof(wchar_t) == sizeof(char16_t), "Windows text is UTF-16");

struct registry_key {
    HKEY handle;
};

namespace {

// The access every key is opened with: the service reads, writes, enumerates and deletes the
// subkeys of the keys it opens.
constexpr REGSAM KEY_ACCESS = KEY_READ | KEY_WRITE;
constexpr std::size_t MAX_KEY_NAME = 255;
// A value read is retried this often when it grows between the size query and the read.
constexpr int READ_ATTEMPTS = 4;

const wchar_t *
wide(const char16_t *text)
{
    return reinterpret_cast<const wchar_t *>(text);
}

// The registry's results are error codes: make them the thread's last error.
int
fail(LONG rc)
{
    SetLastError(static_cast<DWORD>(rc));
    return -1;
}

bool
root_handle(registry_root root, HKEY *out)
{
    if (root != REGISTRY_LOCAL_MACHINE) {
        return false;
    }
    *out = HKEY_LOCAL_MACHINE;
    return true;
}

int
open_key(registry_root root, const char16_t *path, registry_key **out, bool create)
{
    HKEY base;
    if (out == nullptr) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    *out = nullptr;
    if (path == nullptr || path[0] == 0 || !root_handle(root, &base)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // A key name holds at most 255 units; the system's answer to a longer one differs between
    // versions, so it is refused here with the error that says why.
    std::size_t name_length = 0;
    for (const char16_t *c = path; *c != 0; ++c) {
        name_length = *c == u'\\' ? 0 : name_length + 1;
        if (name_length > MAX_KEY_NAME) {
            return fail(ERROR_FILENAME_EXCED_RANGE);
        }
    }
    auto *key = new (std::nothrow) registry_key{};
    if (key == nullptr) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    LONG rc = create ? RegCreateKeyExW(base, wide(path), 0, nullptr, REG_OPTION_NON_VOLATILE,
                                       KEY_ACCESS, nullptr, &key->handle, nullptr)
                     : RegOpenKeyExW(base, wide(path), 0, KEY_ACCESS, &key->handle);
    if (rc != ERROR_SUCCESS) {
        delete key; // never handed out
        return fail(rc);
    }
    *out = key;
    return 0;
}

bool
is_text(DWORD type)
{
    return type == REG_SZ || type == REG_EXPAND_SZ || type == REG_MULTI_SZ;
}

// UTF-16 units to UTF-8; false for units that are not valid UTF-16 (a lone surrogate).
bool
to_utf8(const wchar_t *units, std::size_t count, std::string *out)
{
    out->clear();
    if (count == 0) {
        return true;
    }
    if (count > INT_MAX) {
        return false;
    }
    int n = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, static_cast<int>(count),
                                nullptr, 0, nullptr, nullptr);
    if (n <= 0) {
        return false;
    }
    out->resize(static_cast<std::size_t>(n));
    return WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, units, static_cast<int>(count),
                               out->data(), n, nullptr, nullptr) == n;
}

} // namespace

int
registry_create_key(registry_root root, const char16_t *path, registry_key **out)
{
    return open_key(root, path, out, true);
}

int
registry_open_key(registry_root root, const char16_t *path, registry_key **out)
{
    return open_key(root, path, out, false);
}

void
registry_close_key(registry_key *key)
{
    if (key == nullptr) {
        return;
    }
    RegCloseKey(key->handle);
    delete key; // the handle's only owner
}

int
registry_enum_key(registry_key *key, std::uint32_t index, char16_t *name, std::size_t capacity)
{
    if (key == nullptr || name == nullptr || capacity == 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // Key names are at most 255 units; a larger buffer gains nothing.
    DWORD units = capacity > 32767 ? 32767 : static_cast<DWORD>(capacity);
    LONG rc = RegEnumKeyExW(key->handle, index, reinterpret_cast<wchar_t *>(name), &units, nullptr,
                            nullptr, nullptr, nullptr);
    if (rc == ERROR_NO_MORE_ITEMS) {
        return 1;
    }
    return rc == ERROR_SUCCESS ? 0 : fail(rc);
}

int
registry_set_value_a(registry_key *key, const char16_t *value_name, const char *data,
                     std::size_t size)
{
    if (key == nullptr || value_name == nullptr || (data == nullptr && size > 0)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    if (size > INT_MAX) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    std::vector<wchar_t> units;
    if (size > 0) {
        int n = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, static_cast<int>(size),
                                    nullptr, 0);
        if (n <= 0) {
            return fail(static_cast<LONG>(GetLastError()));
        }
        try {
            units.resize(static_cast<std::size_t>(n));
        } catch (const std::exception &) {
            return fail(ERROR_NOT_ENOUGH_MEMORY);
        }
        if (MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, data, static_cast<int>(size),
                                units.data(), n) != n) {
            return fail(static_cast<LONG>(GetLastError()));
        }
    }
    // The registry replaces a value whole: a reader sees the old value or the new one.
    LONG rc = RegSetValueExW(key->handle, wide(value_name), 0, REG_SZ,
                             reinterpret_cast<const BYTE *>(units.data()),
                             static_cast<DWORD>(units.size() * sizeof(wchar_t)));
    return rc == ERROR_SUCCESS ? 0 : fail(rc);
}

int
registry_get_value(registry_root root, const char16_t *path, const char16_t *value_name, void *data,
                   std::size_t *size)
{
    HKEY base;
    if (path == nullptr || value_name == nullptr || data == nullptr || size == nullptr ||
        !root_handle(root, &base)) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    try {
        // Read into a buffer of our own first: the caller's holds nothing unless all of it fits.
        // REG_EXPAND_SZ values come back expanded, and the size query may be short for them.
        std::vector<unsigned char> raw;
        DWORD type = REG_NONE;
        DWORD bytes = 512;
        LONG rc = ERROR_MORE_DATA;
        for (int attempt = 0; attempt < READ_ATTEMPTS && rc == ERROR_MORE_DATA; ++attempt) {
            raw.resize(bytes);
            rc = RegGetValueW(base, wide(path), wide(value_name), RRF_RT_ANY, &type, raw.data(),
                              &bytes);
        }
        if (rc != ERROR_SUCCESS) {
            return fail(rc);
        }
        raw.resize(bytes);

        std::string text;
        const void *result = raw.data();
        std::size_t length = raw.size();
        if (is_text(type)) {
            std::size_t count = raw.size() / sizeof(wchar_t);
            std::vector<wchar_t> units(count);
            std::memcpy(units.data(), raw.data(), count * sizeof(wchar_t));
            if (type != REG_MULTI_SZ && count > 0 && units[count - 1] == 0) {
                --count; // the terminator is no part of the text
            }
            if (!to_utf8(units.data(), count, &text)) {
                return fail(ERROR_NO_UNICODE_TRANSLATION);
            }
            result = text.data();
            length = text.size();
        }
        if (length > *size) {
            return fail(ERROR_MORE_DATA);
        }
        if (length > 0) {
            std::memcpy(data, result, length);
        }
        *size = length;
        return 0;
    } catch (const std::exception &) {
        return fail(ERROR_NOT_ENOUGH_MEMORY);
    }
}

int
registry_delete_key(registry_key *key, const char16_t *subkey)
{
    // An empty name would name the key itself.
    if (key == nullptr || subkey == nullptr || subkey[0] == 0) {
        return fail(ERROR_INVALID_PARAMETER);
    }
    // The registry refuses to delete a key that has subkeys (ERROR_ACCESS_DENIED).
    LONG rc = RegDeleteKeyW(key->handle, wide(subkey));
    return rc == ERROR_SUCCESS ? 0 : fail(rc);
}

void
registry_set_location(const char16_t *directory)
{
    // The registry is the system's own store, not files in a place we choose: nothing to do.
    (void)directory;
}
