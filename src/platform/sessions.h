// sessions: the sessions open on a domain controller (who is connected from which client), for
// the session poller.
//
// The list comes in portions. A listing starts with a resume token of 0; the caller hands the
// token back unchanged with each further call, and the server's answer says whether more
// portions follow. Any thread may list, any number of listings may run at once on different
// threads; a portion belongs to the caller until it frees it.
#pragma once

#include <cstddef>
#include <cstdint>

// The result "more data": this portion is not the last.
constexpr unsigned long PLATFORM_SESSIONS_MORE_DATA = 234;
// The result of a platform that cannot list sessions.
constexpr unsigned long PLATFORM_SESSIONS_NOT_SUPPORTED = 50;

// One open session. Either text may be absent (null); the client name is as the server gives
// it (a host name or an address text, usually with leading backslashes).
struct platform_session {
    char16_t *client_name;
    char16_t *user_name;
};

// One portion of the list: count entries in the server's order. An entry is null when the
// answer held no readable session at that place.
struct platform_session_portion {
    platform_session **entries;
    std::size_t count;
};

// The account and password the listings use (null: the service's own identity), as the
// workstation queries take them. Set once during start-up, before any listing; they never appear
// on a command line or in a log.
void platform_sessions_set_credentials(const char16_t *account, const char16_t *password);

// Lists the next portion of the sessions on server (as configured, "\\host"). The result is 0
// for the last portion, PLATFORM_SESSIONS_MORE_DATA when more follow, or an error code of the
// platform (a Win32 error or a server's status). On 0 and PLATFORM_SESSIONS_MORE_DATA *out is
// the portion or null when the server sent none; otherwise *out is null. *resume_token is the
// listing's place, read and written by this call only.
unsigned long platform_sessions_enum(const char16_t *server, platform_session_portion **out,
                                     std::uint32_t *resume_token);

// Releases a portion and everything it holds (every part comes from std::malloc). Null is
// ignored.
void platform_sessions_free(platform_session_portion *portion);
