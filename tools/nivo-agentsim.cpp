// nivo-agentsim: plays DC Agents towards a Collector. Each connection runs the handshake and
// sends enciphered DATA messages with made-up logons, the way an agent does, so that a Collector
// can be checked, tested and measured without a domain controller.
//
//   nivo-agentsim [options]
//     -a, --address A        the Collector's IPv4 address (127.0.0.1)
//     -p, --port P           its agent port (5566)
//     -c, --connections N    agent connections, each on a thread of its own (1)
//     -n, --records N        records in all, shared out among the connections (100)
//     -r, --rate R           records per second in all; 0 sends as fast as possible (0)
//     -i, --first-ip A       the first workstation address; each record takes the next one
//                            (127.1.0.1); keep it inside 127.0.0.0/8
//     -u, --user PREFIX      user names are PREFIX<connection>-<record> (simuser)
//     -d, --domain D         the logons' domain (SIM)
//     -f, --flags F          the records' Flags: 1 for logons, 10 for logout notices (1)
//     -m, --mode M           what to send:
//            data            well-formed logons (the default)
//            clear           logons with a payload in clear (encryption type 1)
//            garbage         random bytes instead of a handshake
//            bad-request     a REQUEST with message type 2
//            wrong-crypto    a REQUEST asking for encryption type 1
//            bad-header      after the handshake a header with message type 7
//            huge-length     after the handshake a DATA header announcing 4 GiB
//            truncated       after the handshake half a DATA message, then the close
//            bad-payload     before each record a payload enciphered with another key
//            bad-offsets     before each record a payload whose offsets point past its end
//     -q, --quiet            only the summary line
//   Many agents from one thread (instead of -n, -r and -m):
//     -e, --every S          each of the connections sends one logon every S seconds, the
//                            connections spread evenly over those seconds
//     -l, --idle M           M more connections that only run the handshake (0)
//     -t, --duration S       how long the logons go on, in seconds (30)
//   With --every, --connections may be up to 20000; the connections are made one after the other.
//
// It prints one line per connection and a summary with the rate. The exit status is 0 when every
// connection did what was asked, 1 otherwise (a refused handshake counts as done for the modes
// that provoke it).

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "common/crypto.h"
#include "common/net.h"
#include "common/text.h"
#include "dcalink/dcalink_protocol.h"
#include "platform/system.h"

namespace {

enum class sim_mode {
    data,
    clear,
    garbage,
    bad_request,
    wrong_crypto,
    bad_header,
    huge_length,
    truncated,
    bad_payload,
    bad_offsets,
};

struct sim_options {
    std::string address = "127.0.0.1";
    unsigned port = 5566;
    unsigned connections = 1;
    unsigned long records = 100;
    double rate = 0;
    std::uint32_t first_ip = (127u << 24) | (1u << 16) | 1u;
    std::string user = "simuser";
    std::string domain = "SIM";
    int flags = 1;
    sim_mode mode = sim_mode::data;
    bool quiet = false;
    double every = 0; // 0: a thread per connection sends its share of --records
    unsigned idle = 0;
    double duration = 30;
};

struct sim_result {
    unsigned long sent = 0;
    bool ok = false;
    std::string note;
};

std::u16string
wide(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

std::string
ipv4_text(std::uint32_t ip)
{
    return std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
           std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
}

bool
parse_ipv4(const char *text, std::uint32_t *out)
{
    unsigned a, b, c, d;
    char tail;
    if (std::sscanf(text, "%u.%u.%u.%u%c", &a, &b, &c, &d, &tail) != 4 || a > 255 || b > 255 ||
        c > 255 || d > 255) {
        return false;
    }
    *out = (a << 24) | (b << 16) | (c << 8) | d;
    return true;
}

bool
send_all(net_handle *handle, const void *data, std::size_t length)
{
    return net_send(handle, data, length) == 1;
}

// The handshake as an agent runs it: 1 accepted, 0 refused (closed), -1 failed.
int
handshake(net_handle *handle, std::uint8_t type, std::uint8_t encryption)
{
    std::uint8_t header[DCALINK_HEADER_SIZE];
    dcalink_build_handshake(header, type, encryption);
    if (!send_all(handle, header, sizeof header)) {
        return -1;
    }
    std::uint8_t response[DCALINK_HEADER_SIZE];
    std::size_t have = 0;
    while (have < sizeof response) {
        long long n = net_recv(handle, response + have, sizeof response - have);
        if (n == 0) {
            return 0;
        }
        if (n < 0) {
            return -1;
        }
        have += static_cast<std::size_t>(n);
    }
    dcalink_header parsed = dcalink_parse_header(response);
    return parsed.type == DCALINK_MSG_RESPONSE && parsed.encryption == DCALINK_ENCRYPTION_RC4 ? 1
                                                                                              : -1;
}

// Whether the Collector closed the connection (within a few seconds).
bool
closed_by_peer(net_handle *handle)
{
    net_set_recv_timeout(handle, 5, 0);
    std::uint8_t byte;
    return net_recv(handle, &byte, 1) == 0;
}

// One DATA message (header and payload in one buffer) for the record number index.
std::vector<std::uint8_t>
data_message(const sim_options &o, crypto_handle *crypto, unsigned connection, unsigned long index,
             std::uint32_t ip, bool clear)
{
    std::u16string user = wide(o.user + std::to_string(connection) + "-" + std::to_string(index));
    std::u16string domain = wide(o.domain);
    std::u16string address = wide(ipv4_text(ip));
    std::u16string name = wide("SIMWS" + std::to_string(index));
    auto now = static_cast<std::int32_t>(std::time(nullptr));
    dcalink_record record{now,     now + 600,    2,
                          o.flags, user.c_str(), domain.c_str(),
                          nullptr, name.c_str(), o.flags == 10 ? nullptr : address.c_str()};
    std::vector<std::uint8_t> message(DCALINK_HEADER_SIZE + DCALINK_PAYLOAD_MAX);
    std::size_t length =
        dcalink_serialize(record, message.data() + DCALINK_HEADER_SIZE, DCALINK_PAYLOAD_MAX);
    if (!clear) {
        (void)crypto_encrypt_data(crypto, message.data() + DCALINK_HEADER_SIZE, length);
    }
    dcalink_build_data_header(message.data(),
                              clear ? DCALINK_ENCRYPTION_NONE : DCALINK_ENCRYPTION_RC4,
                              static_cast<std::uint32_t>(length));
    message.resize(DCALINK_HEADER_SIZE + length);
    return message;
}

// A message that the Collector must refuse without ending the connection.
std::vector<std::uint8_t>
bad_message(sim_mode mode, crypto_handle *crypto, std::mt19937 &random)
{
    std::vector<std::uint8_t> payload(80);
    if (mode == sim_mode::bad_payload) {
        // Bytes enciphered with another key decipher to nothing readable.
        for (auto &b : payload) {
            b = static_cast<std::uint8_t>(random());
        }
    } else {
        for (std::size_t i = 20; i < 40; i += 4) {
            std::uint32_t far = 0x7FFFFFF0u;
            std::memcpy(payload.data() + i, &far, 4);
        }
        (void)crypto_encrypt_data(crypto, payload.data(), payload.size());
    }
    std::vector<std::uint8_t> message(DCALINK_HEADER_SIZE);
    dcalink_build_data_header(message.data(), DCALINK_ENCRYPTION_RC4,
                              static_cast<std::uint32_t>(payload.size()));
    message.insert(message.end(), payload.begin(), payload.end());
    return message;
}

sim_result
run_connection(const sim_options &o, crypto_handle *crypto, unsigned connection,
               unsigned long first, unsigned long count)
{
    sim_result r;
    std::u16string address = wide(o.address);
    net_handle *handle =
        net_init(address.c_str(), static_cast<std::uint16_t>(o.port), NET_MODE_CLIENT);
    if (handle == nullptr || net_open(handle, NET_TRANSPORT_TCP) != 0) {
        r.note = "cannot connect";
        net_fini(handle);
        return r;
    }
    std::mt19937 random(connection + 1);
    switch (o.mode) {
    case sim_mode::garbage: {
        std::vector<std::uint8_t> junk(4096);
        for (auto &b : junk) {
            b = static_cast<std::uint8_t>(random());
        }
        junk[0] = 0x55; // never a REQUEST
        send_all(handle, junk.data(), junk.size());
        r.ok = closed_by_peer(handle);
        r.note = r.ok ? "garbage refused" : "garbage not refused";
        net_fini(handle);
        return r;
    }
    case sim_mode::bad_request:
    case sim_mode::wrong_crypto: {
        int rc = o.mode == sim_mode::bad_request
                     ? handshake(handle, DCALINK_MSG_RESPONSE, DCALINK_ENCRYPTION_RC4)
                     : handshake(handle, DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_NONE);
        r.ok = rc == 0;
        r.note = r.ok ? "handshake refused" : "handshake not refused";
        net_fini(handle);
        return r;
    }
    default:
        break;
    }
    if (handshake(handle, DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4) != 1) {
        r.note = "handshake failed";
        net_fini(handle);
        return r;
    }
    if (o.mode == sim_mode::bad_header || o.mode == sim_mode::huge_length ||
        o.mode == sim_mode::truncated) {
        std::uint8_t header[DCALINK_HEADER_SIZE];
        if (o.mode == sim_mode::bad_header) {
            dcalink_build_data_header(header, DCALINK_ENCRYPTION_RC4, 80);
            header[0] = 7;
            send_all(handle, header, sizeof header);
        } else if (o.mode == sim_mode::huge_length) {
            dcalink_build_data_header(header, DCALINK_ENCRYPTION_RC4, 0xFFFFFFF0u);
            send_all(handle, header, sizeof header);
            std::uint8_t some[256] = {};
            send_all(handle, some, sizeof some);
        } else {
            std::vector<std::uint8_t> message =
                data_message(o, crypto, connection, first, o.first_ip + first, false);
            send_all(handle, message.data(), message.size() / 2);
            net_fini(handle);
            r.ok = true;
            r.note = "half a message sent";
            return r;
        }
        r.ok = closed_by_peer(handle);
        r.note = r.ok ? "connection ended by the Collector" : "connection not ended";
        net_fini(handle);
        return r;
    }
    auto start = std::chrono::steady_clock::now();
    double per_connection_rate = o.rate / o.connections;
    for (unsigned long k = 0; k < count; ++k) {
        unsigned long index = first + k * o.connections;
        if (per_connection_rate > 0) {
            auto due = start + std::chrono::duration<double>(k / per_connection_rate);
            std::this_thread::sleep_until(due);
        }
        if (o.mode == sim_mode::bad_payload || o.mode == sim_mode::bad_offsets) {
            std::vector<std::uint8_t> bad = bad_message(o.mode, crypto, random);
            if (!send_all(handle, bad.data(), bad.size())) {
                r.note = "send failed";
                net_fini(handle);
                return r;
            }
        }
        std::vector<std::uint8_t> message =
            data_message(o, crypto, connection, index,
                         o.first_ip + static_cast<std::uint32_t>(index), o.mode == sim_mode::clear);
        if (!send_all(handle, message.data(), message.size())) {
            r.note = "send failed";
            net_fini(handle);
            return r;
        }
        ++r.sent;
    }
    net_fini(handle);
    r.ok = true;
    r.note = "records sent";
    return r;
}

// A handshaken agent connection, or null (told on standard error).
net_handle *
open_agent(const sim_options &o)
{
    std::u16string address = wide(o.address);
    net_handle *handle =
        net_init(address.c_str(), static_cast<std::uint16_t>(o.port), NET_MODE_CLIENT);
    if (handle == nullptr || net_open(handle, NET_TRANSPORT_TCP) != 0) {
        std::fprintf(stderr, "nivo-agentsim: cannot connect\n");
        net_fini(handle);
        return nullptr;
    }
    net_set_recv_timeout(handle, 10, 0);
    if (handshake(handle, DCALINK_MSG_REQUEST, DCALINK_ENCRYPTION_RC4) != 1) {
        std::fprintf(stderr, "nivo-agentsim: handshake failed\n");
        net_fini(handle);
        return nullptr;
    }
    return handle;
}

// --every: all connections from this thread, each sending a logon every o.every seconds for
// o.duration seconds, and the idle ones holding their connection meanwhile. 0 when everything
// was connected and sent.
int
run_steady(const sim_options &o, crypto_handle *crypto)
{
    std::size_t descriptors = 0;
    (void)platform_raise_descriptor_limit(&descriptors);
    if (descriptors < static_cast<std::size_t>(o.connections) + o.idle + 16) {
        std::fprintf(stderr, "nivo-agentsim: only %zu descriptors for %u connections\n",
                     descriptors, o.connections + o.idle);
        return 1;
    }
    auto begin = std::chrono::steady_clock::now();
    std::vector<net_handle *> agents;
    bool ok = true;
    for (unsigned c = 0; c < o.connections + o.idle && ok; ++c) {
        net_handle *h = open_agent(o);
        ok = h != nullptr;
        if (ok) {
            agents.push_back(h);
        }
    }
    double connect_seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    if (!ok) {
        std::fprintf(stderr, "nivo-agentsim: %zu of %u connections made in %.3f s\n", agents.size(),
                     o.connections + o.idle, connect_seconds);
    }
    unsigned long sent = 0;
    unsigned long failed = 0;
    auto start = std::chrono::steady_clock::now();
    unsigned long rounds = ok ? static_cast<unsigned long>(o.duration / o.every + 0.999999) : 0;
    for (unsigned long k = 0; k < rounds; ++k) {
        for (unsigned c = 0; c < o.connections; ++c) {
            if (agents[c] == nullptr) {
                continue;
            }
            double at = o.every * (static_cast<double>(k) + static_cast<double>(c) / o.connections);
            std::this_thread::sleep_until(start + std::chrono::duration<double>(at));
            unsigned long index = k * o.connections + c;
            std::vector<std::uint8_t> message = data_message(
                o, crypto, c, k, o.first_ip + static_cast<std::uint32_t>(index), false);
            if (send_all(agents[c], message.data(), message.size())) {
                ++sent;
            } else {
                ++failed;
                net_fini(agents[c]);
                agents[c] = nullptr;
            }
        }
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    for (net_handle *h : agents) {
        net_fini(h);
    }
    std::printf("nivo-agentsim: %lu records sent on %u connections (%u idle besides) in %.3f s, "
                "%lu failed sends; connected in %.3f s\n",
                sent, o.connections, o.idle, seconds, failed, connect_seconds);
    return ok && failed == 0 ? 0 : 1;
}

bool
parse_mode(const std::string &text, sim_mode *mode)
{
    static const struct {
        const char *name;
        sim_mode mode;
    } modes[] = {{"data", sim_mode::data},
                 {"clear", sim_mode::clear},
                 {"garbage", sim_mode::garbage},
                 {"bad-request", sim_mode::bad_request},
                 {"wrong-crypto", sim_mode::wrong_crypto},
                 {"bad-header", sim_mode::bad_header},
                 {"huge-length", sim_mode::huge_length},
                 {"truncated", sim_mode::truncated},
                 {"bad-payload", sim_mode::bad_payload},
                 {"bad-offsets", sim_mode::bad_offsets}};
    for (const auto &m : modes) {
        if (text == m.name) {
            *mode = m.mode;
            return true;
        }
    }
    return false;
}

void
usage()
{
    std::fprintf(stderr,
                 "usage: nivo-agentsim [-a ADDRESS] [-p PORT] [-c CONNECTIONS] [-n RECORDS]\n"
                 "                     [-r RATE] [-i FIRST-IP] [-u USER-PREFIX] [-d DOMAIN]\n"
                 "                     [-f FLAGS] [-m MODE] [-q]\n"
                 "       nivo-agentsim [-a ADDRESS] [-p PORT] [-c CONNECTIONS] -e SECONDS\n"
                 "                     [-l IDLE] [-t DURATION] [-i FIRST-IP] [-u USER-PREFIX]\n"
                 "modes: data clear garbage bad-request wrong-crypto bad-header huge-length\n"
                 "       truncated bad-payload bad-offsets\n");
}

bool
parse_arguments(int argc, char **argv, sim_options *o)
{
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "-q" || a == "--quiet") {
            o->quiet = true;
            continue;
        }
        if (i + 1 >= argc) {
            return false;
        }
        const char *v = argv[++i];
        char *end = nullptr;
        if (a == "-a" || a == "--address") {
            std::uint32_t ip;
            if (!parse_ipv4(v, &ip)) {
                return false;
            }
            o->address = v;
        } else if (a == "-p" || a == "--port") {
            unsigned long port = std::strtoul(v, &end, 10);
            if (*end != 0 || port == 0 || port > 65535) {
                return false;
            }
            o->port = static_cast<unsigned>(port);
        } else if (a == "-c" || a == "--connections") {
            unsigned long n = std::strtoul(v, &end, 10);
            if (*end != 0 || n == 0 || n > 20000) {
                return false;
            }
            o->connections = static_cast<unsigned>(n);
        } else if (a == "-n" || a == "--records") {
            o->records = std::strtoul(v, &end, 10);
            if (*end != 0 || o->records > 16000000) {
                return false;
            }
        } else if (a == "-r" || a == "--rate") {
            o->rate = std::strtod(v, &end);
            if (*end != 0 || o->rate < 0) {
                return false;
            }
        } else if (a == "-i" || a == "--first-ip") {
            if (!parse_ipv4(v, &o->first_ip) || (o->first_ip >> 24) != 127) {
                std::fprintf(stderr, "nivo-agentsim: workstation addresses stay in 127.0.0.0/8\n");
                return false;
            }
        } else if (a == "-u" || a == "--user") {
            o->user = v;
        } else if (a == "-d" || a == "--domain") {
            o->domain = v;
        } else if (a == "-f" || a == "--flags") {
            o->flags = static_cast<int>(std::strtol(v, &end, 10));
            if (*end != 0) {
                return false;
            }
        } else if (a == "-e" || a == "--every") {
            o->every = std::strtod(v, &end);
            if (*end != 0 || !(o->every > 0) || o->every > 3600) {
                return false;
            }
        } else if (a == "-l" || a == "--idle") {
            unsigned long n = std::strtoul(v, &end, 10);
            if (*end != 0 || n > 20000) {
                return false;
            }
            o->idle = static_cast<unsigned>(n);
        } else if (a == "-t" || a == "--duration") {
            o->duration = std::strtod(v, &end);
            if (*end != 0 || !(o->duration > 0) || o->duration > 3600) {
                return false;
            }
        } else if (a == "-m" || a == "--mode") {
            if (!parse_mode(v, &o->mode)) {
                return false;
            }
        } else {
            return false;
        }
    }
    // A thread per connection only up to 1024; more need --every.
    return o->every > 0 || (o->connections <= 1024 && o->idle == 0);
}

} // namespace

int
main(int argc, char **argv)
{
    sim_options o;
    if (!parse_arguments(argc, argv, &o)) {
        usage();
        return 2;
    }
    if (o.every > 0) {
        o.records = static_cast<unsigned long>(o.duration / o.every + 1) * o.connections;
    }
    // Workstation addresses must stay inside the loopback network.
    if (o.first_ip + o.records < o.first_ip || ((o.first_ip + o.records) >> 24) != 127) {
        std::fprintf(stderr, "nivo-agentsim: too many records for 127.0.0.0/8 from %s\n",
                     ipv4_text(o.first_ip).c_str());
        return 2;
    }
    crypto_handle *crypto = crypto_open();
    if (crypto == nullptr) {
        std::fprintf(stderr, "nivo-agentsim: the link's key cannot be derived\n");
        return 1;
    }
    if (o.every > 0) {
        int rc = run_steady(o, crypto);
        crypto_close(crypto);
        return rc;
    }
    std::vector<sim_result> results(o.connections);
    std::vector<std::thread> threads;
    auto start = std::chrono::steady_clock::now();
    for (unsigned c = 0; c < o.connections; ++c) {
        unsigned long count = o.records / o.connections + (c < o.records % o.connections ? 1 : 0);
        threads.emplace_back(
            [&, c, count] { results[c] = run_connection(o, crypto, c, c, count); });
    }
    for (auto &t : threads) {
        t.join();
    }
    double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    unsigned long sent = 0;
    bool ok = true;
    for (unsigned c = 0; c < o.connections; ++c) {
        sent += results[c].sent;
        ok = ok && results[c].ok;
        if (!o.quiet) {
            std::printf("connection %u: %s, %lu records\n", c, results[c].note.c_str(),
                        results[c].sent);
        }
    }
    std::printf("nivo-agentsim: %lu records sent on %u connections in %.3f s: %.0f records/s\n",
                sent, o.connections, seconds, seconds > 0 ? sent / seconds : 0.0);
    crypto_close(crypto);
    return ok ? 0 : 1;
}
