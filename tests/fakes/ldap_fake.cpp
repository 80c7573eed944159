// The scripted directory client (see ldap_fake.h).

#include "fakes/ldap_fake.h"

#include <chrono>
#include <mutex>
#include <thread>

struct platform_ldap {
    int last_result = 0;
};

namespace {

std::mutex g_lock;
ldap_fake::state g_state;

template <class T>
T
take(std::deque<T> &queue)
{
    if (queue.empty()) {
        return T{};
    }
    T out = std::move(queue.front());
    queue.pop_front();
    return out;
}

} // namespace

void
platform_ldap_set_defaults(long timeout_seconds, long)
{
    std::lock_guard guard(g_lock);
    g_state.time_limit = timeout_seconds;
}

platform_ldap *
platform_ldap_open(const char *, int, int *error)
{
    std::lock_guard guard(g_lock);
    ++g_state.opens;
    *error = take(g_state.open_errors);
    if (*error != 0) {
        return nullptr;
    }
    ++g_state.open_sessions;
    return new platform_ldap;
}

int
platform_ldap_simple_bind(platform_ldap *, const char *, const char *)
{
    std::lock_guard guard(g_lock);
    ++g_state.binds;
    if (g_state.refused_binds == 0) {
        return 0;
    }
    --g_state.refused_binds;
    return 49;
}

int
platform_ldap_search(platform_ldap *session, const char *base, const char *filter, long, long,
                     std::vector<platform_ldap_entry> *entries)
{
    std::lock_guard guard(g_lock);
    g_state.search_calls.push_back({base, filter});
    ldap_fake::search_answer answer = take(g_state.searches);
    *entries = std::move(answer.entries);
    return session->last_result = answer.result;
}

int
platform_ldap_last_result(platform_ldap *session)
{
    std::lock_guard guard(g_lock);
    return session->last_result;
}

int
platform_ldap_monitor_events(platform_ldap *, const platform_ldap_event_request *, std::size_t,
                             int *message_id)
{
    std::lock_guard guard(g_lock);
    ++g_state.subscribes;
    *message_id = 1;
    return take(g_state.subscribe_results);
}

int
platform_ldap_wait(platform_ldap *, int, long, long, platform_ldap_message *out)
{
    {
        std::lock_guard guard(g_lock);
        if (!g_state.waits.empty()) {
            ldap_fake::wait_answer answer = take(g_state.waits);
            *out = std::move(answer.message);
            return answer.result;
        }
    }
    // An idle subscription: a short time limit, so that a stop is seen soon.
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
    return 0;
}

void
platform_ldap_close(platform_ldap *session)
{
    if (session == nullptr) {
        return;
    }
    std::lock_guard guard(g_lock);
    --g_state.open_sessions;
    delete session;
}

namespace ldap_fake {

void
edit(const std::function<void(state &)> &change)
{
    std::lock_guard guard(g_lock);
    change(g_state);
}

state
seen()
{
    std::lock_guard guard(g_lock);
    return g_state;
}

} // namespace ldap_fake
