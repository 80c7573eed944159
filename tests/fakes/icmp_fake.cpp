// The scripted ICMP echo of icmp_fake.h.

#include "fakes/icmp_fake.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <chrono>
#include <deque>
#include <map>
#include <mutex>
#include <new>
#include <thread>

#include "platform/icmp.h"

struct platform_icmp {
    int unused;
};

namespace {

struct fake_state {
    std::mutex lock;
    std::map<std::uint32_t, std::deque<long>> scripts;
    std::vector<icmp_fake::echo> echoes;
    bool fail_open = false;
    bool wait_timeouts = false;
    int open = 0;
    int most_open = 0;
};
fake_state g_fake;

std::uint32_t
parse(const std::string &text)
{
    unsigned a, b, c, d;
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &a, &b, &c, &d);
    return a << 24 | b << 16 | c << 8 | d;
}

long long
now_ms()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

namespace icmp_fake {

void
script(const std::string &address, const std::vector<long> &statuses)
{
    std::lock_guard guard(g_fake.lock);
    auto &queue = g_fake.scripts[parse(address)];
    queue.insert(queue.end(), statuses.begin(), statuses.end());
}

void
fail_open(bool fail)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.fail_open = fail;
}

std::vector<echo>
echoes()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.echoes;
}

int
open_handles()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.open;
}

int
most_open()
{
    std::lock_guard guard(g_fake.lock);
    return g_fake.most_open;
}

void
wait_timeouts(bool wait)
{
    std::lock_guard guard(g_fake.lock);
    g_fake.wait_timeouts = wait;
}

void
reset()
{
    std::lock_guard guard(g_fake.lock);
    g_fake.scripts.clear();
    g_fake.echoes.clear();
    g_fake.fail_open = false;
    g_fake.wait_timeouts = false;
    g_fake.open = 0;
    g_fake.most_open = 0;
}

} // namespace icmp_fake

platform_icmp *
platform_icmp_open()
{
    std::lock_guard guard(g_fake.lock);
    if (g_fake.fail_open) {
        errno = EPERM;
        return nullptr;
    }
    g_fake.most_open = std::max(g_fake.most_open, ++g_fake.open);
    return new platform_icmp{0};
}

void
platform_icmp_close(platform_icmp *icmp)
{
    if (icmp == nullptr) {
        return;
    }
    std::lock_guard guard(g_fake.lock);
    --g_fake.open;
    delete icmp;
}

int
platform_icmp_echo(platform_icmp *, std::uint32_t address, unsigned int timeout_ms,
                   unsigned long *status)
{
    std::unique_lock guard(g_fake.lock);
    g_fake.echoes.push_back({address, now_ms()});
    auto &queue = g_fake.scripts[address];
    long next = -1;
    if (!queue.empty()) {
        next = queue.front();
        queue.pop_front();
    }
    if (next < 0) {
        if (g_fake.wait_timeouts) {
            guard.unlock();
            std::this_thread::sleep_for(std::chrono::milliseconds(timeout_ms));
        }
        *status = PLATFORM_ICMP_TIMED_OUT;
        return 0;
    }
    *status = static_cast<unsigned long>(next);
    return 1;
}
