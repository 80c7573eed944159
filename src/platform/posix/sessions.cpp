// POSIX side of sessions.h.
//
// No C or C++ client for the server service (MS-SRVS) exists here, so each portion is one run
// of the helper program nivo-wrkst (helper_run.h: time limit, output cap, credentials on
// standard input): "nivo-wrkst sessions HOST RESUME" makes one NetrSessionEnum call on the host
// with the resume handle in decimal, at level 10, or at level 1 when the server knows no level
// 10 (error 124). Its answer, lines of tab-separated fields ending with "end":
//
//   session CLIENT USER     one session in the server's order (either text may be empty)
//   noclient USER           one session without a client name
//   unreadable              one session whose texts the helper could not carry
//   result CODE RESUME      last line of a listing: 0 or 234 (more data), and the resume
//                           handle the server returned, in decimal
//   error CODE              the only line when there is no listing: a Win32 error in decimal
//                           (access denied 5, logon failure 1326, host unreachable 53, or the
//                           server's own code)
//
// User names come as Windows gives them, without a domain prefix. Anything else (see
// helper_run.h), a result line that is not last, more than SESSIONS_LIMIT sessions, or "more
// data" with no session in it (the caller would ask again for ever) is no answer:
// ERROR_BAD_NETPATH. The portions are made with std::malloc, as platform_sessions_free expects.

#include "platform/sessions.h"

#include <cstdlib>
#include <cstring>

#include <mutex>
#include <string>
#include <vector>

#include "platform/posix/helper_run.h"
#include "platform/posix/utf8_path.h"

namespace {

constexpr unsigned long ERROR_NOT_ENOUGH_MEMORY_CODE = 8;
constexpr unsigned long ERROR_BAD_NETPATH_CODE = 53;
constexpr unsigned long ERROR_INVALID_NAME_CODE = 123;
// An honest answer of this many sessions (a line of 64 bytes each: an address or a host name
// and a user name) fits the helper's output cap; the helper asks the server for portions of
// that size.
constexpr std::size_t SESSIONS_LIMIT = posix::HELPER_OUTPUT_LIMIT / 64;
constexpr std::size_t HOST_LIMIT = 255;

struct sessions_state {
    std::mutex lock; // the credentials are set at start-up and read by every listing
    std::u16string account;
    std::u16string password;
};
sessions_state g_sessions;

struct answer_session {
    bool readable = true;
    bool has_client = false;
    std::u16string client;
    std::u16string user;
};

struct answer {
    unsigned long code = 0;
    std::uint32_t resume = 0;
    std::vector<answer_session> sessions;
};

// The host of a configured server text ("\\dc1", "dc1" or an address): empty when it is not a
// plain host text.
std::string
server_host(const char16_t *server)
{
    std::string text = posix::to_utf8(server);
    std::size_t start = text.find_first_not_of('\\');
    if (start == std::string::npos || text.size() - start > HOST_LIMIT) {
        return {};
    }
    return posix::helper_host_text(text.substr(start));
}

bool
parse_session(const std::vector<std::string> &f, answer_session *session)
{
    if (f[0] == "session" && f.size() == 3) {
        session->has_client = true;
        return posix::helper_to_utf16(f[1], &session->client) &&
               posix::helper_to_utf16(f[2], &session->user);
    }
    if (f[0] == "noclient" && f.size() == 2) {
        return posix::helper_to_utf16(f[1], &session->user);
    }
    session->readable = false;
    return f[0] == "unreadable" && f.size() == 1;
}

bool
parse_sessions(const std::vector<std::vector<std::string>> &lines, answer *out)
{
    if (lines.empty()) {
        return false;
    }
    const std::vector<std::string> &last = lines.back();
    unsigned long resume = 0;
    if (last[0] == "error" && last.size() == 2 && lines.size() == 1) {
        return posix::helper_parse_number(last[1], 10, 0xFFFFFFFFUL, &out->code) &&
               out->code != 0 && out->code != PLATFORM_SESSIONS_MORE_DATA;
    }
    if (last[0] != "result" || last.size() != 3 ||
        !posix::helper_parse_number(last[1], 10, PLATFORM_SESSIONS_MORE_DATA, &out->code) ||
        (out->code != 0 && out->code != PLATFORM_SESSIONS_MORE_DATA) ||
        !posix::helper_parse_number(last[2], 10, 0xFFFFFFFFUL, &resume) ||
        lines.size() - 1 > SESSIONS_LIMIT ||
        (out->code == PLATFORM_SESSIONS_MORE_DATA && lines.size() == 1)) {
        return false;
    }
    out->resume = static_cast<std::uint32_t>(resume);
    out->sessions.resize(lines.size() - 1);
    for (std::size_t i = 0; i + 1 < lines.size(); ++i) {
        if (!parse_session(lines[i], &out->sessions[i])) {
            return false;
        }
    }
    return true;
}

char16_t *
copy_text(const std::u16string &text)
{
    auto *copy = static_cast<char16_t *>(std::malloc((text.size() + 1) * sizeof(char16_t)));
    if (copy != nullptr) {
        std::memcpy(copy, text.c_str(), (text.size() + 1) * sizeof(char16_t));
    }
    return copy;
}

// The portion of the answer's sessions, or null when memory ran out.
platform_session_portion *
make_portion(const std::vector<answer_session> &sessions)
{
    auto *portion =
        static_cast<platform_session_portion *>(std::calloc(1, sizeof(platform_session_portion)));
    if (portion == nullptr) {
        return nullptr;
    }
    portion->entries =
        static_cast<platform_session **>(std::calloc(sessions.size(), sizeof(platform_session *)));
    if (portion->entries == nullptr) {
        std::free(portion);
        return nullptr;
    }
    for (const answer_session &s : sessions) {
        platform_session *entry = nullptr;
        if (s.readable) {
            entry = static_cast<platform_session *>(std::calloc(1, sizeof(platform_session)));
            if (entry == nullptr) {
                platform_sessions_free(portion);
                return nullptr;
            }
            portion->entries[portion->count] = entry;
            entry->client_name = s.has_client ? copy_text(s.client) : nullptr;
            entry->user_name = copy_text(s.user);
            if ((s.has_client && entry->client_name == nullptr) || entry->user_name == nullptr) {
                ++portion->count;
                platform_sessions_free(portion);
                return nullptr;
            }
        }
        ++portion->count;
    }
    return portion;
}

} // namespace

void
platform_sessions_set_credentials(const char16_t *account, const char16_t *password)
{
    std::lock_guard guard(g_sessions.lock);
    std::fill(g_sessions.password.begin(), g_sessions.password.end(), u'\0');
    g_sessions.account = account != nullptr ? account : u"";
    g_sessions.password = password != nullptr ? password : u"";
}

unsigned long
platform_sessions_enum(const char16_t *server, platform_session_portion **out,
                       std::uint32_t *resume_token)
{
    *out = nullptr;
    std::string host = server_host(server);
    if (host.empty()) {
        return ERROR_INVALID_NAME_CODE; // never on the helper's command line
    }
    std::vector<std::string> args{"sessions", host, std::to_string(*resume_token)};
    std::u16string account;
    std::u16string password;
    {
        std::lock_guard guard(g_sessions.lock);
        account = g_sessions.account;
        password = g_sessions.password;
    }
    std::vector<std::vector<std::string>> lines;
    bool answered = posix::helper_run(args, account.c_str(), password.c_str(), &lines);
    std::fill(password.begin(), password.end(), u'\0');
    if (!answered) {
        return ERROR_BAD_NETPATH_CODE;
    }
    answer a;
    if (!parse_sessions(lines, &a)) {
        posix::helper_report_failure(args, "answer not understood");
        return ERROR_BAD_NETPATH_CODE;
    }
    if (a.code != 0 && a.code != PLATFORM_SESSIONS_MORE_DATA) {
        return a.code;
    }
    if (!a.sessions.empty()) {
        *out = make_portion(a.sessions);
        if (*out == nullptr) {
            return ERROR_NOT_ENOUGH_MEMORY_CODE;
        }
    }
    *resume_token = a.resume;
    return a.code;
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
