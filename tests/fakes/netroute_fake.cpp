// The scripted outgoing interface address (see netroute_fake.h).

#include "fakes/netroute_fake.h"

#include <string>

#include "platform/netroute.h"
#include "platform/system.h"

namespace {
std::u16string g_address = u"192.0.2.44";
bool g_fail = false;
} // namespace

namespace netroute_fake {

void
answer(const char16_t *address)
{
    g_address = address;
    g_fail = false;
}

void
fail()
{
    g_fail = true;
}

} // namespace netroute_fake

int
platform_internet_adapter_ip(char16_t *out, std::size_t capacity)
{
    if (g_fail) {
        platform_set_last_error(12);
        return -1;
    }
    if (g_address.empty()) {
        return 1;
    }
    if (g_address.size() + 1 > capacity) {
        return -1;
    }
    std::char_traits<char16_t>::copy(out, g_address.c_str(), g_address.size() + 1);
    return 0;
}
