// TEMPORARY until the libldap side lands: every operation fails, so that the service links.

#include "platform/ldap.h"

#include <cerrno>

void
platform_ldap_set_defaults(long, long)
{
}

platform_ldap *
platform_ldap_open(const char *, int, int *error)
{
    if (error != nullptr) {
        *error = ENOSYS;
    }
    return nullptr;
}

int
platform_ldap_simple_bind(platform_ldap *, const char *, const char *)
{
    return -1;
}

int
platform_ldap_search(platform_ldap *, const char *, const char *, long, long,
                     std::vector<platform_ldap_entry> *entries)
{
    if (entries != nullptr) {
        entries->clear();
    }
    return -1;
}

int
platform_ldap_last_result(platform_ldap *)
{
    return -1;
}

int
platform_ldap_monitor_events(platform_ldap *, const platform_ldap_event_request *, std::size_t,
                             int *)
{
    return -1;
}

int
platform_ldap_wait(platform_ldap *, int, long, long, platform_ldap_message *)
{
    return -1;
}

int
platform_ldap_decode_event(const std::uint8_t *, std::size_t, platform_ldap_message *)
{
    return -1;
}

int
platform_ldap_decode_monitor_end(const std::uint8_t *, std::size_t, platform_ldap_message *)
{
    return -1;
}

void
platform_ldap_close(platform_ldap *)
{
}
