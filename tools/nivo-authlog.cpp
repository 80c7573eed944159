// nivo-authlog: appends authentication audit lines, in the form a Samba domain controller writes
// them, to an audit log, so that the DC Agent's event-log mode can be tried and tested without a
// domain controller.
//
//   nivo-authlog [-f FILE] [--count N] [--fail] kerberos USER DOMAIN ADDRESS
//   nivo-authlog [-f FILE] [--count N] [--fail] ntlm USER DOMAIN WORKSTATION
//
// kerberos writes a ticket request from ADDRESS (IPv4 or IPv6), ntlm a logon from the named
// workstation. --fail writes a failed logon (wrong password). --count N writes N lines: the
// user gets the suffix 1 to N, and an IPv4 address counts up from the one given (a workstation
// name gets the suffix too). Each line is appended with one write, so lines of other writers
// are never torn. FILE defaults to /var/log/samba/auth_json.log.

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

namespace {

void
usage()
{
    std::fprintf(
        stderr,
        "usage: nivo-authlog [-f FILE] [--count N] [--fail] kerberos USER DOMAIN ADDRESS\n"
        "       nivo-authlog [-f FILE] [--count N] [--fail] ntlm USER DOMAIN WORKSTATION\n");
}

// A JSON string literal for text (UTF-8 passes through; control characters are escaped).
std::string
quoted(const std::string &text)
{
    std::string out = "\"";
    for (unsigned char c : text) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c < 0x20) {
            char escape[8];
            std::snprintf(escape, sizeof escape, "\\u%04x", c);
            out += escape;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out + "\"";
}

bool
parse_ipv4(const std::string &text, unsigned long *value)
{
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text.c_str(), "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 ||
        b > 255 || c > 255 || d > 255) {
        return false;
    }
    *value = (static_cast<unsigned long>(a) << 24) | (b << 16) | (c << 8) | d;
    return true;
}

std::string
ipv4_text(unsigned long value)
{
    char text[16];
    std::snprintf(text, sizeof text, "%lu.%lu.%lu.%lu", (value >> 24) & 255, (value >> 16) & 255,
                  (value >> 8) & 255, value & 255);
    return text;
}

std::string
timestamp_now()
{
    auto now = std::chrono::system_clock::now();
    auto micros =
        std::chrono::duration_cast<std::chrono::microseconds>(now.time_since_epoch()).count();
    std::time_t seconds = static_cast<std::time_t>(micros / 1000000);
    std::tm utc{};
    gmtime_r(&seconds, &utc);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%06ld+0000", utc.tm_year + 1900,
                  utc.tm_mon + 1, utc.tm_mday, utc.tm_hour, utc.tm_min, utc.tm_sec,
                  static_cast<long>(micros % 1000000));
    return text;
}

std::string
kerberos_line(const std::string &user, const std::string &domain, const std::string &address,
              bool fail, unsigned port)
{
    bool v6 = address.find(':') != std::string::npos;
    std::string remote = (v6 ? "ipv6:" : "ipv4:") + address + ":" + std::to_string(port);
    return "  {\"timestamp\": " + quoted(timestamp_now()) +
           ", \"type\": \"Authentication\", \"Authentication\": {\"version\": {\"major\": 1, "
           "\"minor\": 2}, \"eventId\": " +
           (fail ? "4625" : "4624") + ", \"logonType\": 3, \"status\": " +
           quoted(fail ? "NT_STATUS_WRONG_PASSWORD" : "NT_STATUS_OK") +
           ", \"localAddress\": null, \"remoteAddress\": " + quoted(remote) +
           ", \"serviceDescription\": \"Kerberos KDC\", \"authDescription\": \"ENC-TS "
           "Pre-authentication\", \"clientDomain\": null, \"clientAccount\": " +
           quoted(user + "@" + domain) +
           ", \"workstation\": null, \"becameAccount\": " + quoted(user) +
           ", \"becameDomain\": " + quoted(domain) + ", \"mappedAccount\": " + quoted(user) +
           ", \"mappedDomain\": " + quoted(domain) +
           ", \"passwordType\": \"aes256-cts-hmac-sha1-96\", \"duration\": 1000}}\n";
}

std::string
ntlm_line(const std::string &user, const std::string &domain, const std::string &workstation,
          bool fail, unsigned port)
{
    return "  {\"timestamp\": " + quoted(timestamp_now()) +
           ", \"type\": \"Authentication\", \"Authentication\": {\"version\": {\"major\": 1, "
           "\"minor\": 2}, \"eventId\": " +
           (fail ? "4625" : "4624") + ", \"logonType\": 3, \"status\": " +
           quoted(fail ? "NT_STATUS_WRONG_PASSWORD" : "NT_STATUS_OK") +
           ", \"localAddress\": \"ipv4:127.0.0.1:445\", \"remoteAddress\": " +
           quoted("ipv4:127.0.0.1:" + std::to_string(port)) +
           ", \"serviceDescription\": \"SMB2\", \"authDescription\": \"NTLMSSP\", "
           "\"clientDomain\": " +
           quoted(domain) + ", \"clientAccount\": " + quoted(user) +
           ", \"workstation\": " + quoted(workstation) + ", \"becameAccount\": " + quoted(user) +
           ", \"becameDomain\": " + quoted(domain) +
           ", \"passwordType\": \"NTLMv2\", \"duration\": 1000}}\n";
}

} // namespace

int
main(int argc, char **argv)
{
    std::string file = "/var/log/samba/auth_json.log";
    unsigned long count = 1;
    bool fail = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string option = argv[i];
        if (option == "-f" && i + 1 < argc) {
            file = argv[++i];
        } else if (option == "--count" && i + 1 < argc) {
            char *end = nullptr;
            count = std::strtoul(argv[++i], &end, 10);
            if (end == argv[i] || *end != 0 || count == 0 || count > 100000000) {
                std::fprintf(stderr, "nivo-authlog: --count takes a number from 1 to 100000000\n");
                return 2;
            }
        } else if (option == "--fail") {
            fail = true;
        } else {
            usage();
            return 2;
        }
    }
    if (argc - i != 4) {
        usage();
        return 2;
    }
    std::string kind = argv[i];
    std::string user = argv[i + 1];
    std::string domain = argv[i + 2];
    std::string where = argv[i + 3];
    if ((kind != "kerberos" && kind != "ntlm") || user.empty() || domain.empty() || where.empty()) {
        usage();
        return 2;
    }
    unsigned long first_address = 0;
    bool counting_address = kind == "kerberos" && count > 1 && parse_ipv4(where, &first_address);
    if (kind == "kerberos" && count > 1 && !counting_address) {
        std::fprintf(stderr, "nivo-authlog: --count with kerberos needs an IPv4 address\n");
        return 2;
    }

    std::FILE *out = std::fopen(file.c_str(), "a");
    if (out == nullptr) {
        std::fprintf(stderr, "nivo-authlog: cannot open '%s': %s\n", file.c_str(),
                     std::strerror(errno));
        return 1;
    }
    for (unsigned long n = 1; n <= count; ++n) {
        std::string name = count > 1 ? user + std::to_string(n) : user;
        unsigned port = 49152 + static_cast<unsigned>(n % 16384);
        std::string line;
        if (kind == "kerberos") {
            std::string address =
                counting_address ? ipv4_text((first_address + n - 1) & 0xFFFFFFFFul) : where;
            line = kerberos_line(name, domain, address, fail, port);
        } else {
            std::string workstation = count > 1 ? where + std::to_string(n) : where;
            line = ntlm_line(name, domain, workstation, fail, port);
        }
        // One write per line: the stream is flushed after each whole line.
        if (std::fwrite(line.data(), 1, line.size(), out) != line.size() || std::fflush(out) != 0) {
            std::fprintf(stderr, "nivo-authlog: cannot write '%s': %s\n", file.c_str(),
                         std::strerror(errno));
            std::fclose(out);
            return 1;
        }
    }
    if (std::fclose(out) != 0) {
        std::fprintf(stderr, "nivo-authlog: cannot write '%s': %s\n", file.c_str(),
                     std::strerror(errno));
        return 1;
    }
    return 0;
}
