// Windows side of sessions.h: NetSessionEnum at level 10 (client name and user name of each
// session), as much as the server has in one answer, with the caller's resume handle.
//
// Credentials: with none configured the listing runs as the service's own identity. With an
// account and password, each listing first opens a connection to the server's IPC$ share with
// them (WNetAddConnection2W, not remembered), so that the server service is asked as that
// account, and cancels it after the call. Where the service already holds a connection to the
// server under other credentials (ERROR_SESSION_CREDENTIAL_CONFLICT), Windows allows no second
// one: the listing goes on over the existing connection.
//
// The server's buffer is freed with NetApiBufferFree on every path; the portion handed out is
// made with std::malloc, as platform_sessions_free expects.

#include "platform/sessions.h"

#include <windows.h>
#include <lm.h>
#include <winnetwk.h>

#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <memory>
#include <mutex>
#include <string>

namespace {

constexpr std::size_t HOST_LIMIT = 255;

struct sessions_state {
    std::mutex lock; // the credentials are set at start-up and read by every listing
    std::wstring account;
    std::wstring password;
    bool has_credentials = false;
};
sessions_state g_sessions;

struct net_buffer_free {
    void operator()(void *buffer) const
    {
        NetApiBufferFree(buffer);
    }
};

// The IPC$ connection of one listing, cancelled when it ends; open() is 0 or a Win32 error.
struct ipc_connection {
    std::wstring remote;
    bool added = false;

    unsigned long open(const std::wstring &host, const std::wstring &account,
                       const std::wstring &password)
    {
        remote = L"\\\\" + host + L"\\IPC$";
        NETRESOURCEW resource{};
        resource.dwType = RESOURCETYPE_ANY;
        resource.lpRemoteName = remote.data();
        DWORD rc = WNetAddConnection2W(&resource, password.c_str(), account.c_str(), 0);
        if (rc == NO_ERROR) {
            added = true;
            return 0;
        }
        return rc == ERROR_SESSION_CREDENTIAL_CONFLICT ? 0 : rc;
    }
    ~ipc_connection()
    {
        if (added) {
            WNetCancelConnection2W(remote.c_str(), 0, FALSE);
        }
    }
};

wchar_t *
copy_text(const wchar_t *text)
{
    std::size_t n = std::wcslen(text) + 1;
    auto *copy = static_cast<wchar_t *>(std::malloc(n * sizeof(wchar_t)));
    if (copy != nullptr) {
        std::memcpy(copy, text, n * sizeof(wchar_t));
    }
    return copy;
}

char16_t *
copy_optional(const wchar_t *text, bool *failed)
{
    if (text == nullptr) {
        return nullptr;
    }
    wchar_t *copy = copy_text(text);
    *failed = *failed || copy == nullptr;
    return reinterpret_cast<char16_t *>(copy);
}

// The portion of count entries, or null when memory ran out.
platform_session_portion *
make_portion(const SESSION_INFO_10 *sessions, DWORD count)
{
    auto *portion =
        static_cast<platform_session_portion *>(std::calloc(1, sizeof(platform_session_portion)));
    if (portion == nullptr) {
        return nullptr;
    }
    portion->entries =
        static_cast<platform_session **>(std::calloc(count, sizeof(platform_session *)));
    if (portion->entries == nullptr) {
        std::free(portion);
        return nullptr;
    }
    for (DWORD i = 0; i < count; ++i) {
        auto *entry = static_cast<platform_session *>(std::calloc(1, sizeof(platform_session)));
        if (entry == nullptr) {
            platform_sessions_free(portion);
            return nullptr;
        }
        portion->entries[portion->count++] = entry;
        bool failed = false;
        entry->client_name = copy_optional(sessions[i].sesi10_cname, &failed);
        entry->user_name = copy_optional(sessions[i].sesi10_username, &failed);
        if (failed) {
            platform_sessions_free(portion);
            return nullptr;
        }
    }
    return portion;
}

} // namespace

void
platform_sessions_set_credentials(const char16_t *account, const char16_t *password)
{
    std::lock_guard guard(g_sessions.lock);
    SecureZeroMemory(g_sessions.password.data(), g_sessions.password.size() * sizeof(wchar_t));
    g_sessions.has_credentials = account != nullptr;
    g_sessions.account = account != nullptr ? reinterpret_cast<const wchar_t *>(account) : L"";
    g_sessions.password = password != nullptr ? reinterpret_cast<const wchar_t *>(password) : L"";
}

unsigned long
platform_sessions_enum(const char16_t *server, platform_session_portion **out,
                       std::uint32_t *resume_token)
{
    *out = nullptr;
    std::wstring text = server != nullptr ? reinterpret_cast<const wchar_t *>(server) : L"";
    std::size_t start = text.find_first_not_of(L'\\');
    // An empty name would list the sessions of this machine instead.
    if (start == std::wstring::npos || text.size() - start > HOST_LIMIT) {
        return ERROR_INVALID_NAME;
    }
    std::wstring host = text.substr(start);
    std::wstring account;
    std::wstring password;
    bool has_credentials = false;
    {
        std::lock_guard guard(g_sessions.lock);
        has_credentials = g_sessions.has_credentials;
        account = g_sessions.account;
        password = g_sessions.password;
    }
    ipc_connection ipc;
    if (has_credentials) {
        unsigned long rc = ipc.open(host, account, password);
        SecureZeroMemory(password.data(), password.size() * sizeof(wchar_t));
        if (rc != 0) {
            return rc;
        }
    }
    std::wstring name = L"\\\\" + host;
    LPBYTE raw = nullptr;
    DWORD read = 0;
    DWORD total = 0;
    DWORD resume = *resume_token;
    NET_API_STATUS rc = NetSessionEnum(name.data(), nullptr, nullptr, 10, &raw,
                                       MAX_PREFERRED_LENGTH, &read, &total, &resume);
    std::unique_ptr<BYTE, net_buffer_free> buffer(raw);
    if (rc != NERR_Success && rc != ERROR_MORE_DATA) {
        return rc;
    }
    if (rc == ERROR_MORE_DATA && (read == 0 || buffer == nullptr)) {
        return ERROR_BAD_NETPATH; // "more" with nothing in it: the caller would ask for ever
    }
    if (buffer != nullptr && read > 0) {
        *out = make_portion(reinterpret_cast<const SESSION_INFO_10 *>(buffer.get()), read);
        if (*out == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY;
        }
    }
    *resume_token = resume;
    return rc;
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
