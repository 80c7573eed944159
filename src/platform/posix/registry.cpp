// POSIX side of registry.h: the key tree kept as a directory tree.
//
// Layout: <location>/HKEY_LOCAL_MACHINE/<key>/<subkey>/.../<value>. Every key is a directory and
// every value a regular file holding the value's bytes as they were set (a text value of
// "30712345,1234567" is that text, no terminator). Names are compared without regard to case,
// so each is stored in lower case (A to Z folded), as UTF-8 with "%XX" escapes for "/", "%",
// control characters and a leading "."; any name the registry accepts (a user name from the
// network included) is then one file name that cannot climb out of its key, and a lookup is one
// look at one path. A key whose name has capitals keeps its name as created in the file ".name"
// inside its directory, for the enumeration. Other files whose names start with "." are the
// writer's temporaries; none of them is ever listed.
// A value is written to a temporary file and renamed over the old one, so a reader or a crash
// sees the old value or the new one, never a part.

#include "platform/registry.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <mutex>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/posix/utf8_path.h"
#include "platform/system.h"

// The subkeys seen by the last look at index 0 are kept as their file names, one after another in
// one buffer, with the place of each in name order: two allocations whatever the count, given
// back whole when the handle closes (a key of a million subkeys is walked without leaving a
// million small blocks behind). The name as created is read when its index is asked.
struct registry_key {
    std::string path;                                        // the key's directory
    std::string files;                                       // the subkeys' file names
    std::vector<std::pair<std::uint32_t, std::uint32_t>> at; // start and length, in name order
};

namespace {

constexpr std::size_t MAX_NAME_UNITS = 255; // the registry's limit for a key name
constexpr const char16_t *HOME_KEY = u"SOFTWARE\\Vantelor\\Vantelor Tessaline";
constexpr const char16_t *HOME_VALUE = u"NIVOHome";

std::mutex g_location_lock;
std::string g_location; // empty: the default

std::string
location()
{
    {
        std::lock_guard guard(g_location_lock);
        if (!g_location.empty()) {
            return g_location;
        }
    }
    const char *configured = std::getenv("NIVO_REGISTRY");
    if (configured != nullptr && configured[0] != 0) {
        return configured;
    }
    char16_t base[1024];
    if (platform_base_directory(base, 1024) != 0) {
        return {};
    }
    return posix::to_utf8(base) + "/registry";
}

std::string
root_path(registry_root root)
{
    std::string place = location();
    if (place.empty() || root != REGISTRY_LOCAL_MACHINE) {
        return {};
    }
    return place + "/HKEY_LOCAL_MACHINE";
}

std::string
encode_name(const std::u16string &name)
{
    std::string utf8 = posix::to_utf8(name.c_str());
    std::string out;
    for (std::size_t i = 0; i < utf8.size(); ++i) {
        auto c = static_cast<unsigned char>(utf8[i]);
        if (c == '/' || c == '%' || c < 0x20 || c == 0x7F || (i == 0 && c == '.')) {
            static const char hex[] = "0123456789ABCDEF";
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

int
hex_value(char c)
{
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    return -1;
}

std::u16string
decode_name(const std::string &file_name)
{
    std::string utf8;
    for (std::size_t i = 0; i < file_name.size(); ++i) {
        if (file_name[i] == '%' && i + 2 < file_name.size() && hex_value(file_name[i + 1]) >= 0 &&
            hex_value(file_name[i + 2]) >= 0) {
            utf8 +=
                static_cast<char>(hex_value(file_name[i + 1]) * 16 + hex_value(file_name[i + 2]));
            i += 2;
        } else {
            utf8 += file_name[i];
        }
    }
    std::vector<char16_t> wide(utf8.size() + 1);
    if (posix::from_utf8(utf8.data(), utf8.size(), wide.data(), wide.size()) == SIZE_MAX) {
        return {};
    }
    return std::u16string(wide.data());
}

char16_t
fold(char16_t c)
{
    return c >= u'A' && c <= u'Z' ? static_cast<char16_t>(c - u'A' + u'a') : c;
}

bool
equal_nocase(const std::u16string &a, const std::u16string &b)
{
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [](char16_t x, char16_t y) { return fold(x) == fold(y); });
}

bool
less_nocase(const std::u16string &a, const std::u16string &b)
{
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(),
                                        [](char16_t x, char16_t y) { return fold(x) < fold(y); });
}

// Orders two file names as the names they stand for, without regard to case. A name of plain
// ASCII without escapes is its own text, and its bytes compare as its UTF-16 units would.
bool
file_name_less(std::string_view a, std::string_view b)
{
    auto plain = [](std::string_view file) {
        return std::all_of(file.begin(), file.end(),
                           [](char c) { return c != '%' && static_cast<unsigned char>(c) < 0x80; });
    };
    if (plain(a) && plain(b)) {
        return std::lexicographical_compare(
            a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
                return fold(static_cast<char16_t>(x)) < fold(static_cast<char16_t>(y));
            });
    }
    return less_nocase(decode_name(std::string(a)), decode_name(std::string(b)));
}

bool
is_directory(const std::string &path)
{
    struct stat info {};
    return stat(path.c_str(), &info) == 0 && S_ISDIR(info.st_mode);
}

std::u16string
folded(const std::u16string &name)
{
    std::u16string out = name;
    for (char16_t &c : out) {
        c = fold(c);
    }
    return out;
}

// The file name of name in any case.
std::string
entry_file(const std::u16string &name)
{
    return encode_name(folded(name));
}

// The file name of the entry of directory whose name equals name without regard to case, or
// empty when there is none.
std::string
find_entry(const std::string &directory, const std::u16string &name)
{
    std::string file = entry_file(name);
    struct stat info {};
    return lstat((directory + "/" + file).c_str(), &info) == 0 ? file : std::string();
}

// Writes bytes to path through a temporary file of the same directory and a rename.
int
write_atomically(const std::string &directory, const std::string &path, const char *data,
                 std::size_t size)
{
    static std::atomic<unsigned long> serial{0};
    std::string temporary = directory + "/.tmp-" + std::to_string(getpid()) + "-" +
                            std::to_string(platform_thread_id()) + "-" +
                            std::to_string(serial.fetch_add(1));
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0640);
    if (fd < 0) {
        return -1;
    }
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = write(fd, data + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            int saved = errno;
            close(fd);
            unlink(temporary.c_str());
            errno = saved;
            return -1;
        }
        done += static_cast<std::size_t>(n);
    }
    if (close(fd) != 0 || rename(temporary.c_str(), path.c_str()) != 0) {
        int saved = errno;
        unlink(temporary.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}

// The name of the key in directory/file as it was created.
std::u16string
created_name(const std::string &directory, const std::string &file)
{
    std::string kept = directory + "/" + file + "/.name";
    int fd = open(kept.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return decode_name(file);
    }
    char buffer[4 * MAX_NAME_UNITS + 1];
    ssize_t n = read(fd, buffer, sizeof buffer - 1);
    close(fd);
    if (n <= 0) {
        return decode_name(file);
    }
    std::vector<char16_t> wide(static_cast<std::size_t>(n) + 1);
    if (posix::from_utf8(buffer, static_cast<std::size_t>(n), wide.data(), wide.size()) ==
        SIZE_MAX) {
        return decode_name(file);
    }
    return std::u16string(wide.data());
}

// Splits "a\b\c" into its names; false for an empty name (EINVAL) or one over the registry's
// limit (ENAMETOOLONG).
bool
split_path(const char16_t *path, std::vector<std::u16string> *names)
{
    std::u16string current;
    for (const char16_t *p = path;; ++p) {
        if (*p == u'\\' || *p == 0) {
            if (current.empty() || current.size() > MAX_NAME_UNITS) {
                errno = current.empty() ? EINVAL : ENAMETOOLONG;
                return false;
            }
            names->push_back(current);
            current.clear();
            if (*p == 0) {
                return true;
            }
        } else {
            current += *p;
        }
    }
}

// The directory of root\path, created on the way when create is set. Empty on failure (errno).
std::string
resolve(registry_root root, const char16_t *path, bool create)
{
    std::string directory = root_path(root);
    std::vector<std::u16string> names;
    if (directory.empty() || path == nullptr) {
        errno = EINVAL;
        return {};
    }
    if (!split_path(path, &names)) {
        return {};
    }
    if (create) {
        std::string place = location();
        if ((mkdir(place.c_str(), 0750) != 0 && errno != EEXIST) ||
            (mkdir(directory.c_str(), 0750) != 0 && errno != EEXIST)) {
            return {};
        }
    }
    for (const std::u16string &name : names) {
        std::string entry = find_entry(directory, name);
        if (entry.empty()) {
            if (!create) {
                errno = ENOENT;
                return {};
            }
            entry = entry_file(name);
            if (mkdir((directory + "/" + entry).c_str(), 0750) != 0 && errno != EEXIST) {
                return {};
            }
            if (name != folded(name)) {
                std::string original = posix::to_utf8(name.c_str());
                if (write_atomically(directory + "/" + entry, directory + "/" + entry + "/.name",
                                     original.data(), original.size()) != 0) {
                    return {};
                }
            }
        }
        directory += "/" + entry;
        if (!is_directory(directory)) {
            errno = ENOTDIR;
            return {};
        }
    }
    return directory;
}

int
open_key(registry_root root, const char16_t *path, registry_key **out, bool create)
{
    if (out == nullptr) {
        errno = EINVAL;
        return -1;
    }
    *out = nullptr;
    std::string directory = resolve(root, path, create);
    if (directory.empty()) {
        return -1;
    }
    auto *key = new (std::nothrow) registry_key{};
    if (key == nullptr) {
        errno = ENOMEM;
        return -1;
    }
    key->path = std::move(directory);
    *out = key;
    return 0;
}

} // namespace

int
registry_create_key(registry_root root, const char16_t *path, registry_key **out)
{
    try {
        return open_key(root, path, out, true);
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

int
registry_open_key(registry_root root, const char16_t *path, registry_key **out)
{
    try {
        return open_key(root, path, out, false);
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

void
registry_close_key(registry_key *key)
{
    delete key; // NOLINT: the handle's only owner
}

int
registry_enum_key(registry_key *key, std::uint32_t index, char16_t *name, std::size_t capacity)
{
    if (key == nullptr || name == nullptr || capacity == 0) {
        errno = EINVAL;
        return -1;
    }
    try {
        if (index == 0) {
            key->files.clear();
            key->files.shrink_to_fit();
            key->at.clear();
            key->at.shrink_to_fit();
            DIR *dir = opendir(key->path.c_str());
            if (dir == nullptr) {
                return -1;
            }
            while (dirent *entry = readdir(dir)) {
                if (entry->d_name[0] == '.') {
                    continue;
                }
                bool directory = entry->d_type == DT_DIR ||
                                 ((entry->d_type == DT_UNKNOWN || entry->d_type == DT_LNK) &&
                                  is_directory(key->path + "/" + entry->d_name));
                if (directory) {
                    std::size_t length = std::strlen(entry->d_name);
                    key->at.emplace_back(static_cast<std::uint32_t>(key->files.size()),
                                         static_cast<std::uint32_t>(length));
                    key->files.append(entry->d_name, length);
                }
            }
            closedir(dir);
            const std::string &files = key->files;
            std::sort(key->at.begin(), key->at.end(), [&files](const auto &a, const auto &b) {
                return file_name_less(std::string_view(files).substr(a.first, a.second),
                                      std::string_view(files).substr(b.first, b.second));
            });
        }
        if (index >= key->at.size()) {
            return 1;
        }
        std::u16string found =
            created_name(key->path, key->files.substr(key->at[index].first, key->at[index].second));
        if (found.size() + 1 > capacity) {
            errno = ENAMETOOLONG;
            return -1;
        }
        std::copy(found.begin(), found.end(), name);
        name[found.size()] = 0;
        return 0;
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

int
registry_set_value_a(registry_key *key, const char16_t *value_name, const char *data,
                     std::size_t size)
{
    if (key == nullptr || value_name == nullptr || (data == nullptr && size > 0)) {
        errno = EINVAL;
        return -1;
    }
    try {
        std::string path = key->path + "/" + entry_file(value_name);
        return write_atomically(key->path, path, data, size);
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

int
registry_get_value(registry_root root, const char16_t *path, const char16_t *value_name, void *data,
                   std::size_t *size)
{
    if (path == nullptr || value_name == nullptr || data == nullptr || size == nullptr) {
        errno = EINVAL;
        return -1;
    }
    try {
        std::string directory = resolve(root, path, false);
        std::string entry;
        if (!directory.empty()) {
            entry = find_entry(directory, value_name);
        }
        if (entry.empty() || is_directory(directory + "/" + entry)) {
            // The home value is the base directory unless an installer wrote another.
            if (root == REGISTRY_LOCAL_MACHINE && equal_nocase(path, HOME_KEY) &&
                equal_nocase(value_name, HOME_VALUE)) {
                char16_t base[1024];
                if (platform_base_directory(base, 1024) != 0) {
                    return -1;
                }
                std::string text = posix::to_utf8(base);
                if (text.size() > *size) {
                    errno = ENOBUFS;
                    return -1;
                }
                std::memcpy(data, text.data(), text.size());
                *size = text.size();
                return 0;
            }
            errno = ENOENT;
            return -1;
        }
        int fd = open((directory + "/" + entry).c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) {
            return -1;
        }
        struct stat info {};
        if (fstat(fd, &info) != 0 || static_cast<std::size_t>(info.st_size) > *size) {
            close(fd);
            errno = ENOBUFS;
            return -1;
        }
        std::size_t done = 0;
        auto *bytes = static_cast<char *>(data);
        while (done < static_cast<std::size_t>(info.st_size)) {
            ssize_t n = read(fd, bytes + done, static_cast<std::size_t>(info.st_size) - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        close(fd);
        *size = done;
        return 0;
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

int
registry_delete_key(registry_key *key, const char16_t *subkey)
{
    if (key == nullptr || subkey == nullptr || subkey[0] == 0) {
        errno = EINVAL;
        return -1;
    }
    try {
        std::vector<std::u16string> names;
        if (!split_path(subkey, &names)) {
            return -1;
        }
        std::string directory = key->path;
        for (const std::u16string &name : names) {
            std::string entry = find_entry(directory, name);
            if (entry.empty()) {
                errno = ENOENT;
                return -1;
            }
            directory += "/" + entry;
        }
        DIR *dir = opendir(directory.c_str());
        if (dir == nullptr) {
            return -1;
        }
        std::vector<std::string> files;
        bool has_subkeys = false;
        while (dirent *entry = readdir(dir)) {
            std::string file = entry->d_name;
            if (file == "." || file == "..") {
                continue;
            }
            if (is_directory(directory + "/" + file)) {
                has_subkeys = true;
            } else {
                files.push_back(file);
            }
        }
        closedir(dir);
        if (has_subkeys) {
            errno = ENOTEMPTY;
            return -1;
        }
        for (const std::string &file : files) {
            unlink((directory + "/" + file).c_str());
        }
        return rmdir(directory.c_str());
    } catch (const std::exception &) {
        errno = ENOMEM;
        return -1;
    }
}

void
registry_set_location(const char16_t *directory)
{
    std::lock_guard guard(g_location_lock);
    g_location = directory != nullptr ? posix::to_utf8(directory) : std::string();
}
