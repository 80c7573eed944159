// ldap: a directory client (LDAP version 3) for the eDirectory monitor and the directory poll:
// sessions with a simple bind, subtree searches, and the server's login and logout event
// notifications (the MonitorEvents extended operation).
//
// A session belongs to one thread at a time; any number of sessions may be open at once on
// different threads. Search results and event messages are copied out of the client library
// into the structures below before the call returns, so nothing of the library is left to free
// on any path. Texts are UTF-8; attribute values are bytes (networkAddress holds raw address
// bytes) and may contain any byte, 0x00 included.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

struct platform_ldap;

// Results of platform_ldap_wait besides -1 (failure) and 0 (time limit passed).
constexpr int PLATFORM_LDAP_RES_EXTENDED = 120;     // the server ended the event subscription
constexpr int PLATFORM_LDAP_RES_INTERMEDIATE = 121; // one event
// The search result "time limit exceeded on the client's side".
constexpr int PLATFORM_LDAP_TIMEOUT = 85;

// The event types the monitor subscribes to, each with its status filter (1: successful).
constexpr int PLATFORM_LDAP_EVENT_LOGIN = 100;
constexpr int PLATFORM_LDAP_EVENT_LOGOUT = 102;
struct platform_ldap_event_request {
    int event_type;
    int event_status;
};

// The longest DN an event may carry, in bytes; a longer one makes the event unreadable.
constexpr std::size_t PLATFORM_LDAP_DN_MAX = 4096;

struct platform_ldap_attribute {
    std::string name;
    std::vector<std::string> values; // binary-safe
};

struct platform_ldap_entry {
    std::string dn;
    std::vector<platform_ldap_attribute> attributes; // in the server's order
};

// One message of the event subscription, decoded. parse_result is 0 when the message could be
// read, otherwise the decoder's error (the message is skipped; the other fields are unset).
struct platform_ldap_message {
    int parse_result = 0;
    // An event (PLATFORM_LDAP_RES_INTERMEDIATE): its type and result, and the DNs it carries.
    // An absent (or empty) DN is std::nullopt. The data structures give: entry info [1]
    // perpetratorDN and entryDN as the user DN; general DS data [3] its perpetratorDN only;
    // network address [8] none; no structure has a base DN. Details at the decoder
    // (openldap/ldap.cpp).
    int event_type = 0;
    int event_result = 0;
    std::optional<std::string> perpetrator_dn;
    std::optional<std::string> base_dn;
    std::optional<std::string> user_dn;
    // The end of the subscription (PLATFORM_LDAP_RES_EXTENDED): the server's result code, its
    // error text, and the event types of the refused requests.
    int result_code = 0;
    std::string error_text;
    std::vector<int> refused_event_types;
};

// Process-wide options for sessions opened afterwards: protocol version 3 and the network time
// limit (the wait for a connection).
void platform_ldap_set_defaults(long timeout_seconds, long timeout_microseconds);

// Opens a session to host (a name or an IPv4 address text) and port. Null on failure, with the
// platform's error number in *error.
platform_ldap *platform_ldap_open(const char *host, int port, int *error);

// Simple bind: 0, or the LDAP result code (or a client error, negative).
int platform_ldap_simple_bind(platform_ldap *session, const char *dn, const char *password);

// Searches the subtree below base with filter for all attributes, with a time limit and no size
// limit. 0 with the entries in the server's order, or the LDAP result code
// (PLATFORM_LDAP_TIMEOUT when the time limit passed; a zero time limit is refused as a bad
// parameter); *entries is cleared first.
int platform_ldap_search(platform_ldap *session, const char *base, const char *filter,
                         long timeout_seconds, long timeout_microseconds,
                         std::vector<platform_ldap_entry> *entries);

// The session's last result code.
int platform_ldap_last_result(platform_ldap *session);

// Subscribes to the events of requests: 0 with the subscription's message id, or an error.
int platform_ldap_monitor_events(platform_ldap *session,
                                 const platform_ldap_event_request *requests, std::size_t count,
                                 int *message_id);

// Waits for the next message of the subscription message_id, at most the time given: -1 failure
// (platform_ldap_last_result tells why), 0 time limit passed, PLATFORM_LDAP_RES_EXTENDED (the
// subscription ended; *out holds its result) or PLATFORM_LDAP_RES_INTERMEDIATE (one event in
// *out), or the LDAP type of any other message.
int platform_ldap_wait(platform_ldap *session, int message_id, long timeout_seconds,
                       long timeout_microseconds, platform_ldap_message *out);

// The value of the subscription request for requests (count at least 1) in DER: 0, or an error.
int platform_ldap_encode_monitor_request(const platform_ldap_event_request *requests,
                                         std::size_t count, std::string *value);

// The decoders of the two messages' values (BER), apart for tests and fuzzing: 0, or an error
// (a value that is not in the form given at the decoder).
int platform_ldap_decode_event(const std::uint8_t *value, std::size_t size,
                               platform_ldap_message *out);
int platform_ldap_decode_monitor_end(const std::uint8_t *value, std::size_t size,
                                     platform_ldap_message *out);

// Unbinds and closes the session. Null is ignored.
void platform_ldap_close(platform_ldap *session);
