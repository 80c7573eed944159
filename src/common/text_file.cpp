// Text files with an encoding, over the platform's plain files with a read buffer of our own.

#include "common/text_file.h"

#include <cstring>
#include <memory>
#include <new>

#include "common/text.h"
#include "base/utf.h"
#include "platform/file.h"

struct text_file {
    platform_file *handle = nullptr;
    int encoding = 0;
    unsigned char buffer[4096];
    std::size_t have = 0; // bytes in buffer
    std::size_t next = 0; // next byte to read
    bool at_end = false;
};

namespace {

constexpr unsigned char BOM_UTF16LE[] = {0xFF, 0xFE};
constexpr unsigned char BOM_UTF16BE[] = {0xFE, 0xFF};
constexpr unsigned char BOM_UTF32LE[] = {0xFF, 0xFE, 0x00, 0x00};
constexpr unsigned char BOM_UTF32BE[] = {0x00, 0x00, 0xFE, 0xFF};
constexpr unsigned char BOM_UTF8[] = {0xEF, 0xBB, 0xBF};

std::size_t
bom_length(int encoding)
{
    switch (encoding) {
    case TEXT_FILE_UTF16LE:
    case TEXT_FILE_UTF16BE:
        return 2;
    case TEXT_FILE_UTF32LE:
    case TEXT_FILE_UTF32BE:
        return 4;
    case TEXT_FILE_UTF8:
        return 3;
    default:
        return 0;
    }
}

const unsigned char *
bom_bytes(int encoding)
{
    switch (encoding) {
    case TEXT_FILE_UTF16LE:
        return BOM_UTF16LE;
    case TEXT_FILE_UTF16BE:
        return BOM_UTF16BE;
    case TEXT_FILE_UTF32LE:
        return BOM_UTF32LE;
    case TEXT_FILE_UTF32BE:
        return BOM_UTF32BE;
    case TEXT_FILE_UTF8:
        return BOM_UTF8;
    default:
        return nullptr;
    }
}

// The next byte, or -1 at the end of the file.
int
next_byte(text_file *file)
{
    if (file->next == file->have) {
        if (file->at_end) {
            return -1;
        }
        long long n = platform_file_read(file->handle, file->buffer, sizeof file->buffer);
        if (n <= 0) {
            file->at_end = true;
            return -1;
        }
        file->have = static_cast<std::size_t>(n);
        file->next = 0;
    }
    return file->buffer[file->next++];
}

// The next code unit or code point of the file's encoding, or -1 at the end of the file
// (a unit cut by the end counts as the end).
long
next_unit(text_file *file)
{
    int width = file->encoding == TEXT_FILE_UTF16LE || file->encoding == TEXT_FILE_UTF16BE   ? 2
                : file->encoding == TEXT_FILE_UTF32LE || file->encoding == TEXT_FILE_UTF32BE ? 4
                                                                                             : 1;
    unsigned long bytes[4];
    for (int i = 0; i < width; ++i) {
        int b = next_byte(file);
        if (b < 0) {
            return -1;
        }
        bytes[i] = static_cast<unsigned long>(b);
    }
    switch (file->encoding) {
    case TEXT_FILE_UTF16LE:
        return static_cast<long>(bytes[0] | bytes[1] << 8);
    case TEXT_FILE_UTF16BE:
        return static_cast<long>(bytes[1] | bytes[0] << 8);
    case TEXT_FILE_UTF32LE:
        return static_cast<long>(bytes[0] | bytes[1] << 8 | bytes[2] << 16 | bytes[3] << 24);
    case TEXT_FILE_UTF32BE:
        return static_cast<long>(bytes[3] | bytes[2] << 8 | bytes[1] << 16 | bytes[0] << 24);
    default:
        return static_cast<long>(bytes[0]);
    }
}

text_file *
open_file(const char16_t *path, const char *mode, int encoding)
{
    if (path == nullptr || mode == nullptr || encoding < 0 || encoding > TEXT_FILE_UTF8) {
        return nullptr;
    }
    bool writes = std::strchr(mode, 'w') != nullptr;
    bool appends = std::strchr(mode, 'a') != nullptr;
    bool reads = std::strchr(mode, 'r') != nullptr || std::strchr(mode, '+') != nullptr;
    unsigned int flags = 0;
    if (reads) {
        flags |= PLATFORM_FILE_READ;
    }
    if (writes) {
        flags |= PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE | PLATFORM_FILE_TRUNCATE;
    }
    if (appends) {
        flags |= PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE;
    }
    std::unique_ptr<text_file> file(new (std::nothrow) text_file);
    if (file == nullptr) {
        return nullptr;
    }
    file->encoding = encoding;
    file->handle = platform_file_open(path, flags);
    if (file->handle == nullptr) {
        return nullptr;
    }
    if (appends) {
        platform_file_seek(file->handle, 0, PLATFORM_SEEK_END);
    }
    if (writes && bom_length(encoding) > 0 &&
        platform_file_write(file->handle, bom_bytes(encoding), bom_length(encoding)) != 0) {
        platform_file_close(file->handle);
        return nullptr;
    }
    if (std::strchr(mode, 'r') != nullptr) {
        platform_file_seek(file->handle, static_cast<long long>(bom_length(encoding)),
                           PLATFORM_SEEK_SET);
    }
    return file.release();
}

} // namespace

text_file *
text_file_open(const char16_t *path, const char *mode, int encoding)
{
    return open_file(path, mode, encoding);
}

text_file *
text_file_open_a(const char *path, const char *mode, int encoding)
{
    if (path == nullptr) {
        return nullptr;
    }
    std::u16string wide;
    std::size_t n = std::strlen(path);
    for (std::size_t i = 0; i < n;) {
        std::size_t used;
        char32_t cp = utf8_decode(reinterpret_cast<const unsigned char *>(path) + i, n - i, &used);
        char16_t units[2];
        int k = utf_encode<char16_t>(cp, units);
        wide.append(units, static_cast<std::size_t>(k));
        i += used;
    }
    return open_file(wide.c_str(), mode, encoding);
}

void
text_file_close(text_file *file)
{
    if (file != nullptr) {
        platform_file_close(file->handle);
        delete file; // the object's only owner
    }
}

bool
text_file_write_line(text_file *file, const char16_t *text)
{
    if (file == nullptr || text == nullptr) {
        return false;
    }
    std::string bytes;
    std::size_t n = wtext_length(text);
    switch (file->encoding) {
    case TEXT_FILE_UTF16LE:
    case TEXT_FILE_UTF16BE: {
        bool swap = file->encoding == TEXT_FILE_UTF16BE;
        auto put = [&bytes, swap](char16_t u) {
            char lo = static_cast<char>(u & 0xFF);
            char hi = static_cast<char>(u >> 8);
            bytes.push_back(swap ? hi : lo);
            bytes.push_back(swap ? lo : hi);
        };
        for (std::size_t i = 0; i < n; ++i) {
            put(text[i]);
        }
        put(u'\r');
        put(u'\n');
        break;
    }
    case TEXT_FILE_SYSTEM:
    case TEXT_FILE_UTF8:
        for (std::size_t i = 0; i < n;) {
            std::size_t used;
            char32_t cp = utf16_decode(text + i, n - i, &used);
            char units[4];
            int k = utf_encode<char>(cp, units);
            bytes.append(units, static_cast<std::size_t>(k));
            i += used;
        }
        bytes.append("\r\n");
        break;
    default:
        return false;
    }
    return platform_file_write(file->handle, bytes.data(), bytes.size()) == 0;
}

bool
text_file_read_line(text_file *file, std::u16string *line)
{
    if (file == nullptr || line == nullptr) {
        return false;
    }
    line->clear();
    bool any = false;
    std::string narrow; // encodings 0 and 5 collect bytes, then decode the line as UTF-8
    for (;;) {
        long unit = next_unit(file);
        if (unit < 0) {
            break;
        }
        any = true;
        if (unit == '\n') {
            break;
        }
        if (unit == '\r') {
            continue;
        }
        if (file->encoding == TEXT_FILE_SYSTEM || file->encoding == TEXT_FILE_UTF8) {
            narrow.push_back(static_cast<char>(unit));
        } else if (file->encoding == TEXT_FILE_UTF32LE || file->encoding == TEXT_FILE_UTF32BE) {
            char32_t cp = static_cast<char32_t>(unit);
            if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
                cp = 0xFFFD;
            }
            char16_t units[2];
            int k = utf_encode<char16_t>(cp, units);
            line->append(units, static_cast<std::size_t>(k));
        } else {
            line->push_back(static_cast<char16_t>(unit));
        }
    }
    for (std::size_t i = 0; i < narrow.size();) {
        std::size_t used;
        char32_t cp = utf8_decode(reinterpret_cast<const unsigned char *>(narrow.data()) + i,
                                  narrow.size() - i, &used);
        char16_t units[2];
        int k = utf_encode<char16_t>(cp, units);
        line->append(units, static_cast<std::size_t>(k));
        i += used;
    }
    return any;
}
