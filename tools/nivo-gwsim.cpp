// nivo-gwsim: an appliance (GW) as the Collector sees it, for operators and tests.
//
//   nivo-gwsim [--listen ADDRESS:PORT] [--collector ADDRESS:PORT] [--seconds N] [REQUEST...]
//
// It listens on ADDRESS:PORT (default 127.0.0.2:6060), the address and port of an appliance of
// the Collector's gw-list.ini, and prints one line for every datagram the Collector sends there:
//   logon user=alice domain=EXAMPLE group=Users address=127.0.0.10 logon-type=2
//   logout user=... domain=... group=... address=... logon-type=...   (absent items are left out)
//   heartbeat port=6677
//   active port=6677
//   bad from A.B.C.D:PORT: <what is wrong> (N bytes)
// It sends the REQUESTs of the command line in order, then those read from standard input (one
// a line), from ADDRESS (so that the Collector recognises the appliance) to the Collector's
// request server (default 127.0.0.1:6677):
//   is-active                IS_ACTIVE: the Collector becomes active for this appliance
//   get-all-users            GetAllUsers: every stored logon comes back as a logon datagram
//   poll ADDRESS             Workstation-Poll: who is logged on at ADDRESS
//   logout ADDRESS[,...]     Logout Request: the users of these workstations have logged out
//   live-nack, live-off      this appliance holds the Collector not live / live-off
//   raw HEX                  any bytes (for tests of malformed requests)
//   oversize N               N bytes that start like a GetAllUsers request
//   sleep MS                 waits MS milliseconds before the next request
// Every line is flushed at once. It stops after N seconds (default 60, at most 86400).
// Exit status: 0, 1 when the sockets cannot be opened, 2 for a usage error.

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/socket.h"
#include "sso/sso_wire.h"

namespace {

struct endpoint {
    std::uint32_t address = 0;
    std::uint16_t port = 0;
    std::string text;
};

std::mutex g_out; // one line at a time from both threads

void
say(const std::string &line)
{
    std::lock_guard guard(g_out);
    std::fputs(line.c_str(), stdout);
    std::fputc('\n', stdout);
    std::fflush(stdout);
}

int
usage()
{
    std::fputs("usage: nivo-gwsim [--listen ADDRESS:PORT] [--collector ADDRESS:PORT] "
               "[--seconds N] [REQUEST...]\n"
               "requests: is-active | get-all-users | poll ADDRESS | logout 'A','B' | live-nack |"
               " live-off | raw HEX | oversize N | sleep MS\n",
               stderr);
    return 2;
}

bool
parse_endpoint(const std::string &text, endpoint *out)
{
    std::size_t colon = text.rfind(':');
    if (colon == std::string::npos) {
        return false;
    }
    std::u16string host(text.begin(), text.begin() + static_cast<std::ptrdiff_t>(colon));
    char *end = nullptr;
    long port = std::strtol(text.c_str() + colon + 1, &end, 10);
    if (*end != 0 || port <= 0 || port > 65535 ||
        platform_ipv4_from_text(host.c_str(), &out->address) != 0) {
        return false;
    }
    out->port = static_cast<std::uint16_t>(port);
    out->text = text;
    return true;
}

std::string
ipv4_text(std::uint32_t address)
{
    return std::to_string(address >> 24) + "." + std::to_string((address >> 16) & 255) + "." +
           std::to_string((address >> 8) & 255) + "." + std::to_string(address & 255);
}

std::string
describe(const std::uint8_t *data, std::size_t length, const std::string &from)
{
    sso_update update;
    std::string error;
    if (sso_decode_update(data, length, &update, &error) != 0) {
        return "bad from " + from + ": " + error + " (" + std::to_string(length) + " bytes)";
    }
    switch (update.code) {
    case SSO_CODE_HEARTBEAT:
        return "heartbeat port=" + std::to_string(update.port);
    case SSO_CODE_ACTIVE_REPLY:
        return "active port=" + std::to_string(update.port);
    default:
        break;
    }
    std::string line = update.code == SSO_CODE_LOGON ? "logon" : "logout";
    if (update.has_user) {
        line += " user=" + update.user;
    }
    if (update.has_domain) {
        line += " domain=" + update.domain;
    }
    if (update.has_group) {
        line += " group=" + update.group;
    }
    if (update.has_wrkst_ip) {
        line += " address=" + update.wrkst_ip;
    }
    if (update.has_logon_type) {
        line += " logon-type=" + std::to_string(update.logon_type);
    }
    return line;
}

bool
parse_hex(const std::string &hex, std::vector<std::uint8_t> *out)
{
    if (hex.size() % 2 != 0) {
        return false;
    }
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        char pair[3] = {hex[i], hex[i + 1], 0};
        char *end = nullptr;
        long value = std::strtol(pair, &end, 16);
        if (*end != 0) {
            return false;
        }
        out->push_back(static_cast<std::uint8_t>(value));
    }
    return true;
}

// Builds the datagram of one request; words holds the request and its argument. An empty
// result with *wait_ms set is a pause; false for a request that cannot be read.
bool
build_request(const std::vector<std::string> &words, std::size_t *at,
              std::vector<std::uint8_t> *out, long *wait_ms)
{
    const std::string &name = words[*at];
    auto argument = [&](std::string *value) {
        if (*at + 1 >= words.size()) {
            return false;
        }
        *value = words[++*at];
        return true;
    };
    std::string value;
    *wait_ms = 0;
    out->clear();
    if (name == "is-active") {
        *out = sso_build_request(SSO_CODE_IS_ACTIVE);
    } else if (name == "get-all-users") {
        *out = sso_build_request(SSO_CODE_GETALLUSERS);
    } else if (name == "live-nack") {
        *out = sso_build_request(SSO_CODE_LIVE_NACK);
    } else if (name == "live-off") {
        *out = sso_build_request(SSO_CODE_LIVE_OFF);
    } else if (name == "poll" && argument(&value)) {
        value.push_back('\0');
        *out = sso_build_request(SSO_CODE_WRKSTPOLL, value);
    } else if (name == "logout" && argument(&value)) {
        *out = sso_build_request(SSO_CODE_LOGOUT_REQUEST, value);
    } else if (name == "raw" && argument(&value)) {
        return parse_hex(value, out) && !out->empty();
    } else if (name == "oversize" && argument(&value)) {
        long n = std::strtol(value.c_str(), nullptr, 10);
        if (n < 5 || n > 65000) {
            return false;
        }
        *out = sso_build_request(SSO_CODE_GETALLUSERS);
        out->resize(static_cast<std::size_t>(n), 'x');
    } else if (name == "sleep" && argument(&value)) {
        *wait_ms = std::strtol(value.c_str(), nullptr, 10);
        return *wait_ms >= 0 && *wait_ms <= 600000;
    } else {
        return false;
    }
    return true;
}

std::vector<std::string>
split_words(const std::string &line)
{
    std::vector<std::string> words;
    std::size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t' || line[i] == '\r')) {
            ++i;
        }
        std::size_t start = i;
        while (i < line.size() && line[i] != ' ' && line[i] != '\t' && line[i] != '\r') {
            ++i;
        }
        if (i > start) {
            words.push_back(line.substr(start, i - start));
        }
    }
    return words;
}

// Sends the requests of words; false after the first that cannot be read.
bool
send_requests(platform_socket_t sender, const std::vector<std::string> &words,
              const std::atomic<bool> &stopping)
{
    for (std::size_t at = 0; at < words.size() && !stopping; ++at) {
        std::vector<std::uint8_t> datagram;
        long wait_ms = 0;
        std::string name = words[at];
        if (!build_request(words, &at, &datagram, &wait_ms)) {
            std::fprintf(stderr, "nivo-gwsim: cannot read request '%s'\n", name.c_str());
            return false;
        }
        if (datagram.empty()) {
            std::this_thread::sleep_for(std::chrono::milliseconds(wait_ms));
            continue;
        }
        long long sent = platform_socket_send(sender, datagram.data(), datagram.size());
        if (sent < 0) {
            say("send failed: " + name + " (error " + std::to_string(platform_socket_error()) +
                ")");
        } else {
            say("sent " + name + " (" + std::to_string(datagram.size()) + " bytes)");
        }
    }
    return true;
}

} // namespace

int
main(int argc, char **argv)
{
    endpoint listen_at, collector;
    parse_endpoint("127.0.0.2:6060", &listen_at);
    parse_endpoint("127.0.0.1:6677", &collector);
    long seconds = 60;
    std::vector<std::string> requests;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--listen" && has_value) {
            if (!parse_endpoint(argv[++i], &listen_at)) {
                return usage();
            }
        } else if (arg == "--collector" && has_value) {
            if (!parse_endpoint(argv[++i], &collector)) {
                return usage();
            }
        } else if (arg == "--seconds" && has_value) {
            seconds = std::strtol(argv[++i], nullptr, 10);
            if (seconds < 1 || seconds > 86400) {
                return usage();
            }
        } else if (arg == "--help" || arg == "-h") {
            return usage();
        } else {
            requests.push_back(arg);
        }
    }

    platform_socket_startup();
    platform_socket_t receiver = platform_socket_open(false);
    platform_socket_t sender = platform_socket_open(false);
    if (receiver != PLATFORM_INVALID_SOCKET) {
        // A GetAllUsers answer arrives as one burst of a datagram per stored logon: hold as much
        // of it as the system allows rather than drop what printing has not caught up with.
        (void)platform_socket_set_receive_buffer(receiver, 16u << 20);
    }
    if (receiver == PLATFORM_INVALID_SOCKET || sender == PLATFORM_INVALID_SOCKET ||
        platform_socket_bind(receiver, listen_at.address, listen_at.port) != 0) {
        std::fprintf(stderr, "nivo-gwsim: cannot listen on %s (error %d)\n", listen_at.text.c_str(),
                     platform_socket_error());
        return 1;
    }
    // Requests leave from the appliance's own address: that is how the Collector knows it.
    if (platform_socket_bind(sender, listen_at.address, 0) != 0 ||
        platform_socket_connect(sender, collector.address, collector.port) != 0) {
        std::fprintf(stderr, "nivo-gwsim: cannot reach %s from %s (error %d)\n",
                     collector.text.c_str(), ipv4_text(listen_at.address).c_str(),
                     platform_socket_error());
        return 1;
    }
    say("listening on " + listen_at.text + ", requests to " + collector.text);

    std::atomic<bool> stopping{false};
    std::thread commands([&] {
        if (!send_requests(sender, requests, stopping)) {
            return;
        }
        char line[1024];
        while (!stopping && std::fgets(line, sizeof line, stdin) != nullptr) {
            std::string text(line);
            if (!text.empty() && text.back() == '\n') {
                text.pop_back();
            }
            (void)send_requests(sender, split_words(text), stopping);
        }
    });

    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    std::uint8_t buffer[65536];
    while (std::chrono::steady_clock::now() < deadline) {
        if (platform_socket_wait_readable(receiver, 0, 200000) != 1) {
            continue;
        }
        net_sockaddr source{};
        std::uint32_t source_length = sizeof source.bytes;
        long long n =
            platform_socket_recvfrom(receiver, buffer, sizeof buffer, &source, &source_length);
        if (n < 0) {
            continue;
        }
        std::uint32_t from = 0;
        std::uint16_t from_port = 0;
        platform_sockaddr_ipv4(source, source_length, &from, &from_port);
        say(describe(buffer, static_cast<std::size_t>(n),
                     ipv4_text(from) + ":" + std::to_string(from_port)));
    }
    stopping = true;
    // Standard input may still block the command thread: end without waiting for it.
    std::fflush(stdout);
    std::_Exit(0);
}
