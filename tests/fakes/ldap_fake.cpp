// The scripted directory client (see ldap_fake.h).

#include "fakes/ldap_fake.h"

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

struct platform_ldap {
    int last_result = 0;
};

namespace {

struct fake_state {
    std::mutex lock;
    std::deque<int> open_errors;
    std::size_t refusals = 0;
    int refusal_result = 0;
    std::deque<ldap_fake::search_answer> searches;
    std::map<std::string, ldap_fake::search_answer> by_filter;
    std::deque<int> subscriptions;
    std::deque<ldap_fake::wait_answer> waits;
    std::map<platform_ldap *, std::unique_ptr<platform_ldap>> sessions;
    std::vector<ldap_fake::search_call> search_calls;
    std::size_t opens = 0, binds = 0, subscribe_calls = 0;
    long time_limit = 0;
};
fake_state g_fake;

} // namespace

void
platform_ldap_set_defaults(long timeout_seconds, long)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.time_limit = timeout_seconds;
}

platform_ldap *
platform_ldap_open(const char *, int, int *error)
{
    std::lock_guard guard(g_fake.lock);
    ++g_fake.opens;
    int result = 0;
    if (!g_fake.open_errors.empty()) {
        result = g_fake.open_errors.front();
        g_fake.open_errors.pop_front();
    }
    if (result != 0) {
        *error = result;
        return nullptr;
    }
    auto session = std::make_unique<platform_ldap>();
    platform_ldap *out = session.get();
    g_fake.sessions[out] = std::move(session);
    return out;
}

int
platform_ldap_simple_bind(platform_ldap *, const char *, const char *)
{
    std::lock_guard guard(g_fake.lock);
    ++g_fake.binds;
    if (g_fake.refusals == 0) {
        return 0;
    }
    --g_fake.refusals;
    return g_fake.refusal_result;
}

int
platform_ldap_search(platform_ldap *session, const char *base, const char *filter, long, long,
                     std::vector<platform_ldap_entry> *entries)
{
    std::lock_guard guard(g_fake.lock);
    entries->clear();
    g_fake.search_calls.push_back({base, filter});
    ldap_fake::search_answer answer;
    auto keyed = g_fake.by_filter.find(filter);
    if (keyed != g_fake.by_filter.end()) {
        answer = keyed->second;
    } else if (!g_fake.searches.empty()) {
        answer = std::move(g_fake.searches.front());
        g_fake.searches.pop_front();
    }
    *entries = std::move(answer.entries);
    session->last_result = answer.result;
    return answer.result;
}

int
platform_ldap_last_result(platform_ldap *session)
{
    std::lock_guard guard(g_fake.lock);
    return session->last_result;
}

int
platform_ldap_monitor_events(platform_ldap *, const platform_ldap_event_request *, std::size_t,
                             int *message_id)
{
    std::lock_guard guard(g_fake.lock);
    ++g_fake.subscribe_calls;
    int result = 0;
    if (!g_fake.subscriptions.empty()) {
        result = g_fake.subscriptions.front();
        g_fake.subscriptions.pop_front();
    }
    *message_id = 1;
    return result;
}

int
platform_ldap_wait(platform_ldap *session, int, long, long, platform_ldap_message *out)
{
    {
        std::lock_guard guard(g_fake.lock);
        if (!g_fake.waits.empty()) {
            ldap_fake::wait_answer answer = std::move(g_fake.waits.front());
            g_fake.waits.pop_front();
            *out = std::move(answer.message);
            session->last_result = answer.last_result;
            return answer.result;
        }
    }
    // An idle subscription: a short time limit, so that a stop is seen soon.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
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
platform_ldap_close(platform_ldap *session)
{
    if (session == nullptr) {
        return;
    }
    std::lock_guard guard(g_fake.lock);
    g_fake.sessions.erase(session);
}

namespace ldap_fake {

void
script_opens(const std::vector<int> &errors)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.open_errors.insert(g_fake.open_errors.end(), errors.begin(), errors.end());
}

void
refuse_binds(std::size_t count, int result)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.refusals = count;
    g_fake.refusal_result = result;
}

void
script_searches(const std::vector<search_answer> &answers)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.searches.insert(g_fake.searches.end(), answers.begin(), answers.end());
}

void
answer_filter(const std::string &filter, const search_answer &answer)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.by_filter[filter] = answer;
}

void
script_subscriptions(const std::vector<int> &results)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.subscriptions.insert(g_fake.subscriptions.end(), results.begin(), results.end());
}

void
script_waits(const std::vector<wait_answer> &answers)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.waits.insert(g_fake.waits.end(), answers.begin(), answers.end());
}

std::size_t
opens()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.opens;
}

std::size_t
binds()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.binds;
}

std::size_t
subscriptions()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.subscribe_calls;
}

std::size_t
open_sessions()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.sessions.size();
}

std::size_t
waits_left()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.waits.size();
}

std::vector<search_call>
searches()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.search_calls;
}

long
last_time_limit()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.time_limit;
}

void
reset()
{
    std::lock_guard guard(g_fake.lock);
    g_fake.sessions.clear();
    g_fake.open_errors.clear();
    g_fake.refusals = 0;
    g_fake.searches.clear();
    g_fake.by_filter.clear();
    g_fake.subscriptions.clear();
    g_fake.waits.clear();
    g_fake.search_calls.clear();
    g_fake.opens = g_fake.binds = g_fake.subscribe_calls = 0;
    g_fake.time_limit = 0;
}

platform_ldap_entry
entry(const std::string &dn,
      const std::vector<std::pair<std::string, std::vector<std::string>>> &attributes)
{
    platform_ldap_entry out;
    out.dn = dn;
    for (const auto &[name, values] : attributes) {
        out.attributes.push_back({name, values});
    }
    return out;
}

} // namespace ldap_fake
