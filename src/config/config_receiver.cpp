// The configuration receiver: the push's message stream, the section keeping of nivo.ini, the
// safe writing of each file, and the listener with one thread per connection.

#include "config/config_receiver.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <exception>
#include <thread>

#include "common/log.h"
#include "common/number.h"
#include "common/text.h"
#include "config/connectivity.h"
#include "config/config_lists.h"
#include "platform/file.h"
#include "platform/registry.h"
#include "platform/system.h"

namespace {

// Push types as bits: bit n is set when a push of type n writes the file.
constexpr unsigned int TYPES_AGENT = 1u << 0 | 1u << 1 | 1u << 3;
constexpr unsigned int TYPES_COLLECTOR = 1u << 0 | 1u << 2 | 1u << 3;

struct received_file {
    const char16_t *name;
    unsigned int types;
    bool logged; // "Receive Config file: <name>" when it is selected
};

// The files in the order they arrive; the ninth is the one in UTF-16.
constexpr received_file FILES[CONFIG_RECEIVE_FILES] = {
    {u"nivo.ini", ~0u, false},
    {u"coll-list.ini", TYPES_AGENT, true},
    {u"authnet-list.ini", TYPES_AGENT, true},
    {u"gw-list.ini", TYPES_COLLECTOR, true},
    {u"dc-list.ini", TYPES_AGENT, true},
    {u"ip-exclusion-list.ini", TYPES_COLLECTOR, true},
    {u"login-ip-exclusion-list.ini", TYPES_COLLECTOR, true},
    {u"logoff-exclusion-list.ini", TYPES_COLLECTOR, true},
    {u"user-exclusion-list.ini", TYPES_COLLECTOR, true},
};
constexpr int NIVO_INI = 1;
constexpr int USER_EXCLUSION_LIST = 9;

constexpr const char16_t *HOME_KEY = u"SOFTWARE\\Vantelor\\Vantelor Tessaline";
constexpr const char16_t *HOME_VALUE = u"NIVOHome";
constexpr std::size_t HOME_VALUE_BYTES = 1024;
constexpr std::size_t PATH_UNITS = 1024;

// A connection that sends nothing for this long is closed: it would hold its thread for good.
constexpr long IDLE_SECONDS = 300;
// Pushes running at once; a further connection is closed at once.
constexpr int CONNECTIONS_LIMIT = 16;
// The listen backlog: the largest the system allows (it caps the number itself).
constexpr int BACKLOG = 0x7FFFFFFF;

std::atomic<int> g_connections{0};
std::atomic<unsigned int> g_temp_counter{0};

// Whether the message is the control text: its bytes followed by a 0x00 in the same receive.
bool
is_control(const std::uint8_t *bytes, std::size_t n, std::string_view text)
{
    return n > text.size() && std::memcmp(bytes, text.data(), text.size()) == 0 &&
           bytes[text.size()] == 0;
}

int
push_type_of(const std::uint8_t *bytes, std::size_t n)
{
    const auto *end = static_cast<const std::uint8_t *>(std::memchr(bytes, 0, n));
    std::string_view text(reinterpret_cast<const char *>(bytes),
                          end != nullptr ? static_cast<std::size_t>(end - bytes) : n);
    if (text == "AGENT") {
        return 1;
    }
    if (text == "COLLECTOR") {
        return 2;
    }
    return text == "SUITE" ? 3 : 0;
}

// The bytes of UTF-16 text up to its first 0x0000 unit (an odd last byte cannot be a unit).
std::size_t
utf16_text_bytes(const std::uint8_t *bytes, std::size_t n)
{
    std::size_t used = 0;
    while (used + 1 < n && (bytes[used] != 0 || bytes[used + 1] != 0)) {
        used += 2;
    }
    return used;
}

void
start_file(config_push *push)
{
    push->file = std::min(push->file + 1, CONFIG_RECEIVE_FILES);
    push->open = true;
    push->too_large = false;
    push->content.clear();
    const received_file &file = FILES[push->file - 1];
    push->discard = (file.types & 1u << push->type) == 0;
    if (!push->discard && file.logged) {
        log_write(LOG_ERROR, u"Receive Config file: %s\n", file.name);
    }
    push->utf16_next = push->file == USER_EXCLUSION_LIST;
}

// A data message of the open file: the UTF-16 message up to its first 0x0000 unit, any other
// whole.
void
add_data(config_push *push, const std::uint8_t *bytes, std::size_t n)
{
    bool utf16 = push->utf16_next;
    push->utf16_next = false;
    if (push->discard || push->too_large) {
        return;
    }
    if (utf16) {
        n = utf16_text_bytes(bytes, n);
    }
    if (push->content.size() + n > CONFIG_RECEIVE_FILE_LIMIT) {
        push->too_large = true;
        push->content = std::string();
        log_write(LOG_ERROR, u"receive_config_thread: %s is larger than %u bytes: not written\n",
                  FILES[push->file - 1].name, static_cast<unsigned int>(CONFIG_RECEIVE_FILE_LIMIT));
        return;
    }
    push->content.append(reinterpret_cast<const char *>(bytes), n);
}

// The file's text as it is written: up to its first 0x00 byte, or for the UTF-16 file its first
// 0x0000 unit.
void
cut_at_end(std::string *content, bool utf16)
{
    content->resize(utf16
                        ? utf16_text_bytes(reinterpret_cast<const std::uint8_t *>(content->data()),
                                           content->size())
                        : std::min(content->size(), content->find('\0')));
}

} // namespace

int
config_push_message(config_push *push, const std::uint8_t *bytes, std::size_t n)
{
    if (push == nullptr || bytes == nullptr || n == 0) {
        return 0;
    }
    if (!push->typed) {
        push->typed = true;
        push->type = push_type_of(bytes, n);
        log_write(LOG_ERROR, u"Receive Config Type: %d\n", push->type);
        return 0;
    }
    if (is_control(bytes, n, "STARTFILE")) {
        start_file(push);
        return 0;
    }
    if (is_control(bytes, n, "ENDFILE")) {
        // An "ENDFILE" without its "STARTFILE" ends nothing.
        bool write = push->open && !push->discard && !push->too_large;
        push->open = false;
        push->discard = false;
        push->utf16_next = false;
        if (!write) {
            push->content = std::string();
            return 0;
        }
        cut_at_end(&push->content, push->file == USER_EXCLUSION_LIST);
        return push->file;
    }
    // Data outside a file belongs to none.
    if (push->open) {
        add_data(push, bytes, n);
    }
    return 0;
}

const char16_t *
config_push_file_name(int file)
{
    return file >= 1 && file <= CONFIG_RECEIVE_FILES ? FILES[file - 1].name : nullptr;
}

namespace {

std::string_view
trim(std::string_view text)
{
    while (!text.empty() && number_is_space(static_cast<unsigned char>(text.front()))) {
        text.remove_prefix(1);
    }
    while (!text.empty() && number_is_space(static_cast<unsigned char>(text.back()))) {
        text.remove_suffix(1);
    }
    return text;
}

bool
equal_nocase(std::string_view a, std::string_view b)
{
    auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
    return a.size() == b.size() &&
           std::equal(a.begin(), a.end(), b.begin(),
                      [&lower](char x, char y) { return lower(x) == lower(y); });
}

// Whether the line starts a section, as the profile reader sees it: trimmed, up to a 0x00 byte,
// "[" then the name up to the last "]"; *name is the name, trimmed.
bool
section_header(std::string_view line, std::string_view *name)
{
    line = trim(line.substr(0, line.find('\0')));
    std::size_t close = line.rfind(']');
    if (line.empty() || line.front() != '[' || close == std::string_view::npos) {
        return false;
    }
    *name = trim(line.substr(1, close - 1));
    return true;
}

// Splits the text by lines into what belongs to the sections called name (every occurrence:
// the reader merges them) and everything else.
void
split_sections(std::string_view text, std::string_view name, std::string *outside,
               std::string *inside)
{
    bool in = false;
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        end = end == std::string_view::npos ? text.size() : end + 1;
        std::string_view line = text.substr(at, end - at);
        // The reader skips a UTF-8 byte-order mark at the start of the file.
        std::string_view bare = at == 0 && line.starts_with("\xEF\xBB\xBF") ? line.substr(3) : line;
        std::string_view found;
        if (section_header(bare, &found)) {
            in = equal_nocase(found, name);
        }
        (in ? inside : outside)->append(line);
        at = end;
    }
}

} // namespace

void
config_keep_local_section(std::string *received, std::string_view local, std::string_view header)
{
    if (received == nullptr) {
        return;
    }
    std::string_view name = header;
    if (!section_header(header, &name)) {
        return;
    }
    std::string kept;
    std::string dropped;
    split_sections(*received, name, &kept, &dropped);
    std::string ignored;
    std::string local_section;
    split_sections(local, name, &ignored, &local_section);
    if (!local_section.empty()) {
        // A last line without its line end would take the header into its value.
        if (!kept.empty() && kept.back() != '\n') {
            kept += "\r\n";
        }
        kept += local_section;
    }
    *received = std::move(kept);
}

void
config_keep_local_ha_setting(std::string *received, std::string_view local)
{
    config_keep_local_section(received, local, "[HA-SETTING]");
}

void
config_keep_local_role_sections(std::string *received, int push_type, std::string_view local)
{
    if (get_install_type() != 3) {
        return;
    }
    if (push_type == 2) {
        config_keep_local_section(received, local, "[NIV-AGENT]");
    } else if (push_type == 1) {
        config_keep_local_section(received, local, "[NIV-COLLECTOR]");
        config_keep_local_section(received, local, "[LOGOFF-DETECTION]");
    }
}

bool
config_receiver_admits(const config_record &config, std::uint32_t address)
{
    if (config.remote_config_networks == nullptr) {
        return true;
    }
    for (const gw_net_node *net = config.remote_config_networks; net != nullptr; net = net->next) {
        if ((address & net->mask) == net->network) {
            return true;
        }
    }
    return false;
}

namespace {

std::u16string
path_in(const std::u16string &directory, const char16_t *name)
{
    char16_t path[PATH_UNITS];
    if (config_string_cat(directory.c_str(), name, path, sizeof path) != 0) {
        return {};
    }
    return path;
}

// The local nivo.ini, as far as a received one could be long (missing: empty).
std::string
read_local(const std::u16string &path)
{
    std::string text;
    platform_file *file = platform_file_open(path.c_str(), PLATFORM_FILE_READ);
    if (file == nullptr) {
        return text;
    }
    char chunk[4096];
    long long n;
    while (text.size() < CONFIG_RECEIVE_FILE_LIMIT &&
           (n = platform_file_read(file, chunk, sizeof chunk)) > 0) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    platform_file_close(file);
    return text;
}

// Writes the bytes to a temporary file beside path, makes them durable and renames the file
// over path. 0, or -1 with the last error set and no temporary file left.
int
write_replacing(const std::u16string &path, std::string_view bytes)
{
    char16_t suffix[32];
    fmt_print_w(suffix, 32, u".%u.tmp", g_temp_counter.fetch_add(1));
    std::u16string temp = path + suffix;
    platform_file *file = platform_file_open(
        temp.c_str(), PLATFORM_FILE_WRITE | PLATFORM_FILE_CREATE | PLATFORM_FILE_TRUNCATE);
    if (file == nullptr) {
        return -1;
    }
    bool written =
        platform_file_write(file, bytes.data(), bytes.size()) == 0 && platform_file_sync(file) == 0;
    platform_file_close(file);
    if (written && platform_file_rename(temp.c_str(), path.c_str()) == 0) {
        return 0;
    }
    int error = platform_last_error();
    (void)platform_file_remove(temp.c_str());
    platform_set_last_error(error);
    return -1;
}

} // namespace

int
config_receiver_write(const std::u16string &directory, int file, int push_type, std::string content)
{
    const char16_t *name = config_push_file_name(file);
    std::u16string path = name != nullptr ? path_in(directory, name) : std::u16string();
    if (path.empty()) {
        log_write(LOG_ERROR, u"config_receiver_write: no path for file %d\n", file);
        return -1;
    }
    if (file == NIVO_INI) {
        std::string local = read_local(path);
        config_keep_local_role_sections(&content, push_type, local);
        config_keep_local_ha_setting(&content, local);
        config_keep_local_section(&content, local, "[REMOTE-CONFIG]");
    } else if (file == USER_EXCLUSION_LIST && !content.starts_with("\xFF\xFE")) {
        // The reader takes the first two bytes for the byte-order mark without looking at them.
        content.insert(0, "\xFF\xFE");
    }
    if (write_replacing(path, content) != 0) {
        log_write(LOG_ERROR, u"config_receiver_write: %s couldn't be written: %d\n", path,
                  platform_last_error());
        return -1;
    }
    return 0;
}

namespace {

// The base directory from the registry value, read afresh for each push; without it, the
// directory the service itself reads its configuration from. Empty when neither is known.
std::u16string
receive_base_directory()
{
    char value[HOME_VALUE_BYTES + 1] = {};
    std::size_t size = HOME_VALUE_BYTES;
    if (registry_get_value(REGISTRY_LOCAL_MACHINE, HOME_KEY, HOME_VALUE, value, &size) == 0 &&
        size > 0) {
        value[size] = 0;
        char16_t wide[PATH_UNITS];
        if (value[0] != 0 && convert_ascii_to_unicode(value, wide, PATH_UNITS) > 0) {
            return wide;
        }
    }
    const char16_t *base = config_get()->base_directory;
    return base != nullptr ? base : u"";
}

// One receive, after waiting for it at most IDLE_SECONDS: the bytes, 0 for the peer's end, -1
// for a failure or a silent peer.
long long
receive_message(platform_socket_t socket, std::uint8_t *buffer)
{
    int ready = platform_socket_wait_readable(socket, IDLE_SECONDS, 0);
    if (ready == 0) {
        log_write(LOG_ERROR, u"receive_config_thread: nothing received for %d seconds\n",
                  static_cast<int>(IDLE_SECONDS));
        return -1;
    }
    return ready < 0 ? -1 : platform_socket_recv(socket, buffer, CONFIG_RECEIVE_MESSAGE_BYTES);
}

} // namespace

int
receive_config_thread(platform_socket_t socket)
{
    std::u16string directory = receive_base_directory();
    if (directory.empty()) {
        log_write(LOG_ERROR, u"receive_config_thread: no base directory: push refused\n");
        platform_socket_close(socket);
        return 1;
    }
    config_push push;
    std::uint8_t buffer[CONFIG_RECEIVE_MESSAGE_BYTES];
    for (;;) {
        long long n = receive_message(socket, buffer);
        if (n < 0) {
            platform_socket_close(socket);
            return 1;
        }
        if (n == 0) {
            break;
        }
        int file = config_push_message(&push, buffer, static_cast<std::size_t>(n));
        if (file != 0) {
            (void)config_receiver_write(directory, file, push.type, std::move(push.content));
            push.content = std::string();
        }
    }
    int result = 0;
    if (platform_socket_shutdown_send(socket) != 0) {
        log_write(LOG_ERROR, u"shutdown failed with error: %d\n", platform_socket_error());
        result = 1;
    }
    platform_socket_close(socket);
    return result;
}

platform_socket_t
config_server_open(std::uint16_t port)
{
    int error = platform_socket_startup();
    if (error != 0) {
        log_write(LOG_ERROR, u"WSAStartup failed with error: %d\n", error);
        return PLATFORM_INVALID_SOCKET;
    }
    platform_socket_t listener = platform_socket_open(true);
    if (listener == PLATFORM_INVALID_SOCKET) {
        log_write(LOG_ERROR, u"socket failed with error: %ld\n",
                  static_cast<long>(platform_socket_error()));
        platform_socket_cleanup();
        return PLATFORM_INVALID_SOCKET;
    }
    if (platform_socket_bind(listener, 0, port) != 0) {
        log_write(LOG_ERROR, u"bind failed with error: %d\n", platform_socket_error());
    } else if (platform_socket_listen(listener, BACKLOG) != 0) {
        log_write(LOG_ERROR, u"listen failed with error: %d\n", platform_socket_error());
    } else {
        return listener;
    }
    platform_socket_close(listener);
    platform_socket_cleanup();
    return PLATFORM_INVALID_SOCKET;
}

namespace {

// Starts the connection's own thread, which ends the connection and its count. The socket is
// closed here when no thread could be had.
void
start_connection(platform_socket_t socket, const char16_t *peer)
{
    if (g_connections.fetch_add(1) >= CONNECTIONS_LIMIT) {
        g_connections.fetch_sub(1);
        log_write(LOG_ERROR, u"config_server_thread: push from %s refused: %d pushes running\n",
                  peer, CONNECTIONS_LIMIT);
        platform_socket_close(socket);
        return;
    }
    try {
        std::thread([socket] {
            (void)receive_config_thread(socket);
            g_connections.fetch_sub(1);
        }).detach();
    } catch (const std::exception &) {
        g_connections.fetch_sub(1);
        log_write(LOG_ERROR, u"config_server_thread: thread couldn't be created\n");
        platform_socket_close(socket);
    }
}

} // namespace

int
config_server_serve(platform_socket_t listener)
{
    for (;;) {
        net_sockaddr peer{};
        std::uint32_t length = sizeof peer.bytes;
        platform_socket_t socket = platform_socket_accept(listener, &peer, &length);
        if (socket == PLATFORM_INVALID_SOCKET) {
            log_write(LOG_ERROR, u"accept failed with error: %d\n", platform_socket_error());
            platform_socket_close(listener);
            platform_socket_cleanup();
            return -1;
        }
        char16_t text[64] = u"?";
        std::uint32_t text_length = 64;
        (void)convert_netaddr_to_str(peer.bytes, length, text, &text_length);
        std::uint32_t address = 0;
        std::uint16_t port = 0;
        // A refused sender is closed before it can send a byte; nothing is written.
        if (platform_sockaddr_ipv4(peer, length, &address, &port) != 0 ||
            !config_receiver_admits(*config_get(), address)) {
            log_write(LOG_ERROR,
                      u"config_server_thread: push from %s refused: not in ALLOWED-NETWORKS\n",
                      static_cast<const char16_t *>(text));
            platform_socket_close(socket);
            continue;
        }
        start_connection(socket, text);
    }
}

int
config_server_thread()
{
    platform_socket_t listener = config_server_open(CONFIG_SERVER_PORT);
    if (listener == PLATFORM_INVALID_SOCKET) {
        return -1;
    }
    return config_server_serve(listener);
}

int
config_server_start()
{
    const config_record *config = config_get();
    if (config->remote_config_enabled == 0) {
        log_write(LOG_MSG, u"config_server_start: configuration receiver not started: "
                           u"[REMOTE-CONFIG] ENABLED is FALSE\n");
        return 0;
    }
    if (config->remote_config_networks == nullptr) {
        log_write(LOG_ERROR, u"config_server_start: configuration pushes are accepted from any "
                             u"address (no ALLOWED-NETWORKS in [REMOTE-CONFIG])\n");
    }
    try {
        std::thread([] { (void)config_server_thread(); }).detach();
    } catch (const std::exception &) {
        log_write(LOG_ERROR, u"config_server_start: thread couldn't be created\n");
        return -1;
    }
    return 0;
}
