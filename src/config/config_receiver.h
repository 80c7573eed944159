// config_receiver: the configuration receiver, a TCP server on port 27015 through which the
// configuration tool replaces nivo.ini and the list files in the base directory.
//
// Wire format, one push per connection. Every receive (at most 512 bytes) is one message; a
// control message is its text followed by a 0x00 byte in the same receive, anything else is data.
//   1. the push's install type as text: "AGENT" (1), "COLLECTOR" (2), "SUITE" (3), other text 0;
//   2. for each file of the table in config_receiver.cpp, in its order: "STARTFILE", the
//      content in data messages, "ENDFILE". The first "STARTFILE" selects nivo.ini, each further
//      one the next file; after the ninth it stays on user-exclusion-list.ini.
// A file that the push's type does not write (gw-list.ini in an AGENT push, for example) is
// still sent and then dropped. user-exclusion-list.ini travels as UTF-16LE: the first data
// message after its "STARTFILE" is taken as UTF-16 text up to its first 0x0000 unit. Every other
// file is 8-bit text, written up to its first 0x00 byte.
//
// The receiver only writes files; the service reads them at its next start. Sections that never
// come from the tool are taken from the local nivo.ini: [HA-SETTING] and [REMOTE-CONFIG] on every
// push, and on a machine that runs both roles the sections of the role the push is not for.
//
// Threads: config_server_thread() runs on an operating-system thread of its own for the life of
// the process and starts receive_config_thread() on a thread of its own per connection. No lock
// is taken: every file is written to a temporary name and renamed over the old one, so two
// pushes at once may interleave whole files (the last writer wins) but a reader, a broken
// connection, a full disk or a crash leaves each file old or new, never partial.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "config/config.h"
#include "platform/socket.h"

constexpr std::uint16_t CONFIG_SERVER_PORT = 27015;
// The bytes of one receive: one message.
constexpr std::size_t CONFIG_RECEIVE_MESSAGE_BYTES = 512;
// The largest file content taken, in bytes (the readers of nivo.ini and the list files take at
// least this much). A larger file is refused: not written, the old one kept.
constexpr std::size_t CONFIG_RECEIVE_FILE_LIMIT = 1048576;
// The received files, numbered 1 to 9 in the order they arrive.
constexpr int CONFIG_RECEIVE_FILES = 9;

// The state of one push: its type, the current file and the content collected for it.
struct config_push {
    bool typed = false;      // the first message (the type) has been taken
    int type = 0;            // 0 to 3
    int file = 0;            // 0 before the first "STARTFILE", then 1 to 9
    bool open = false;       // between a "STARTFILE" and its "ENDFILE"
    bool discard = false;    // the current file is not written for this type
    bool utf16_next = false; // the next data message is UTF-16 text
    bool too_large = false;  // the current file passed CONFIG_RECEIVE_FILE_LIMIT
    std::string content;     // the current file's bytes
};

// Takes one message (n bytes). Returns the number (1 to 9) of a file that is complete and to be
// written, its bytes in push->content (cut at the text's end), or 0. Logs the push's lines.
int config_push_message(config_push *push, const std::uint8_t *bytes, std::size_t n);

// The name of file 1 to 9 ("nivo.ini" ...), or null.
const char16_t *config_push_file_name(int file);

// Writes file 1 to 9 with content into directory: nivo.ini after the section keeping against
// the nivo.ini there, user-exclusion-list.ini as UTF-16LE with the byte-order mark FF FE. The
// content goes to a temporary file in the directory, made durable, then renamed over the old
// file. 0, or -1 (logged; the old file stays).
int config_receiver_write(const std::u16string &directory, int file, int push_type,
                          std::string content);

// The section keeping on a received nivo.ini text: every section named header (as the profile
// reader finds sections: a line "[name]", name without regard to case) is removed from received,
// and the sections of that name in local (the machine's own nivo.ini) are appended at its end.
void config_keep_local_section(std::string *received, std::string_view local,
                               std::string_view header);
// [HA-SETTING], on every push ([REMOTE-CONFIG] is kept the same way by config_receiver_write).
void config_keep_local_ha_setting(std::string *received, std::string_view local);
// On a machine that runs both roles: [NIV-AGENT] for a COLLECTOR push, [NIV-COLLECTOR] and
// [LOGOFF-DETECTION] for an AGENT push. The roles are those of the running configuration.
void config_keep_local_role_sections(std::string *received, int push_type, std::string_view local);

// Whether the running configuration takes pushes from this IPv4 address (host byte order): every
// address when ALLOWED-NETWORKS is not configured.
bool config_receiver_admits(const config_record &config, std::uint32_t address);

// One connection: reads the push and writes its files into the base directory (the registry
// value "NIVOHome", read afresh). Takes the socket over and closes it. 0 after the peer's
// orderly end, 1 otherwise.
int receive_config_thread(platform_socket_t socket);

// The listener on CONFIG_SERVER_PORT: accepts connections from admitted addresses and starts a
// receive_config_thread for each. Returns only when set-up or accept fails (logged).
int config_server_thread();
// The listener's two halves, for a port of choice: the listening socket on every local address
// (PLATFORM_INVALID_SOCKET on failure, logged), and its accept loop (returns -1 when accept
// fails; the socket is then closed).
platform_socket_t config_server_open(std::uint16_t port);
int config_server_serve(platform_socket_t listener);

// The start-up step: unless [REMOTE-CONFIG] ENABLED is FALSE (logged at level 0), starts
// config_server_thread on a thread of its own, detached, telling at level 2 when pushes are taken
// from any address. 0, or -1 when no thread could be had (logged).
int config_server_start();
