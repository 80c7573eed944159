// wrkstquery: asking a workstation who is logged on at it, for the workstation poll.
//
// Two remote operations: WMI (the UserName of Win32_ComputerSystem in the namespace
// \\address\root\cimv2, as domain\user, or none) and the remote registry (the subkeys of
// HKEY_USERS, with security identifiers looked up on that workstation to account name, domain
// and SID type). Results are 0 for success or an error code of the platform (an HRESULT for
// WMI, a Win32 error for the registry); a handle belongs to one thread at a time, and any
// number of handles may be open at once on different threads.
//
// Account and password are the service's configured credentials (null: the service's own
// identity). They never appear on a command line or in a log.
#pragma once

#include <cstddef>
#include <cstdint>

struct platform_wmi;
struct platform_hku;

// The answer of a WMI connection that refused credentials because the workstation is this
// machine: connect again without them.
constexpr unsigned long PLATFORM_WMI_LOCAL_CREDENTIALS = 0x80041064UL;
// No (more) subkeys.
constexpr unsigned long PLATFORM_REG_NO_MORE_ITEMS = 259;
// The connection flag "use the maximum wait".
constexpr long PLATFORM_WMI_FLAG_MAX_WAIT = 0x80;

// Process-wide set-up of the WMI client, once before any connection: the client itself, then
// its security (packet privacy, impersonate). 0, or an error code; platform_wmi_shutdown()
// undoes the first after a failure of the second.
unsigned long platform_wmi_startup();
unsigned long platform_wmi_startup_security();
void platform_wmi_shutdown();

// Process-wide check of the remote registry client, once before any connection: 0 when it can
// work, or an error code.
unsigned long platform_hku_startup();

// Receives, on the thread of the query, a one-line description of a query whose client failed
// without an answer from the workstation (its own error output, bounded, control characters
// escaped). Set once during start-up, before any query; null: none.
using platform_wrkst_failure_sink = void (*)(const char *utf8_text);
void platform_wrkst_set_failure_sink(platform_wrkst_failure_sink sink);

// Connects to the namespace text (at most 127 units). On 0 *out is the connection.
unsigned long platform_wmi_connect(const char16_t *name_space, const char16_t *account,
                                   const char16_t *password, long flags, platform_wmi **out);
// The steps after the connection, each 0 or an error code, in this order: the proxy security
// (packet privacy, impersonate), the query in forward-only mode, the first result object
// (waiting at most timeout_ms; *count 0 or 1), its UserName (*is_null when there is none; the
// name otherwise, terminated and cut to capacity units).
unsigned long platform_wmi_set_blanket(platform_wmi *wmi);
unsigned long platform_wmi_exec_query(platform_wmi *wmi, const char16_t *query);
unsigned long platform_wmi_next(platform_wmi *wmi, unsigned int timeout_ms, unsigned long *count);
unsigned long platform_wmi_get_username(platform_wmi *wmi, char16_t *name, std::size_t capacity,
                                        bool *is_null);
void platform_wmi_close(platform_wmi *wmi);

// A security identifier: revision, 48-bit identifier authority (big-endian), sub-authorities.
struct platform_sid {
    std::uint8_t revision;
    std::uint8_t authority[6];
    std::uint8_t count; // 0 to 8
    std::uint32_t sub_authority[8];
};

// Connects to HKEY_USERS of host ("\\" and the address). On 0 *out is the key.
unsigned long platform_hku_connect(const char16_t *host, const char16_t *account,
                                   const char16_t *password, platform_hku **out);
// The name of subkey index (from 0 upward), terminated, at most capacity units. 0, or
// PLATFORM_REG_NO_MORE_ITEMS after the last, or another error code.
unsigned long platform_hku_enum_key(platform_hku *hku, unsigned long index, char16_t *name,
                                    std::size_t capacity);
// Looks the SID up on the workstation of the key. 0 with account name, domain name (each
// terminated, at most capacity units) and SID type (1 user, 2 group, 3 domain, ...), or an error.
unsigned long platform_hku_lookup_sid(platform_hku *hku, const platform_sid &sid, char16_t *name,
                                      char16_t *domain, std::size_t capacity, int *sid_type);
void platform_hku_close(platform_hku *hku);
