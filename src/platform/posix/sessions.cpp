// POSIX side of sessions.h.
//
// This side has no session listing of its own yet: every listing fails with
// PLATFORM_SESSIONS_NOT_SUPPORTED, which the poller reports for the domain controller at every
// pass. The portions of other sides are released here the same way (every part from
// std::malloc).

#include "platform/sessions.h"

#include <cstdlib>

void
platform_sessions_set_credentials(const char16_t *, const char16_t *)
{
}

unsigned long
platform_sessions_enum(const char16_t *, platform_session_portion **out, std::uint32_t *)
{
    *out = nullptr;
    return PLATFORM_SESSIONS_NOT_SUPPORTED;
}

void
platform_sessions_free(platform_session_portion *portion)
{
    if (portion == nullptr) {
        return;
    }
    for (std::size_t i = 0; i < portion->count; ++i) {
        platform_session *session = portion->entries[i];
        if (session != nullptr) {
            std::free(session->client_name);
            std::free(session->user_name);
            std::free(session);
        }
    }
    std::free(portion->entries);
    std::free(portion);
}
