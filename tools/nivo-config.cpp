// nivo-config: the operator's configuration tool. It pushes a complete set of configuration files
// to an installation's configuration receiver, and asks an installation's connectivity responder
// which roles it runs.
//
//   nivo-config push HOST DIR --type AGENT|COLLECTOR|SUITE
//   nivo-config ask HOST
//
// HOST is a dotted IPv4 address or a host name (its first IPv4 address is used).
//
// push connects to TCP 27015 and sends, as messages: the push type text, then for each of the
// nine files below, in this order, "STARTFILE", the file's content and "ENDFILE". Control
// messages (type, STARTFILE, ENDFILE) carry a 0x00 byte behind their text. Content goes in data
// messages of at most 512 bytes. user-exclusion-list.ini travels as UTF-16LE: its first data
// message holds up to 255 units and a 0x0000 unit (the receiver reads that one message as UTF-16
// text), the units beyond go on as plain bytes in further data messages, which the receiver
// appends as they come. DIR's user-exclusion-list.ini is UTF-16LE with its byte-order mark, as
// the service keeps it, or UTF-8; the byte-order mark is not sent. The receiver writes the files
// the push type is meant for and discards the others, but every file is sent.
//
// A file missing in DIR refuses the push before it connects, except where its content cannot
// matter: a file the push type discards, and ip-exclusion-list.ini, which the service does not
// read; those go empty. Sending an empty file in place of a missing one would wipe that list on
// the installation. Refused as well, before connecting: content with a 0x00 byte (0x0000 unit
// in the UTF-16 file), where the receiver would cut the file; a piece that would read as a
// control message; a file over 1 MiB, which the receiver does not take.
//
// The receiver takes each receive on the connection as one message and acknowledges nothing, so
// two messages that wait together in its socket would be read as one. After each send the tool
// therefore waits until the peer's system has acknowledged every byte (the socket's count of
// unacknowledged bytes falls to 0), which covers the way there whatever the network, and then
// leaves the receiver a gap to take the message before the next one arrives: 20 ms, and 200 ms
// after ENDFILE, when the receiver writes a file. A fixed pause alone would have to guess the
// round trip as well.
//
// ask sends the questions 108 (DC agent role), 109 (Collector role) and 110 (install type) over
// UDP to port 50001, each from a socket of its own so that a late answer cannot pass for the
// next one, and prints one line per question; a question unanswered within 3 seconds prints
// "no answer".
//
// Exit status: 0 pushed, or at least one answer; 1 failed, or no answer at all; 2 usage.

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "base/utf.h"
#include "common/net.h"
#include "config/connectivity.h"
#include "platform/resolver.h"
#include "platform/socket.h"

namespace {

constexpr std::uint16_t RECEIVER_PORT = 27015;
constexpr std::size_t MESSAGE_BYTES = 512;
constexpr std::size_t FILE_LIMIT = 1024 * 1024;
constexpr int GAP_MS = 20;
constexpr int ENDFILE_GAP_MS = 200;
constexpr int ACK_WAIT_MS = 10000;
constexpr std::uint32_t ANSWER_WAIT_SECONDS = 3;

// Push types as the receiver numbers them, and as a bit each in push_file::written_for.
enum : unsigned { TYPE_AGENT = 1, TYPE_COLLECTOR = 2, TYPE_SUITE = 3 };
constexpr unsigned
bit(unsigned type)
{
    return 1u << type;
}

struct push_file {
    const char *name;
    unsigned written_for; // the push types whose receiver writes it
    bool utf16;
    bool read_by_nobody;
};

constexpr unsigned ALL = bit(TYPE_AGENT) | bit(TYPE_COLLECTOR) | bit(TYPE_SUITE);
constexpr unsigned AGENT_FILES = bit(TYPE_AGENT) | bit(TYPE_SUITE);
constexpr unsigned COLLECTOR_FILES = bit(TYPE_COLLECTOR) | bit(TYPE_SUITE);

// The receiver's order.
constexpr push_file PUSH_FILES[] = {
    {"nivo.ini", ALL, false, false},
    {"coll-list.ini", AGENT_FILES, false, false},
    {"authnet-list.ini", AGENT_FILES, false, false},
    {"gw-list.ini", COLLECTOR_FILES, false, false},
    {"dc-list.ini", AGENT_FILES, false, false},
    {"ip-exclusion-list.ini", COLLECTOR_FILES, false, true},
    {"login-ip-exclusion-list.ini", COLLECTOR_FILES, false, false},
    {"logoff-exclusion-list.ini", COLLECTOR_FILES, false, false},
    {"user-exclusion-list.ini", COLLECTOR_FILES, true, false},
};

struct message {
    std::string bytes;
    int gap_ms;
};

std::string
control(std::string_view text)
{
    return std::string(text) + '\0';
}

// ---- HOST ----

// The IPv4 address of HOST as dotted text: false when it has none.
bool
resolve_ipv4(const char *host, std::u16string *text)
{
    std::u16string wide(host, host + std::strlen(host));
    std::uint32_t ip = 0;
    if (platform_ipv4_from_text(wide.c_str(), &ip) != 0) {
        platform_resolved_address found[16];
        std::size_t count = 0;
        if (platform_resolve_host(host, found, 16, &count) != 0) {
            return false;
        }
        std::size_t i = 0;
        while (i < count && found[i].family != PLATFORM_FAMILY_IPV4) {
            ++i;
        }
        if (i == count) {
            return false;
        }
        ip = found[i].ipv4;
    }
    std::string dotted = std::to_string(ip >> 24) + "." + std::to_string((ip >> 16) & 255) + "." +
                         std::to_string((ip >> 8) & 255) + "." + std::to_string(ip & 255);
    *text = std::u16string(dotted.begin(), dotted.end());
    return true;
}

// ---- the files ----

bool
read_whole(const std::string &path, std::string *bytes)
{
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        return false;
    }
    bytes->assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// The UTF-16LE bytes of the user exclusion list: behind its byte-order mark, or converted from
// UTF-8. Empty with *error set when the text would be cut or is no UTF-16.
std::string
user_list_utf16(const std::string &bytes, std::string *error)
{
    if (bytes.size() >= 2 && bytes.compare(0, 2, "\xFF\xFE") == 0) {
        std::string units = bytes.substr(2);
        if (units.size() % 2 != 0) {
            *error = "odd number of bytes in UTF-16 text";
        }
        for (std::size_t i = 0; i + 1 < units.size() && error->empty(); i += 2) {
            if (units[i] == 0 && units[i + 1] == 0) {
                *error = "contains a 0x0000 unit";
            }
        }
        return error->empty() ? units : std::string();
    }
    if (bytes.find('\0') != std::string::npos) {
        *error = "contains a 0x00 byte (a UTF-16 file needs its byte-order mark FF FE)";
        return {};
    }
    std::string_view text(bytes);
    if (text.substr(0, 3) == "\xEF\xBB\xBF") {
        text.remove_prefix(3);
    }
    std::string out;
    const auto *s = reinterpret_cast<const unsigned char *>(text.data());
    for (std::size_t at = 0, used = 0; at < text.size(); at += used) {
        char16_t units[2];
        int n = utf_encode(utf8_decode(s + at, text.size() - at, &used), units);
        for (int i = 0; i < n; ++i) {
            out.push_back(static_cast<char>(units[i] & 0xFF));
            out.push_back(static_cast<char>(units[i] >> 8));
        }
    }
    return out;
}

// Whether a receiver could take the piece for a control message.
bool
reads_as_control(std::string_view piece)
{
    for (std::string_view text : {std::string_view("STARTFILE"), std::string_view("ENDFILE")}) {
        if (piece == text || piece.substr(0, text.size() + 1) == std::string(text) + '\0') {
            return true;
        }
    }
    return false;
}

// The data messages of one file's content (utf16: UTF-16LE bytes, the first message taken as
// text). False with *error set when a piece would read as a control message.
bool
cut_content(const std::string &content, bool utf16, std::vector<message> *out, std::string *error)
{
    std::size_t at = 0;
    if (utf16 && !content.empty()) {
        std::size_t first = std::min(content.size(), MESSAGE_BYTES - 2);
        out->push_back({content.substr(0, first) + std::string(2, '\0'), GAP_MS});
        at = first;
    }
    for (; at < content.size(); at += MESSAGE_BYTES) {
        out->push_back({content.substr(at, MESSAGE_BYTES), GAP_MS});
    }
    for (const message &m : *out) {
        if (reads_as_control(m.bytes)) {
            *error = "a piece of it would read as a control message";
            return false;
        }
    }
    return true;
}

// The content of one file as it travels, checked: false with *error set.
bool
file_content(const std::string &dir, const push_file &file, unsigned type, std::string *content,
             std::string *error)
{
    if (!read_whole(dir + "/" + file.name, content)) {
        content->clear();
        if ((file.written_for & bit(type)) != 0 && !file.read_by_nobody) {
            *error = "missing (this push type writes it)";
            return false;
        }
        return true;
    }
    if (file.utf16) {
        *content = user_list_utf16(*content, error);
    } else if (content->find('\0') != std::string::npos) {
        *error = "contains a 0x00 byte, where the receiver would cut it";
    }
    if (error->empty() && content->size() > FILE_LIMIT) {
        *error = "larger than 1 MiB";
    }
    return error->empty();
}

// Every message of the push, checked before anything is sent: false after the reason on standard
// error.
bool
build_push(const std::string &dir, unsigned type, const char *type_text,
           std::vector<message> *messages)
{
    messages->push_back({control(type_text), GAP_MS});
    for (const push_file &file : PUSH_FILES) {
        std::string content, error;
        std::vector<message> data;
        if (!file_content(dir, file, type, &content, &error) ||
            !cut_content(content, file.utf16, &data, &error)) {
            std::fprintf(stderr, "nivo-config: %s/%s: %s\n", dir.c_str(), file.name, error.c_str());
            return false;
        }
        messages->push_back({control("STARTFILE"), GAP_MS});
        messages->insert(messages->end(), data.begin(), data.end());
        messages->push_back({control("ENDFILE"), ENDFILE_GAP_MS});
    }
    return true;
}

// ---- the wire ----

// Waits until the peer has acknowledged every byte sent: false after ACK_WAIT_MS.
bool
wait_acknowledged(const net_handle *handle)
{
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ACK_WAIT_MS);
    std::size_t unacknowledged = 0;
    while (platform_socket_unacknowledged(handle->socket, &unacknowledged) == 0) {
        if (unacknowledged == 0) {
            return true;
        }
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return false;
}

// Sends the messages one by one, each taken before the next: the messages sent.
std::size_t
send_push(net_handle *handle, const std::vector<message> &messages)
{
    std::size_t sent = 0;
    for (const message &m : messages) {
        if (net_send(handle, m.bytes.data(), m.bytes.size()) != 1 || !wait_acknowledged(handle)) {
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(m.gap_ms));
        ++sent;
    }
    return sent;
}

// ---- the commands ----

int
push(const char *host, const std::string &dir, const char *type_text)
{
    // The receiver's numbers: the index of the text.
    static const char *const TYPES[] = {"", "AGENT", "COLLECTOR", "SUITE"};
    unsigned type = TYPE_SUITE;
    while (type > 0 && std::strcmp(type_text, TYPES[type]) != 0) {
        --type;
    }
    if (type == 0) {
        std::fprintf(stderr, "nivo-config: --type is AGENT, COLLECTOR or SUITE\n");
        return 2;
    }
    std::vector<message> messages;
    if (!build_push(dir, type, type_text, &messages)) {
        return 1;
    }
    std::u16string address;
    if (!resolve_ipv4(host, &address)) {
        std::fprintf(stderr, "nivo-config: %s: no IPv4 address\n", host);
        return 1;
    }
    net_handle *handle = net_init(address.c_str(), RECEIVER_PORT, NET_MODE_CLIENT);
    if (handle == nullptr || net_open(handle, NET_TRANSPORT_TCP) != 0) {
        std::fprintf(stderr, "nivo-config: %s: cannot connect to port %u\n", host,
                     static_cast<unsigned>(RECEIVER_PORT));
        net_fini(handle);
        return 1;
    }
    std::size_t sent = send_push(handle, messages);
    net_fini(handle);
    if (sent != messages.size()) {
        std::fprintf(stderr, "nivo-config: %s: push broken off after %zu of %zu messages\n", host,
                     sent, messages.size());
        return 1;
    }
    std::printf("pushed %s: %zu files in %zu messages to %s\n", type_text, std::size(PUSH_FILES),
                sent, host);
    return 0;
}

// One question on a socket of its own: the answer's bytes, or -1 when none came.
long long
ask_one(const std::u16string &address, std::uint8_t question, std::uint8_t *answer,
        std::size_t capacity)
{
    net_handle *handle = net_init(address.c_str(), CONNECTIVITY_PORT, NET_MODE_CLIENT);
    long long received = -1;
    if (handle != nullptr && net_open(handle, NET_TRANSPORT_UDP) == 0) {
        net_set_recv_timeout(handle, ANSWER_WAIT_SECONDS, 0);
        if (net_send(handle, &question, 1) == 1) {
            received = net_recv(handle, answer, capacity);
        }
    }
    net_fini(handle);
    return received;
}

// The answer in words.
std::string
answer_text(std::uint8_t question, const std::uint8_t *answer, long long length)
{
    static const char *const TYPES[] = {"none", "AGENT", "COLLECTOR", "SUITE"};
    if (length < 0) {
        return "no answer";
    }
    if (question == CONNECTIVITY_ASK_INSTALL_TYPE && length == 0) {
        return "0 (none)";
    }
    if (length != 2 || answer[1] != '0') {
        return "unexpected answer of " + std::to_string(length) + " bytes";
    }
    if (question == CONNECTIVITY_ASK_INSTALL_TYPE && answer[0] <= 3) {
        return std::to_string(answer[0]) + " (" + TYPES[answer[0]] + ")";
    }
    if (question != CONNECTIVITY_ASK_INSTALL_TYPE &&
        (answer[0] == CONNECTIVITY_ROLE_ENABLED || answer[0] == CONNECTIVITY_ROLE_DISABLED)) {
        return answer[0] == CONNECTIVITY_ROLE_ENABLED ? "enabled" : "disabled";
    }
    return "unexpected answer " + std::to_string(answer[0]);
}

int
ask(const char *host)
{
    std::u16string address;
    if (!resolve_ipv4(host, &address)) {
        std::fprintf(stderr, "nivo-config: %s: no IPv4 address\n", host);
        return 1;
    }
    static const struct {
        std::uint8_t question;
        const char *label;
    } QUESTIONS[] = {{CONNECTIVITY_ASK_AGENT, "agent"},
                     {CONNECTIVITY_ASK_COLLECTOR, "collector"},
                     {CONNECTIVITY_ASK_INSTALL_TYPE, "install type"}};
    bool answered = false;
    for (const auto &q : QUESTIONS) {
        std::uint8_t answer[16];
        long long length = ask_one(address, q.question, answer, sizeof answer);
        answered = answered || length >= 0;
        std::printf("%s: %s\n", q.label, answer_text(q.question, answer, length).c_str());
    }
    return answered ? 0 : 1;
}

int
usage()
{
    std::fprintf(stderr, "usage: nivo-config push HOST DIR --type AGENT|COLLECTOR|SUITE\n"
                         "       nivo-config ask HOST\n");
    return 2;
}

} // namespace

int
main(int argc, char **argv)
{
    std::vector<std::string_view> args(argv + 1, argv + argc);
    if (args.size() == 2 && args[0] == "ask") {
        return ask(argv[2]);
    }
    if (args.size() != 5 || args[0] != "push") {
        return usage();
    }
    // push HOST DIR --type T, or with --type T anywhere after push.
    std::vector<const char *> positional;
    const char *type = nullptr;
    for (int i = 2; i < argc; ++i) {
        if (std::strcmp(argv[i], "--type") == 0 && i + 1 < argc) {
            type = argv[++i];
        } else {
            positional.push_back(argv[i]);
        }
    }
    if (type == nullptr || positional.size() != 2) {
        return usage();
    }
    return push(positional[0], positional[1], type);
}
