// The scripted ICMP echo of icmp_fake.h.

#include "fakes/icmp_fake.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "platform/icmp.h"

struct platform_icmp {
    int unused;
};

namespace {
std::mutex g_lock;
icmp_fake::state g_state;
} // namespace

namespace icmp_fake {

void
script(const std::string &address, const std::vector<long> &statuses)
{
    unsigned a, b, c, d;
    std::sscanf(address.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    edit([&](state &s) {
        auto &queue = s.scripts[a << 24 | b << 16 | c << 8 | d];
        queue.insert(queue.end(), statuses.begin(), statuses.end());
    });
}

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

} // namespace icmp_fake

platform_icmp *
platform_icmp_open()
{
    std::lock_guard guard(g_lock);
    if (g_state.fail_open) {
        errno = EPERM;
        return nullptr;
    }
    g_state.most_open = std::max(g_state.most_open, ++g_state.open);
    return new platform_icmp{0};
}

void
platform_icmp_close(platform_icmp *icmp)
{
    if (icmp == nullptr) {
        return;
    }
    std::lock_guard guard(g_lock);
    --g_state.open;
    delete icmp;
}

int
platform_icmp_echo(platform_icmp *, std::uint32_t address, unsigned int timeout_ms,
                   unsigned long *status)
{
    std::unique_lock guard(g_lock);
    g_state.echoes.push_back({address, std::chrono::duration_cast<std::chrono::milliseconds>(
                                           std::chrono::steady_clock::now().time_since_epoch())
                                           .count()});
    std::deque<long> &queue = g_state.scripts[address];
    long next = queue.empty() ? -1 : queue.front();
    if (!queue.empty()) {
        queue.pop_front();
    }
    if (next >= 0) {
        *status = static_cast<unsigned long>(next);
        return 1;
    }
    if (g_state.wait_timeouts) {
        guard.unlock();
        std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
    }
    *status = PLATFORM_ICMP_TIMED_OUT;
    return 0;
}
