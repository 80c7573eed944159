// nivo-cipher: writes secret and non-ASCII values of nivo.ini by hand, and reads them back.
//
//   nivo-cipher encipher [--key KEY] [TEXT]   the enciphered form (ACCOUNT-CREDENTIALS USERNAME
//                                             and PASSWORD, EDIRECTORY-SETTING ADMIN-USER-DN and
//                                             PASSWORD); KEY is ten characters, random when
//                                             not given
//   nivo-cipher decipher [VALUE]              the text of an enciphered value
//   nivo-cipher bytelist [TEXT]               the byte-list form (HOST-DOMAIN, HOST-DOMAIN-FQDN)
//   nivo-cipher unbytelist [VALUE]            the text of a byte-list value
//
// Without TEXT or VALUE the first line of standard input is read, so that a password need not
// stand on a command line. Texts are UTF-8. The exit status is 0 on success, 1 for a value the
// service would refuse, 2 for a usage error.

#include <cstdio>
#include <cstring>
#include <random>
#include <string>

#include "common/pc1.h"
#include "base/utf.h"
#include "config/config_parse.h"

namespace {

constexpr std::size_t MAX_PLAIN_BYTES = (CONFIG_CIPHER_VALUE_BYTES - PC1_KEY_BYTES) / 3;

int
usage()
{
    std::fputs("usage: nivo-cipher encipher [--key KEY] [TEXT]\n"
               "       nivo-cipher decipher [VALUE]\n"
               "       nivo-cipher bytelist [TEXT]\n"
               "       nivo-cipher unbytelist [VALUE]\n"
               "Without TEXT or VALUE the first line of standard input is read.\n",
               stderr);
    return 2;
}

bool
read_input_line(std::string *out)
{
    char buffer[4096];
    if (std::fgets(buffer, sizeof buffer, stdin) == nullptr) {
        return false;
    }
    out->assign(buffer);
    while (!out->empty() && (out->back() == '\n' || out->back() == '\r')) {
        out->pop_back();
    }
    return true;
}

// A key the profile file keeps as it is: letters and digits only (no blank to be trimmed, no
// apostrophe that would make the value read as a byte list).
bool
usable_key(const std::string &key)
{
    if (key.size() != PC1_KEY_BYTES) {
        return false;
    }
    for (char c : key) {
        bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
        if (!alnum) {
            return false;
        }
    }
    return true;
}

std::string
random_key()
{
    static const char alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
    std::random_device device;
    std::uniform_int_distribution<std::size_t> pick(0, sizeof alphabet - 2);
    std::string key;
    for (std::size_t i = 0; i < PC1_KEY_BYTES; ++i) {
        key.push_back(alphabet[pick(device)]);
    }
    return key;
}

std::string
to_utf8(const std::u16string &text)
{
    std::string out;
    for (std::size_t i = 0; i < text.size();) {
        std::size_t used;
        char32_t cp = utf16_decode(text.data() + i, text.size() - i, &used);
        char units[4];
        out.append(units, static_cast<std::size_t>(utf_encode<char>(cp, units)));
        i += used;
    }
    return out;
}

int
encipher(const std::string &key, const std::string &text)
{
    if (text.size() > MAX_PLAIN_BYTES) {
        std::fprintf(stderr, "nivo-cipher: the text may hold at most %zu bytes\n", MAX_PLAIN_BYTES);
        return 1;
    }
    if (text.find('\0') != std::string::npos) {
        return 1;
    }
    std::string out(PC1_KEY_BYTES + 3 * text.size() + 1, '\0');
    long n = pc1_encipher_text(reinterpret_cast<const std::uint8_t *>(key.data()),
                               reinterpret_cast<const std::uint8_t *>(text.data()), text.size(),
                               out.data(), out.size());
    if (n < 0) {
        return 1;
    }
    std::printf("%s\n", out.c_str());
    return 0;
}

int
decipher(const std::string &value)
{
    std::string plain;
    int rc = config_decipher_value(value.c_str(), &plain);
    if (rc == -1) {
        std::fprintf(stderr, "nivo-cipher: an enciphered value holds at most %zu characters\n",
                     CONFIG_CIPHER_VALUE_BYTES);
        return 1;
    }
    if (rc != 0) {
        std::fputs("nivo-cipher: an enciphered value is at least eight characters long\n", stderr);
        return 1;
    }
    std::printf("%s\n", plain.c_str());
    return 0;
}

int
bytelist(const std::string &text)
{
    std::string out;
    const auto *bytes = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t i = 0; i < text.size();) {
        std::size_t used;
        char32_t cp = utf8_decode(bytes + i, text.size() - i, &used);
        char16_t units[2];
        int k = utf_encode<char16_t>(cp, units);
        for (int u = 0; u < k; ++u) {
            out += std::to_string(units[u] & 0xff) + "'" + std::to_string(units[u] >> 8) + "'";
        }
        i += used;
    }
    std::printf("%s\n", out.c_str());
    return 0;
}

} // namespace

int
main(int argc, char **argv)
{
    if (argc < 2) {
        return usage();
    }
    std::string command = argv[1];
    int next = 2;
    std::string key;
    if (command == "encipher" && argc > next && std::strcmp(argv[next], "--key") == 0) {
        if (argc <= next + 1) {
            return usage();
        }
        key = argv[next + 1];
        if (!usable_key(key)) {
            std::fputs("nivo-cipher: the key must be ten letters or digits\n", stderr);
            return 2;
        }
        next += 2;
    }
    if (argc > next + 1) {
        return usage();
    }
    std::string input;
    if (argc == next + 1) {
        input = argv[next];
    } else if (!read_input_line(&input)) {
        return usage();
    }

    if (command == "encipher") {
        return encipher(key.empty() ? random_key() : key, input);
    }
    if (command == "decipher") {
        return decipher(input);
    }
    if (command == "bytelist") {
        return bytelist(input);
    }
    if (command == "unbytelist") {
        std::printf("%s\n", to_utf8(config_decode_bytelist(input.c_str())).c_str());
        return 0;
    }
    return usage();
}
