// Text conversions and helpers.

#include "common/text.h"

#include <cstring>

#include "common/log.h"
#include "base/utf.h"
#include "platform/netaddr.h"
#include "platform/system.h"

int
convert_unicode_to_ascii(const char16_t *text, char *out, std::size_t size)
{
    if (text == nullptr) {
        return 0;
    }
    if (out == nullptr || size == 0) {
        log_write(LOG_CRIT, u"convert_unicode_to_ascii: unicode to ascii conversion failed: 0x%x\n",
                  TEXT_ERROR_INVALID_PARAMETER);
        return -1;
    }
    std::size_t n = wtext_length(text);
    std::size_t written = 0;
    bool fits = true;
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf16_decode(text + i, n - i, &used);
        char units[4];
        int k = utf_encode<char>(cp, units);
        if (written + static_cast<std::size_t>(k) + 1 > size) {
            fits = false;
            break;
        }
        std::memcpy(out + written, units, static_cast<std::size_t>(k));
        written += static_cast<std::size_t>(k);
        i += used;
    }
    out[written] = 0;
    out[size - 1] = 0;
    if (!fits) {
        log_write(LOG_CRIT, u"convert_unicode_to_ascii: unicode to ascii conversion failed: 0x%x\n",
                  TEXT_ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    return 0;
}

int
convert_ascii_to_unicode(const char *text, char16_t *out, std::size_t size)
{
    if (text == nullptr) {
        return 0;
    }
    if (out == nullptr || size < 2) {
        log_write(LOG_CRIT, u"convert_ascii_to_unicode: ascii to unicode conversion failed: 0x%x\n",
                  size == 0 || out == nullptr ? TEXT_ERROR_INVALID_PARAMETER
                                              : TEXT_ERROR_INSUFFICIENT_BUFFER);
        if (out != nullptr && size > 0) {
            out[size - 1] = 0;
        }
        return -1;
    }
    std::size_t n = std::strlen(text);
    std::size_t limit = size - 1; // units the conversion may write, terminator included
    std::size_t written = 0;
    bool fits = true;
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf8_decode(reinterpret_cast<const unsigned char *>(text) + i, n - i, &used);
        char16_t units[2];
        int k = utf_encode<char16_t>(cp, units);
        if (written + static_cast<std::size_t>(k) + 1 > limit) {
            fits = false;
            break;
        }
        out[written++] = units[0];
        if (k == 2) {
            out[written++] = units[1];
        }
        i += used;
    }
    out[size - 1] = 0;
    if (!fits) {
        out[written] = 0;
        log_write(LOG_CRIT, u"convert_ascii_to_unicode: ascii to unicode conversion failed: 0x%x\n",
                  TEXT_ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    out[written] = 0;
    return static_cast<int>(written + 1);
}

char16_t *
tsso_string_dup_w(const char16_t *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t n = wtext_length(text) + 1;
    auto *copy = static_cast<char16_t *>(std::malloc(n * sizeof(char16_t)));
    if (copy == nullptr) {
        log_write(LOG_CRIT, u"tsso_string_dup_w: string duplication failed.. Exiting..\n");
        std::exit(1);
    }
    std::memcpy(copy, text, n * sizeof(char16_t));
    return copy;
}

char16_t *
string_dup_a2w(const char *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t n = std::strlen(text);
    auto *copy = static_cast<char16_t *>(std::malloc((n + 1) * sizeof(char16_t)));
    if (copy == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < n; ++i) {
        copy[i] = static_cast<unsigned char>(text[i]);
    }
    copy[n] = 0;
    return copy;
}

char *
string_dup_w2a(const char16_t *text)
{
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t n = wtext_length(text);
    ntext_ptr copy(static_cast<char *>(std::malloc(n + 1)));
    if (copy == nullptr) {
        return nullptr;
    }
    for (std::size_t i = 0; i < n; ++i) {
        if (text[i] > 0xFF) {
            return nullptr; // no byte in this locale stands for the unit
        }
        copy.get()[i] = static_cast<char>(text[i]);
    }
    copy.get()[n] = 0;
    return copy.release();
}

std::int32_t
string_format_w(char16_t *buffer, std::size_t size, const char16_t *format, const fmt_arg *args,
                std::size_t count)
{
    if (buffer == nullptr || size < 2 || size / 2 > 0x7FFFFFFF) {
        return STRING_E_INVALID_PARAMETER;
    }
    std::size_t units = size / 2;
    std::size_t needed = fmt_format_w(buffer, units, format, args, count);
    return needed < units ? STRING_S_OK : STRING_E_INSUFFICIENT_BUFFER;
}

std::int32_t
string_format_a(char *buffer, std::size_t size, const char *format, const fmt_arg *args,
                std::size_t count)
{
    if (buffer == nullptr || size == 0 || size >= 0x80000000u) {
        return STRING_E_INVALID_PARAMETER;
    }
    std::size_t needed = fmt_format_n(buffer, size, format, args, count);
    return needed < size ? STRING_S_OK : STRING_E_INSUFFICIENT_BUFFER;
}

int
config_string_cat(const char16_t *directory, const char16_t *name, char16_t *buffer,
                  std::size_t size)
{
    std::int32_t rc =
        string_printf_w(buffer, size, u"%s%c%s", directory, platform_path_separator, name);
    if (rc != STRING_S_OK) {
        log_write(LOG_ERROR, u"config_string_cat: string concatanation failed: 0x%x\n", rc);
        return -1;
    }
    return 0;
}

int
convert_netaddr_to_str(const void *address, std::size_t address_length, char16_t *out,
                       std::uint32_t *length)
{
    int rc = platform_net_startup();
    if (rc != 0) {
        log_write(LOG_ERROR, u"convert_netaddr_to_str: WSA Initialization failed: %d\n", rc);
        return -1;
    }
    rc = platform_netaddr_to_text(address, address_length, out, length);
    platform_net_cleanup();
    if (rc != 0) {
        log_write(LOG_ERROR, u"convert_netaddr_to_str: conversion failed: %d\n", rc);
        return -1;
    }
    log_write(LOG_DEBUG, u"convert_netaddr_to_str: IP Address String: %s\n",
              static_cast<const char16_t *>(out));
    return 0;
}

std::size_t
wtext_length(const char16_t *text)
{
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    return n;
}

namespace {

char16_t
fold_case(char16_t c)
{
    if ((c >= u'A' && c <= u'Z') || (c >= 0xC0 && c <= 0xDE && c != 0xD7)) {
        return static_cast<char16_t>(c + 0x20);
    }
    return c;
}

} // namespace

bool
wtext_equal_nocase(const char16_t *a, const char16_t *b)
{
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    for (std::size_t i = 0;; ++i) {
        if (fold_case(a[i]) != fold_case(b[i])) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
}

bool
wtext_equal(const char16_t *a, const char16_t *b)
{
    if (a == nullptr || b == nullptr) {
        return a == b;
    }
    for (std::size_t i = 0;; ++i) {
        if (a[i] != b[i]) {
            return false;
        }
        if (a[i] == 0) {
            return true;
        }
    }
}
