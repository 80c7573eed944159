// Windows side of wrkstquery.h: WMI through COM, and the remote registry with account lookups
// on the workstation.
//
// COM: platform_wmi_startup() enters the process's multithreaded apartment on the start-up
// thread and platform_wmi_startup_security() sets the process security (packet privacy,
// impersonate). The queries run on pool threads: each connection enters the multithreaded
// apartment on its own thread as well (CoInitializeEx per connection) and leaves it when the
// handle is closed on that thread, so a query never depends on the start-up thread's apartment
// staying alive. Interface pointers of that apartment may be used by whichever thread holds the
// handle.
//
// Credentials: WMI takes account and password at the connection (ConnectServer) and, because
// every proxy authenticates on its own, the same identity again on each proxy it calls through
// (the connection and the result enumerator, CoSetProxyBlanket). The registry has no place for
// them: with an account, the connection first opens the workstation's IPC$ share with it
// (WNetAddConnection2W, not remembered), over which the registry and the account lookups then
// run, and cancels it at close. Where the service already holds a connection to the workstation
// under other credentials (ERROR_SESSION_CREDENTIAL_CONFLICT), Windows allows no second one and
// the existing connection is used.
//
// The calls report their reasons as result codes, which the callers log; no query here has
// error output of its own, so the failure sink is kept but never called.

#include "platform/wrkstquery.h"

#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#include <wbemcli.h>
#include <winnetwk.h>

#include <cstring>
#include <cwchar>
#include <iterator>
#include <new>
#include <string>

namespace {

constexpr std::size_t NAMESPACE_LIMIT = 127;

platform_wrkst_failure_sink g_failure_sink = nullptr;

const wchar_t *
wide(const char16_t *text)
{
    return reinterpret_cast<const wchar_t *>(text);
}

void
copy_out(const wchar_t *text, std::size_t length, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return;
    }
    std::size_t n = length < capacity - 1 ? length : capacity - 1;
    std::memcpy(out, text, n * sizeof(char16_t));
    out[n] = 0;
}

void
wipe(std::wstring *text)
{
    SecureZeroMemory(text->data(), text->size() * sizeof(wchar_t));
    text->clear();
}

// A BSTR released (and, for a password, wiped) when it goes out of scope; null stays null.
struct bstr_holder {
    BSTR text = nullptr;
    bool secret = false;

    bstr_holder(const wchar_t *source, bool is_secret) : secret(is_secret)
    {
        if (source != nullptr) {
            text = SysAllocString(source);
        }
    }
    bstr_holder(const bstr_holder &) = delete;
    bstr_holder &operator=(const bstr_holder &) = delete;
    ~bstr_holder()
    {
        if (text != nullptr && secret) {
            SecureZeroMemory(text, SysStringByteLen(text));
        }
        SysFreeString(text);
    }
};

// The IPC$ connection that carries a registry connection's credentials.
struct ipc_connection {
    std::wstring remote;
    bool added = false;

    // 0 or a Win32 error. host is "\\address".
    DWORD open(const wchar_t *host, const wchar_t *account, const wchar_t *password)
    {
        remote = host;
        remote += L"\\IPC$";
        NETRESOURCEW resource{};
        resource.dwType = RESOURCETYPE_ANY;
        resource.lpRemoteName = remote.data();
        DWORD rc = WNetAddConnection2W(&resource, password, account, 0);
        if (rc == NO_ERROR) {
            added = true;
            return 0;
        }
        return rc == ERROR_SESSION_CREDENTIAL_CONFLICT ? 0 : rc;
    }
    void close()
    {
        if (added) {
            WNetCancelConnection2W(remote.c_str(), 0, FALSE);
            added = false;
        }
    }
};

} // namespace

struct platform_wmi {
    IWbemServices *services = nullptr;
    IEnumWbemClassObject *results = nullptr;
    IWbemClassObject *object = nullptr;
    // The identity every proxy of the connection authenticates with; its texts live here.
    bool has_identity = false;
    std::wstring user;
    std::wstring domain;
    std::wstring password;
    SEC_WINNT_AUTH_IDENTITY_W identity{};
    // The apartment this handle entered, left again at close on the same thread.
    bool com_entered = false;
    DWORD thread = 0;
};

struct platform_hku {
    HKEY key = nullptr;
    std::wstring host;
    ipc_connection ipc;
};

namespace {

// Sets the connection's proxy security on one of its proxies.
HRESULT
set_blanket_on(platform_wmi *wmi, IUnknown *proxy)
{
    return CoSetProxyBlanket(proxy, RPC_C_AUTHN_DEFAULT, RPC_C_AUTHZ_DEFAULT,
                             wmi->has_identity ? COLE_DEFAULT_PRINCIPAL : nullptr,
                             RPC_C_AUTHN_LEVEL_PKT_PRIVACY, RPC_C_IMP_LEVEL_IMPERSONATE,
                             wmi->has_identity ? &wmi->identity : nullptr, EOAC_NONE);
}

// Splits "domain\user" (or a name without a domain) into the identity of the handle.
void
set_identity(platform_wmi *wmi, const wchar_t *account, const wchar_t *password)
{
    std::wstring whole = account;
    std::size_t slash = whole.find(L'\\');
    if (slash != std::wstring::npos) {
        wmi->domain = whole.substr(0, slash);
        wmi->user = whole.substr(slash + 1);
    } else {
        wmi->user = whole;
    }
    wmi->password = password != nullptr ? password : L"";
    wmi->has_identity = true;
    wmi->identity.User = reinterpret_cast<unsigned short *>(wmi->user.data());
    wmi->identity.UserLength = static_cast<unsigned long>(wmi->user.size());
    wmi->identity.Domain = reinterpret_cast<unsigned short *>(wmi->domain.data());
    wmi->identity.DomainLength = static_cast<unsigned long>(wmi->domain.size());
    wmi->identity.Password = reinterpret_cast<unsigned short *>(wmi->password.data());
    wmi->identity.PasswordLength = static_cast<unsigned long>(wmi->password.size());
    wmi->identity.Flags = SEC_WINNT_AUTH_IDENTITY_UNICODE;
}

void
release_objects(platform_wmi *wmi)
{
    if (wmi->object != nullptr) {
        wmi->object->Release();
        wmi->object = nullptr;
    }
    if (wmi->results != nullptr) {
        wmi->results->Release();
        wmi->results = nullptr;
    }
    if (wmi->services != nullptr) {
        wmi->services->Release();
        wmi->services = nullptr;
    }
}

} // namespace

unsigned long
platform_wmi_startup()
{
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    return SUCCEEDED(hr) ? 0 : static_cast<unsigned long>(hr);
}

unsigned long
platform_wmi_startup_security()
{
    HRESULT hr = CoInitializeSecurity(nullptr, -1, nullptr, nullptr, RPC_C_AUTHN_LEVEL_PKT_PRIVACY,
                                      RPC_C_IMP_LEVEL_IMPERSONATE, nullptr, EOAC_NONE, nullptr);
    return SUCCEEDED(hr) ? 0 : static_cast<unsigned long>(hr);
}

void
platform_wmi_shutdown()
{
    CoUninitialize();
}

unsigned long
platform_hku_startup()
{
    return 0; // the registry client is part of the system
}

void
platform_wrkst_set_failure_sink(platform_wrkst_failure_sink sink)
{
    g_failure_sink = sink;
}

unsigned long
platform_wmi_connect(const char16_t *name_space, const char16_t *account, const char16_t *password,
                     long flags, platform_wmi **out)
{
    *out = nullptr;
    if (name_space == nullptr || std::wcslen(wide(name_space)) > NAMESPACE_LIMIT) {
        return static_cast<unsigned long>(WBEM_E_INVALID_PARAMETER);
    }
    auto *wmi = new (std::nothrow) platform_wmi{};
    if (wmi == nullptr) {
        return static_cast<unsigned long>(E_OUTOFMEMORY);
    }
    HRESULT hr = CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    if (SUCCEEDED(hr)) {
        wmi->com_entered = true;
        wmi->thread = GetCurrentThreadId();
    } else if (hr != RPC_E_CHANGED_MODE) { // a thread of another apartment may use it as it is
        delete wmi;
        return static_cast<unsigned long>(hr);
    }
    IWbemLocator *locator = nullptr;
    hr = CoCreateInstance(CLSID_WbemLocator, nullptr, CLSCTX_INPROC_SERVER, IID_IWbemLocator,
                          reinterpret_cast<void **>(&locator));
    if (SUCCEEDED(hr)) {
        bstr_holder path(wide(name_space), false);
        bstr_holder user(account != nullptr ? wide(account) : nullptr, false);
        bstr_holder secret(account != nullptr && password != nullptr ? wide(password) : nullptr,
                           true);
        bstr_holder locale(L"MS_409", false);
        if (path.text == nullptr || locale.text == nullptr ||
            (account != nullptr && user.text == nullptr) ||
            (account != nullptr && password != nullptr && secret.text == nullptr)) {
            hr = E_OUTOFMEMORY;
        } else {
            hr = locator->ConnectServer(path.text, user.text, secret.text, locale.text, flags,
                                        nullptr, nullptr, &wmi->services);
        }
        locator->Release();
    }
    if (FAILED(hr)) {
        platform_wmi_close(wmi);
        return static_cast<unsigned long>(hr);
    }
    if (account != nullptr) {
        set_identity(wmi, wide(account), wide(password));
    }
    *out = wmi;
    return 0;
}

unsigned long
platform_wmi_set_blanket(platform_wmi *wmi)
{
    return static_cast<unsigned long>(set_blanket_on(wmi, wmi->services));
}

unsigned long
platform_wmi_exec_query(platform_wmi *wmi, const char16_t *query)
{
    bstr_holder language(L"WQL", false);
    bstr_holder text(wide(query), false);
    if (language.text == nullptr || text.text == nullptr) {
        return static_cast<unsigned long>(E_OUTOFMEMORY);
    }
    if (wmi->results != nullptr) {
        wmi->results->Release();
        wmi->results = nullptr;
    }
    HRESULT hr = wmi->services->ExecQuery(language.text, text.text,
                                          WBEM_FLAG_FORWARD_ONLY | WBEM_FLAG_RETURN_IMMEDIATELY,
                                          nullptr, &wmi->results);
    if (SUCCEEDED(hr) && wmi->has_identity) {
        // The enumerator is a proxy of its own and would otherwise call as the service.
        hr = set_blanket_on(wmi, wmi->results);
    }
    return SUCCEEDED(hr) ? 0 : static_cast<unsigned long>(hr);
}

unsigned long
platform_wmi_next(platform_wmi *wmi, unsigned int timeout_ms, unsigned long *count)
{
    *count = 0;
    if (wmi->results == nullptr) {
        return static_cast<unsigned long>(E_POINTER);
    }
    if (wmi->object != nullptr) {
        wmi->object->Release();
        wmi->object = nullptr;
    }
    ULONG returned = 0;
    HRESULT hr = wmi->results->Next(static_cast<long>(timeout_ms), 1, &wmi->object, &returned);
    // WBEM_S_FALSE: fewer objects than asked for, here none: the enumeration is empty.
    // WBEM_S_TIMEDOUT (no object within the wait) is passed on as the reason of a failure.
    if (hr == WBEM_S_FALSE) {
        hr = S_OK;
    }
    *count = wmi->object != nullptr ? returned : 0;
    return static_cast<unsigned long>(hr);
}

unsigned long
platform_wmi_get_username(platform_wmi *wmi, char16_t *name, std::size_t capacity, bool *is_null)
{
    *is_null = false;
    if (capacity > 0) {
        name[0] = 0;
    }
    if (wmi->object == nullptr) {
        return static_cast<unsigned long>(E_POINTER);
    }
    VARIANT value;
    VariantInit(&value);
    HRESULT hr = wmi->object->Get(L"UserName", 0, &value, nullptr, nullptr);
    if (SUCCEEDED(hr)) {
        if (value.vt == VT_NULL || value.vt == VT_EMPTY) {
            *is_null = true;
        } else if (value.vt == VT_BSTR && value.bstrVal != nullptr) {
            copy_out(value.bstrVal, SysStringLen(value.bstrVal), name, capacity);
        } else {
            hr = DISP_E_TYPEMISMATCH;
        }
    }
    VariantClear(&value);
    return SUCCEEDED(hr) ? 0 : static_cast<unsigned long>(hr);
}

void
platform_wmi_close(platform_wmi *wmi)
{
    if (wmi == nullptr) {
        return;
    }
    release_objects(wmi);
    wipe(&wmi->password);
    if (wmi->com_entered && wmi->thread == GetCurrentThreadId()) {
        CoUninitialize();
    }
    delete wmi; // the handle's only owner
}

unsigned long
platform_hku_connect(const char16_t *host, const char16_t *account, const char16_t *password,
                     platform_hku **out)
{
    *out = nullptr;
    if (host == nullptr || host[0] == 0) {
        return ERROR_BAD_NETPATH;
    }
    auto *hku = new (std::nothrow) platform_hku{};
    if (hku == nullptr) {
        return ERROR_NOT_ENOUGH_MEMORY;
    }
    hku->host = wide(host);
    if (account != nullptr) {
        DWORD rc =
            hku->ipc.open(wide(host), wide(account), password != nullptr ? wide(password) : L"");
        if (rc != 0) {
            delete hku;
            return rc;
        }
    }
    LONG rc = RegConnectRegistryW(wide(host), HKEY_USERS, &hku->key);
    if (rc != ERROR_SUCCESS) {
        platform_hku_close(hku);
        return static_cast<unsigned long>(rc);
    }
    *out = hku;
    return 0;
}

unsigned long
platform_hku_enum_key(platform_hku *hku, unsigned long index, char16_t *name, std::size_t capacity)
{
    // A key name has at most 255 characters.
    wchar_t buffer[256];
    DWORD length = static_cast<DWORD>(std::size(buffer));
    LONG rc = RegEnumKeyExW(hku->key, index, buffer, &length, nullptr, nullptr, nullptr, nullptr);
    if (rc != ERROR_SUCCESS) {
        return static_cast<unsigned long>(rc);
    }
    copy_out(buffer, length, name, capacity);
    return 0;
}

unsigned long
platform_hku_lookup_sid(platform_hku *hku, const platform_sid &sid, char16_t *name,
                        char16_t *domain, std::size_t capacity, int *sid_type)
{
    // Windows knows only SIDs of revision 1, with 1 to 8 sub-authorities.
    if (sid.revision != SID_REVISION || sid.count == 0 || sid.count > 8) {
        return ERROR_INVALID_SID;
    }
    SID_IDENTIFIER_AUTHORITY authority;
    std::memcpy(authority.Value, sid.authority, sizeof authority.Value);
    PSID built = nullptr;
    if (!AllocateAndInitializeSid(&authority, sid.count, sid.sub_authority[0], sid.sub_authority[1],
                                  sid.sub_authority[2], sid.sub_authority[3], sid.sub_authority[4],
                                  sid.sub_authority[5], sid.sub_authority[6], sid.sub_authority[7],
                                  &built)) {
        return GetLastError();
    }
    std::wstring account(256, L'\0');
    std::wstring domain_name(256, L'\0');
    SID_NAME_USE use = SidTypeUnknown;
    DWORD rc = ERROR_SUCCESS;
    for (int attempt = 0; attempt < 2; ++attempt) {
        DWORD account_length = static_cast<DWORD>(account.size());
        DWORD domain_length = static_cast<DWORD>(domain_name.size());
        if (LookupAccountSidW(hku->host.c_str(), built, account.data(), &account_length,
                              domain_name.data(), &domain_length, &use)) {
            rc = ERROR_SUCCESS;
            break;
        }
        rc = GetLastError();
        if (rc != ERROR_INSUFFICIENT_BUFFER) {
            break;
        }
        // The lengths now hold the sizes needed, terminators included.
        account.assign(account_length + 1, L'\0');
        domain_name.assign(domain_length + 1, L'\0');
    }
    FreeSid(built);
    if (rc != ERROR_SUCCESS) {
        return rc;
    }
    copy_out(account.c_str(), std::wcslen(account.c_str()), name, capacity);
    copy_out(domain_name.c_str(), std::wcslen(domain_name.c_str()), domain, capacity);
    *sid_type = static_cast<int>(use);
    return 0;
}

void
platform_hku_close(platform_hku *hku)
{
    if (hku == nullptr) {
        return;
    }
    if (hku->key != nullptr) {
        RegCloseKey(hku->key);
    }
    hku->ipc.close();
    delete hku; // the handle's only owner
}
