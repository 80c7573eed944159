// edir: the directory access shared by the eDirectory monitor (the agent's logon source) and the
// directory poll (the Collector's logoff check): session set-up, the searches by user and by
// workstation address, the common name of a DN, and the search base of the last login event.
//
// Life cycle: nothing to initialise. The connection lock and the remembered search base are
// static objects of this module.
//
// Threads: any number of callers at once, each with its own session. nd_init_ldap() serialises
// the set-up of sessions (the directory client's process-wide options and each open or bind
// attempt) under the connection lock; its pauses run without the lock, so that a caller whose
// bind keeps failing does not hold up the others. The remembered search base is locked.
//
// The pauses (between open attempts, bind retries, before a search by user, between searches
// that ran out of time) end at once after edir_stop(), which the service never calls (tests
// only); a stopped nd_init_ldap() fails.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform/ldap.h"
#include "userdb/userinfo.h"

// The longest DN, search base, host, login DN or password the module accepts: UTF-8 bytes, or
// UTF-16 units for a DN in UTF-16. Longer texts are refused, never cut.
constexpr std::size_t EDIR_TEXT_MAX = 1023;
constexpr int EDIR_OPEN_ATTEMPTS = 6;
constexpr unsigned long EDIR_OPEN_PAUSE_MS = 10000;
constexpr unsigned long EDIR_BIND_PAUSE_FIRST_MS = 100;
constexpr unsigned long EDIR_BIND_PAUSE_MAX_MS = 10000;
constexpr unsigned long EDIR_BIND_LOG_EVERY_MS = 60000;
constexpr unsigned long EDIR_SEARCH_DELAY_MS = 1000;
constexpr unsigned long EDIR_SEARCH_RETRY_PAUSE_MS = 100;
constexpr int EDIR_SEARCH_TIMEOUT_TRIES = 50;
constexpr long EDIR_TIME_LIMIT_START = 10; // seconds, until event monitoring is registered
constexpr long EDIR_TIME_LIMIT_EVENTS = 5; // seconds, afterwards

// The filter prefixes of the two networkAddress types searched for: TCP with port 0, and IP.
constexpr const char *EDIR_PREFIX_TCP = "9#\\00\\00";
constexpr const char *EDIR_PREFIX_IP = "1#";

// Opens a session to host:port and binds it with dn and password. Open attempts are repeated
// EDIR_OPEN_ATTEMPTS times, EDIR_OPEN_PAUSE_MS apart; a refused bind is retried until it
// succeeds, with a pause that doubles from 100 ms up to 10 s, logged once and then at most once
// a minute. 0 with the session in *out (closed by the caller with platform_ldap_close), or -1
// (a null dn, a text longer than EDIR_TEXT_MAX, every open attempt failed, or a stop).
int nd_init_ldap(const char16_t *host, const char16_t *dn, const char16_t *password,
                 std::int32_t port, platform_ldap **out);

// The search filter for the networkAddress values of type prefix at the IPv4 address ip (four
// decimal parts of at most 255): "(networkAddress=<prefix>\0a\01\02\1e)". 0, or -1 with *out
// empty for an empty ip or one that is not such an address (logged).
int nd_build_networkaddress_filter(const char *ip, std::string *out, const char *prefix);

// The user whose entry below base carries a networkAddress of ip (type 9, then type 1): a new
// record (User, WrkstName, CreateTime and ExpireTime from the directory) owned by the caller,
// or null when no entry with a uid was found, a search failed or ip is not an address.
UserInfo *GetUserDataFromNovellSearchByIP(platform_ldap *session, const char *ip, const char *base);

// The entry of uid below base with a network address: a new record (User, WrkstName, WrkstIP
// from the last usable networkAddress, CreateTime now) owned by the caller, or null when none
// matched, a search failed, or the search ran out of time EDIR_SEARCH_TIMEOUT_TRIES times.
UserInfo *GetUserDataFromNovellSearch(platform_ldap *session, const char *uid, const char *base);

// The common name of dn: the text after "cn=" (case-sensitive) in its first component. 0 with
// a new text in *out (text_free), or -1 with *out unchanged (no such name, or a DN longer than
// EDIR_TEXT_MAX units).
int GetUserNameFromUserDN(char16_t **out, const char16_t *dn);

// The IPv4 address of one networkAddress value ("9#" with two port bytes and four address
// bytes, or "1#" with four address bytes) as dotted text; empty when the value holds none.
std::string edir_networkaddress_to_ip(std::string_view value);

// The search base of the last login event (empty until the first), and its setter.
std::string edir_get_search_base();
void edir_set_search_base(std::string_view base);

// The login DN of the last nd_init_ldap() that opened a session (for log lines).
std::u16string edir_get_login_dn();

// The network time limit of new sessions and the time limit of every search, in seconds.
void edir_set_time_limit(long seconds);
long edir_get_time_limit();

// Conversions at the edge of the directory client (malformed input becomes U+FFFD).
std::u16string edir_to_u16(std::string_view utf8);
std::string edir_to_u8(const char16_t *text);

// Pauses milliseconds unless stopped; true after edir_stop().
bool edir_pause(unsigned long milliseconds);
bool edir_stopping();

// Ends every pause and loop of this module and of the monitor at once (tests only).
void edir_stop();
// Clears the stop, the search base and the time limit, and sets the divisor of every pause
// (1 for the real pauses; tests shorten them with a larger one).
void edir_reset(unsigned long pause_divisor = 1);
