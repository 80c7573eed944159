#include "support/test_support.h"

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "common/utf.h"
#include "platform/process.h"

namespace nivo_test {

temp_dir::temp_dir()
{
    std::string pattern = (std::filesystem::temp_directory_path() / "nivo-test-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    char *made = mkdtemp(buffer.data());
    path_ = made != nullptr ? made : "";
}

temp_dir::~temp_dir()
{
    std::error_code ignored;
    if (!path_.empty()) {
        std::filesystem::remove_all(path_, ignored);
    }
}

std::u16string
temp_dir::wpath(const std::string &name) const
{
    return u16(name.empty() ? path_ : file(name));
}

std::string
read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    std::ostringstream all;
    all << in.rdbuf();
    return all.str();
}

bool
write_file(const std::string &path, const std::string &bytes)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    return static_cast<bool>(out);
}

bool
file_exists(const std::string &path)
{
    return std::filesystem::exists(path);
}

long long
file_size(const std::string &path)
{
    std::error_code error;
    auto size = std::filesystem::file_size(path, error);
    return error ? -1 : static_cast<long long>(size);
}

std::u16string
u16(const std::string &utf8)
{
    std::u16string out;
    for (std::size_t i = 0; i < utf8.size();) {
        std::size_t used;
        char32_t cp = utf8_decode(reinterpret_cast<const unsigned char *>(utf8.data()) + i,
                                  utf8.size() - i, &used);
        char16_t units[2];
        int n = utf_encode<char16_t>(cp, units);
        out.append(units, static_cast<std::size_t>(n));
        i += used;
    }
    return out;
}

std::string
u8(const std::u16string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t used;
        char32_t cp = utf16_decode(text.data() + i, text.size() - i, &used);
        char units[4];
        int n = utf_encode<char>(cp, units);
        out.append(units, static_cast<std::size_t>(n));
        i += used;
    }
    return out;
}

std::string
utf16le_to_utf8(const std::string &bytes)
{
    std::u16string units;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        units.push_back(static_cast<char16_t>(static_cast<unsigned char>(bytes[i]) |
                                              static_cast<unsigned char>(bytes[i + 1]) << 8));
    }
    return u8(units);
}

std::string
utf8_to_utf16le(const std::string &text)
{
    std::string out;
    for (char16_t u : u16(text)) {
        out.push_back(static_cast<char>(u & 0xFF));
        out.push_back(static_cast<char>(u >> 8));
    }
    return out;
}

std::vector<std::string>
log_lines(const std::string &path)
{
    std::string text = utf16le_to_utf8(read_file(path));
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (true) {
        std::size_t next = text.find("\r\n", start);
        std::string piece = text.substr(start, next == std::string::npos ? std::string::npos
                                                                         : next - start);
        if (start != 0 || !piece.empty()) {
            lines.push_back(piece);
        }
        if (next == std::string::npos) {
            break;
        }
        start = next + 2;
    }
    return lines;
}

namespace {
bool g_in_namespace = false;
}

bool
enter_network_namespace()
{
    if (g_in_namespace) {
        return true;
    }
    if (geteuid() != 0 || unshare(CLONE_NEWNET) != 0) {
        std::perror("enter_network_namespace: unshare(CLONE_NEWNET) needs root");
        return false;
    }
    const char *argv[] = {"/usr/sbin/ip", "link", "set", "lo", "up", nullptr};
    const char *env[] = {nullptr};
    platform_process_options options{argv, env, nullptr, nullptr, nullptr};
    platform_process *ip = platform_process_start(options);
    int status = -1;
    if (ip == nullptr || platform_process_wait(ip, 10000, &status) != 0 || status != 0) {
        std::fprintf(stderr, "enter_network_namespace: ip link set lo up failed\n");
        platform_process_close(ip);
        return false;
    }
    platform_process_close(ip);
    g_in_namespace = true;
    return true;
}

bool
in_network_namespace()
{
    return g_in_namespace;
}

} // namespace nivo_test
