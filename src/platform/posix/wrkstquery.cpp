// POSIX side of wrkstquery.h.
//
// No C or C++ client for WMI (DCOM) or the remote registry (MS-RRP) with its LSA lookups exists
// here, so each query runs the helper program nivo-wrkst (helper_run.h: time limit, output cap,
// credentials on standard input). Its answers, lines of tab-separated fields ending with "end":
//
//   wmi ADDRESS     connect HEX | blanket HEX | query HEX | next HEX | get HEX   (a failed step)
//                   empty | null | user DOMAIN\USER                               (the outcome)
//   hku ADDRESS     connect DECIMAL                                 (no connection)
//                   key NAME ... and, for each SID-shaped key name,
//                   sid SID TYPE DOMAIN NAME | nosid SID DECIMAL
//   lookup ADDRESS SID   sid ... | nosid ...
//
// Anything else (a line that does not parse, a missing "end", a non-zero exit, a crash, a
// time-out, more output than an honest answer needs) is no answer at all: the connection
// failed, and the caller tries again or treats the workstation as unreachable.

#include "platform/wrkstquery.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include <new>
#include <string>
#include <vector>

#include "platform/posix/helper_run.h"
#include "platform/posix/utf8_path.h"

namespace {

using posix::helper_parse_number;
using posix::helper_run;
using posix::helper_to_utf16;

constexpr unsigned long E_FAIL_CODE = 0x80004005UL;    // a WMI answer that was no answer
constexpr unsigned long ERROR_BAD_NETPATH_CODE = 53;   // a registry answer that was none
constexpr unsigned long ERROR_NONE_MAPPED_CODE = 1332; // a SID without an account

struct sid_answer {
    std::string sid;
    bool mapped;
    unsigned long error;
    int type;
    std::u16string domain;
    std::u16string name;
};

// A SID as its standard text: the authority in decimal below 2^32, else in hexadecimal.
std::string
sid_text(const platform_sid &sid)
{
    unsigned long long authority = 0;
    for (std::uint8_t b : sid.authority) {
        authority = authority << 8 | b;
    }
    char buffer[32];
    std::string text = "S-" + std::to_string(sid.revision) + "-";
    if (authority < (1ULL << 32)) {
        text += std::to_string(authority);
    } else {
        std::snprintf(buffer, sizeof buffer, "0x%012llX", authority);
        text += buffer;
    }
    for (std::uint8_t i = 0; i < sid.count && i < 8; ++i) {
        text += "-" + std::to_string(sid.sub_authority[i]);
    }
    return text;
}

bool
parse_sid_line(const std::vector<std::string> &fields, sid_answer *answer)
{
    unsigned long number = 0;
    if (fields[0] == "sid" && fields.size() == 5 &&
        helper_parse_number(fields[2], 10, 255, &number) &&
        helper_to_utf16(fields[3], &answer->domain) && helper_to_utf16(fields[4], &answer->name)) {
        answer->sid = fields[1];
        answer->mapped = true;
        answer->type = static_cast<int>(number);
        answer->error = 0;
        return true;
    }
    if (fields[0] == "nosid" && fields.size() == 3 &&
        helper_parse_number(fields[2], 10, 0xFFFFFFFFUL, &number)) {
        answer->sid = fields[1];
        answer->mapped = false;
        answer->error = number != 0 ? number : ERROR_NONE_MAPPED_CODE;
        return true;
    }
    return false;
}

// The address part of "\\address" or "\\address\root\cimv2".
std::string
address_of(const char16_t *text)
{
    std::string whole = posix::to_utf8(text);
    if (whole.rfind("\\\\", 0) != 0) {
        return {};
    }
    std::string rest = whole.substr(2);
    return posix::helper_host_text(rest.substr(0, rest.find('\\')));
}

void
copy_out(const std::u16string &text, char16_t *out, std::size_t capacity)
{
    if (capacity == 0) {
        return;
    }
    std::size_t n = text.size() < capacity - 1 ? text.size() : capacity - 1;
    std::memcpy(out, text.data(), n * sizeof(char16_t));
    out[n] = 0;
}

} // namespace

struct platform_wmi {
    std::string failed_step; // empty when the query went through
    unsigned long code;
    bool empty;
    bool is_null;
    std::u16string user;
};

struct platform_hku {
    std::string address;
    std::u16string account;
    std::u16string password;
    std::vector<std::u16string> keys;
    std::vector<sid_answer> sids;
};

namespace {

// The client is the helper: it must run and load what the kind of query needs.
bool
probe_helper(const char *kind)
{
    std::vector<std::string> args{"probe", kind};
    std::vector<std::vector<std::string>> lines;
    if (!helper_run(args, u"", u"", &lines)) {
        return false;
    }
    if (lines.size() != 1 || lines[0].size() != 1 || lines[0][0] != "ready") {
        posix::helper_report_failure(args, "answer not understood");
        return false;
    }
    return true;
}

} // namespace

unsigned long
platform_wmi_startup()
{
    return probe_helper("wmi") ? 0 : E_FAIL_CODE;
}

unsigned long
platform_hku_startup()
{
    return probe_helper("hku") ? 0 : ERROR_BAD_NETPATH_CODE;
}

unsigned long
platform_wmi_startup_security()
{
    return 0; // each helper run sets packet privacy and impersonation on its own connection
}

void
platform_wmi_shutdown()
{
}

unsigned long
platform_wmi_connect(const char16_t *name_space, const char16_t *account, const char16_t *password,
                     long, platform_wmi **out)
{
    *out = nullptr;
    std::string address = address_of(name_space);
    if (address.empty()) {
        return E_FAIL_CODE;
    }
    std::vector<std::vector<std::string>> lines;
    if (!helper_run({"wmi", address}, account, password, &lines) || lines.size() != 1) {
        return E_FAIL_CODE;
    }
    const std::vector<std::string> &f = lines[0];
    unsigned long code = 0;
    auto *wmi = new (std::nothrow) platform_wmi{};
    if (wmi == nullptr) {
        return E_FAIL_CODE;
    }
    bool valid = false;
    if (f.size() == 2 && helper_parse_number(f[1], 16, 0xFFFFFFFFUL, &code) && code != 0) {
        if (f[0] == "connect") {
            delete wmi;
            return code;
        }
        valid = f[0] == "blanket" || f[0] == "query" || f[0] == "next" || f[0] == "get";
        wmi->failed_step = f[0];
        wmi->code = code;
    } else if (f.size() == 1 && (f[0] == "empty" || f[0] == "null")) {
        valid = true;
        wmi->empty = f[0] == "empty";
        wmi->is_null = f[0] == "null";
    } else if (f.size() == 2 && f[0] == "user" && !f[1].empty()) {
        valid = helper_to_utf16(f[1], &wmi->user);
    }
    if (!valid) {
        delete wmi;
        return E_FAIL_CODE;
    }
    *out = wmi;
    return 0;
}

unsigned long
platform_wmi_set_blanket(platform_wmi *wmi)
{
    return wmi->failed_step == "blanket" ? wmi->code : 0;
}

unsigned long
platform_wmi_exec_query(platform_wmi *wmi, const char16_t *)
{
    return wmi->failed_step == "query" ? wmi->code : 0;
}

unsigned long
platform_wmi_next(platform_wmi *wmi, unsigned int, unsigned long *count)
{
    *count = wmi->empty ? 0 : 1;
    return wmi->failed_step == "next" ? wmi->code : 0;
}

unsigned long
platform_wmi_get_username(platform_wmi *wmi, char16_t *name, std::size_t capacity, bool *is_null)
{
    if (wmi->failed_step == "get") {
        return wmi->code;
    }
    *is_null = wmi->is_null;
    copy_out(wmi->user, name, capacity);
    return 0;
}

void
platform_wmi_close(platform_wmi *wmi)
{
    delete wmi; // the handle's only owner
}

unsigned long
platform_hku_connect(const char16_t *host, const char16_t *account, const char16_t *password,
                     platform_hku **out)
{
    *out = nullptr;
    std::string address = address_of(host);
    if (address.empty()) {
        return ERROR_BAD_NETPATH_CODE;
    }
    std::vector<std::vector<std::string>> lines;
    if (!helper_run({"hku", address}, account, password, &lines)) {
        return ERROR_BAD_NETPATH_CODE;
    }
    auto *hku = new (std::nothrow) platform_hku{};
    if (hku == nullptr) {
        return ERROR_BAD_NETPATH_CODE;
    }
    hku->address = address;
    hku->account = account != nullptr ? account : u"";
    hku->password = password != nullptr ? password : u"";
    unsigned long code = 0;
    for (const std::vector<std::string> &f : lines) {
        std::u16string key;
        sid_answer answer;
        if (lines.size() == 1 && f[0] == "connect" && f.size() == 2 &&
            helper_parse_number(f[1], 10, 0xFFFFFFFFUL, &code) && code != 0) {
            delete hku;
            return code;
        }
        if (f[0] == "key" && f.size() == 2 && !f[1].empty() && helper_to_utf16(f[1], &key)) {
            hku->keys.push_back(key);
        } else if (parse_sid_line(f, &answer)) {
            hku->sids.push_back(answer);
        } else {
            delete hku;
            return ERROR_BAD_NETPATH_CODE;
        }
    }
    *out = hku;
    return 0;
}

unsigned long
platform_hku_enum_key(platform_hku *hku, unsigned long index, char16_t *name, std::size_t capacity)
{
    if (index >= hku->keys.size()) {
        return PLATFORM_REG_NO_MORE_ITEMS;
    }
    copy_out(hku->keys[index], name, capacity);
    return 0;
}

unsigned long
platform_hku_lookup_sid(platform_hku *hku, const platform_sid &sid, char16_t *name,
                        char16_t *domain, std::size_t capacity, int *sid_type)
{
    std::string text = sid_text(sid);
    const sid_answer *found = nullptr;
    for (const sid_answer &a : hku->sids) {
        if (a.sid == text) {
            found = &a;
        }
    }
    sid_answer asked;
    if (found == nullptr) {
        // Not among those the connection looked up already: ask the workstation for this one.
        std::vector<std::vector<std::string>> lines;
        if (!helper_run({"lookup", hku->address, text}, hku->account.c_str(), hku->password.c_str(),
                        &lines) ||
            lines.size() != 1 || !parse_sid_line(lines[0], &asked) || asked.sid != text) {
            return ERROR_BAD_NETPATH_CODE;
        }
        found = &asked;
    }
    if (!found->mapped) {
        return found->error;
    }
    copy_out(found->name, name, capacity);
    copy_out(found->domain, domain, capacity);
    *sid_type = found->type;
    return 0;
}

void
platform_hku_close(platform_hku *hku)
{
    if (hku != nullptr) {
        std::fill(hku->password.begin(), hku->password.end(), u'\0');
    }
    delete hku; // the handle's only owner
}
