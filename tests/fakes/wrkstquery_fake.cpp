// The scripted workstation queries of wrkstquery_fake.h.

#include "fakes/wrkstquery_fake.h"

#include <map>
#include <mutex>

#include "platform/wrkstquery.h"

namespace {

struct fake_state {
    std::mutex lock;
    std::map<std::string, wrkstquery_fake::workstation> stations;
    std::map<std::string, int> connects;
    std::vector<std::string> looked_up;
    int open = 0;
};
fake_state g_fake;

std::string
narrow(const char16_t *text)
{
    std::string out;
    for (; text != nullptr && *text != 0; ++text) {
        out.push_back(static_cast<char>(*text));
    }
    return out;
}

void
copy(const std::string &text, char16_t *out, std::size_t capacity)
{
    std::size_t i = 0;
    for (; i < text.size() && i + 1 < capacity; ++i) {
        out[i] = static_cast<unsigned char>(text[i]);
    }
    out[i] = 0;
}

// "\\a.b.c.d" or "\\a.b.c.d\root\cimv2" to "a.b.c.d".
std::string
address_of(const char16_t *text)
{
    std::string s = narrow(text).substr(2);
    return s.substr(0, s.find('\\'));
}

// A connection to address: 0 and the workstation, or a refusal while the script says so.
unsigned long
connect(const std::string &address, wrkstquery_fake::workstation **out)
{
    std::lock_guard guard(g_fake.lock);
    ++g_fake.connects[address];
    auto it = g_fake.stations.find(address);
    if (it == g_fake.stations.end()) {
        return 53;
    }
    if (it->second.failed_connects > 0) {
        --it->second.failed_connects;
        return 53;
    }
    ++g_fake.open;
    *out = &it->second;
    return 0;
}

} // namespace

struct platform_wmi {
    wrkstquery_fake::workstation *w;
};
struct platform_hku {
    wrkstquery_fake::workstation *w;
};

namespace wrkstquery_fake {

void
script(const std::string &address, const workstation &w)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.stations[address] = w;
}

int
connects(const std::string &address)
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.connects[address];
}

std::vector<std::string>
looked_up()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.looked_up;
}

int
open_handles()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.open;
}

void
reset()
{
    std::lock_guard guard(g_fake.lock);
    g_fake.stations.clear();
    g_fake.connects.clear();
    g_fake.looked_up.clear();
    g_fake.open = 0;
}

} // namespace wrkstquery_fake

unsigned long
platform_wmi_startup()
{
    return 0;
}

unsigned long
platform_wmi_startup_security()
{
    return 0;
}

void
platform_wmi_shutdown()
{
}

unsigned long
platform_hku_startup()
{
    return 0;
}

void
platform_wrkst_set_failure_sink(platform_wrkst_failure_sink)
{
}

unsigned long
platform_wmi_connect(const char16_t *name_space, const char16_t *, const char16_t *, long,
                     platform_wmi **out)
{
    wrkstquery_fake::workstation *w = nullptr;
    unsigned long rc = connect(address_of(name_space), &w);
    if (rc == 0) {
        *out = new platform_wmi{w};
    }
    return rc;
}

unsigned long
platform_wmi_set_blanket(platform_wmi *wmi)
{
    return wmi->w->wmi_outcome == "blanket" ? 0x80070005UL : 0;
}

unsigned long
platform_wmi_exec_query(platform_wmi *wmi, const char16_t *)
{
    return wmi->w->wmi_outcome == "query" ? 0x80041017UL : 0;
}

unsigned long
platform_wmi_next(platform_wmi *wmi, unsigned int, unsigned long *count)
{
    *count = wmi->w->wmi_outcome == "empty" ? 0 : 1;
    return wmi->w->wmi_outcome == "next" ? 0x80041032UL : 0;
}

unsigned long
platform_wmi_get_username(platform_wmi *wmi, char16_t *name, std::size_t capacity, bool *is_null)
{
    if (wmi->w->wmi_outcome == "get") {
        return 0x80041002UL;
    }
    *is_null = wmi->w->wmi_outcome == "null";
    copy(wmi->w->wmi_user, name, capacity);
    return 0;
}

void
platform_wmi_close(platform_wmi *wmi)
{
    std::lock_guard guard(g_fake.lock);
    --g_fake.open;
    delete wmi;
}

unsigned long
platform_hku_connect(const char16_t *host, const char16_t *, const char16_t *, platform_hku **out)
{
    wrkstquery_fake::workstation *w = nullptr;
    unsigned long rc = connect(address_of(host), &w);
    if (rc == 0) {
        *out = new platform_hku{w};
    }
    return rc;
}

unsigned long
platform_hku_enum_key(platform_hku *hku, unsigned long index, char16_t *name, std::size_t capacity)
{
    if (index >= hku->w->keys.size()) {
        return PLATFORM_REG_NO_MORE_ITEMS;
    }
    copy(hku->w->keys[index], name, capacity);
    return 0;
}

unsigned long
platform_hku_lookup_sid(platform_hku *hku, const platform_sid &sid, char16_t *name,
                        char16_t *domain, std::size_t capacity, int *sid_type)
{
    unsigned long long authority = 0;
    for (std::uint8_t b : sid.authority) {
        authority = authority << 8 | b;
    }
    std::string text = "S-" + std::to_string(sid.revision) + "-" + std::to_string(authority);
    for (int i = 0; i < sid.count; ++i) {
        text += "-" + std::to_string(sid.sub_authority[i]);
    }
    std::lock_guard guard(g_fake.lock);
    g_fake.looked_up.push_back(text);
    for (const wrkstquery_fake::lookup &l : hku->w->lookups) {
        if (l.sid == text && l.type != 0) {
            copy(l.name, name, capacity);
            copy(l.domain, domain, capacity);
            *sid_type = l.type;
            return 0;
        }
    }
    return 1332;
}

void
platform_hku_close(platform_hku *hku)
{
    std::lock_guard guard(g_fake.lock);
    --g_fake.open;
    delete hku;
}
