// The POSIX profile-file reader. See profile.h for the format; the results follow the Windows
// profile functions, including their way of telling a too small buffer (size - 2).

#include "platform/profile.h"

#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

namespace {

struct profile_section {
    std::string name;
    std::vector<std::string> entries;
};

bool
is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view
trim(std::string_view text)
{
    while (!text.empty() && is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

bool
equal_nocase(std::string_view a, std::string_view b)
{
    if (a.size() != b.size()) {
        return false;
    }
    for (std::size_t i = 0; i < a.size(); ++i) {
        char x = a[i];
        char y = b[i];
        if (x >= 'A' && x <= 'Z') {
            x = static_cast<char>(x - 'A' + 'a');
        }
        if (y >= 'A' && y <= 'Z') {
            y = static_cast<char>(y - 'A' + 'a');
        }
        if (x != y) {
            return false;
        }
    }
    return true;
}

bool
read_whole_file(const char *path, std::string *out)
{
    if (path == nullptr) {
        return false;
    }
    std::FILE *file = std::fopen(path, "rb");
    if (file == nullptr) {
        return false;
    }
    char chunk[8192];
    std::size_t n;
    bool ok = true;
    try {
        while ((n = std::fread(chunk, 1, sizeof chunk, file)) > 0) {
            out->append(chunk, n);
        }
    } catch (...) {
        ok = false;
    }
    std::fclose(file);
    return ok;
}

// The file's sections in order of first appearance, duplicates merged.
std::vector<profile_section>
load(const char *path)
{
    std::vector<profile_section> sections;
    std::string text;
    if (!read_whole_file(path, &text)) {
        return sections;
    }
    try {
        std::string_view rest(text);
        if (rest.substr(0, 3) == "\xEF\xBB\xBF") {
            rest.remove_prefix(3);
        }
        profile_section *current = nullptr;
        while (!rest.empty()) {
            std::size_t end = rest.find('\n');
            std::string_view line = rest.substr(0, end);
            rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
            line = trim(line.substr(0, line.find('\0')));
            if (line.empty() || line.front() == ';') {
                continue;
            }
            std::size_t close = line.front() == '[' ? line.rfind(']') : std::string_view::npos;
            if (close != std::string_view::npos) {
                std::string_view name = trim(line.substr(1, close - 1));
                current = nullptr;
                for (profile_section &section : sections) {
                    if (equal_nocase(section.name, name)) {
                        current = &section;
                        break;
                    }
                }
                if (current == nullptr) {
                    sections.push_back(profile_section{std::string(name), {}});
                    current = &sections.back();
                }
                continue;
            }
            if (current != nullptr) {
                current->entries.emplace_back(line);
            }
        }
    } catch (...) {
        sections.clear(); // out of memory: read as an empty file
    }
    return sections;
}

// Copies texts into a double-zero-terminated list buffer; see profile.h for the result.
template <class Texts, class Get>
unsigned long
fill_list(const Texts &texts, Get get, char *buffer, unsigned long size)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    if (size == 1) {
        buffer[0] = 0;
        return 0;
    }
    unsigned long used = 0;
    for (const auto &item : texts) {
        const std::string &text = get(item);
        // Room for the text, its zero and the list's final zero.
        if (used + text.size() + 2 > size) {
            unsigned long room = used < size - 2 ? size - 2 - used : 0;
            if (room > text.size()) {
                room = static_cast<unsigned long>(text.size());
            }
            std::memcpy(buffer + used, text.data(), room);
            buffer[size - 2] = 0;
            buffer[size - 1] = 0;
            return size - 2;
        }
        std::memcpy(buffer + used, text.data(), text.size());
        used += static_cast<unsigned long>(text.size());
        buffer[used++] = 0;
    }
    buffer[used] = 0;
    if (used == 0 && size > 1) {
        buffer[1] = 0;
    }
    return used;
}

unsigned long
copy_string(std::string_view text, char *buffer, unsigned long size)
{
    if (buffer == nullptr || size == 0) {
        return 0;
    }
    unsigned long n = text.size() < size ? static_cast<unsigned long>(text.size()) : size - 1;
    std::memcpy(buffer, text.data(), n);
    buffer[n] = 0;
    return n;
}

} // namespace

unsigned long
platform_profile_section_names(char *buffer, unsigned long size, const char *path)
{
    std::vector<profile_section> sections = load(path);
    return fill_list(
        sections, [](const profile_section &s) -> const std::string & { return s.name; }, buffer,
        size);
}

unsigned long
platform_profile_section(const char *section, char *buffer, unsigned long size, const char *path)
{
    std::vector<profile_section> sections = load(path);
    for (const profile_section &s : sections) {
        if (section != nullptr && equal_nocase(s.name, section)) {
            return fill_list(
                s.entries, [](const std::string &e) -> const std::string & { return e; }, buffer,
                size);
        }
    }
    static const std::vector<std::string> none;
    return fill_list(
        none, [](const std::string &e) -> const std::string & { return e; }, buffer, size);
}

unsigned long
platform_profile_string(const char *section, const char *key, const char *default_value,
                        char *buffer, unsigned long size, const char *path)
{
    if (section != nullptr && key != nullptr) {
        std::vector<profile_section> sections = load(path);
        for (const profile_section &s : sections) {
            if (!equal_nocase(s.name, section)) {
                continue;
            }
            for (const std::string &entry : s.entries) {
                std::size_t equals = entry.find('=');
                if (equals == std::string::npos ||
                    !equal_nocase(trim(std::string_view(entry).substr(0, equals)), key)) {
                    continue;
                }
                std::string_view value = trim(std::string_view(entry).substr(equals + 1));
                if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
                    value.back() == value.front()) {
                    value = value.substr(1, value.size() - 2);
                }
                return copy_string(value, buffer, size);
            }
        }
    }
    std::string_view fallback = default_value != nullptr ? default_value : "";
    while (!fallback.empty() && fallback.back() == ' ') {
        fallback.remove_suffix(1);
    }
    return copy_string(fallback, buffer, size);
}
