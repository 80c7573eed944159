// The scripted resolver (see resolver_fake.h).

#include "fakes/resolver_fake.h"

#include <map>
#include <mutex>

namespace {
std::mutex g_lock;
std::map<std::string, std::vector<platform_resolved_address>> g_answers;
std::vector<std::string> g_lookups;
} // namespace

namespace resolver_fake {

void
answer(const std::string &name, const std::vector<platform_resolved_address> &entries)
{
    std::lock_guard guard(g_lock);
    g_answers[name] = entries;
}

const std::vector<std::string> &
lookups()
{
    return g_lookups;
}

void
reset()
{
    std::lock_guard guard(g_lock);
    g_answers.clear();
    g_lookups.clear();
}

platform_resolved_address
ipv4(unsigned a, unsigned b, unsigned c, unsigned d)
{
    return {PLATFORM_FAMILY_IPV4, (a << 24) | (b << 16) | (c << 8) | d};
}

platform_resolved_address
ipv6()
{
    return {PLATFORM_FAMILY_IPV6, 0};
}

} // namespace resolver_fake

int
platform_resolve_host(const char *name, platform_resolved_address *out, std::size_t capacity,
                      std::size_t *count)
{
    std::lock_guard guard(g_lock);
    *count = 0;
    g_lookups.emplace_back(name);
    auto it = g_answers.find(name);
    if (it == g_answers.end()) {
        return 11001;
    }
    for (const auto &entry : it->second) {
        if (*count == capacity) {
            break;
        }
        out[(*count)++] = entry;
    }
    return 0;
}
