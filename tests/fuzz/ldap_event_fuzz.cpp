// Fuzz target: any bytes as the value of a directory event or of the end of an event
// subscription. The first byte chooses the decoder (even: event, odd: end); the rest is the value.
// A refused value leaves nothing but the error; an accepted one holds only bounded DNs.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <optional>
#include <string>

#include "platform/ldap.h"

namespace {

void
check_dn(const std::optional<std::string> &dn)
{
    if (dn &&
        (dn->empty() || dn->size() > PLATFORM_LDAP_DN_MAX || dn->find('\0') != std::string::npos)) {
        std::abort();
    }
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    platform_ldap_message message;
    int rc = (data[0] & 1) == 0 ? platform_ldap_decode_event(data + 1, size - 1, &message)
                                : platform_ldap_decode_monitor_end(data + 1, size - 1, &message);
    if (rc != message.parse_result) {
        std::abort();
    }
    if (rc != 0 && (message.perpetrator_dn || message.user_dn || message.base_dn ||
                    !message.refused_event_types.empty())) {
        std::abort();
    }
    check_dn(message.perpetrator_dn);
    check_dn(message.user_dn);
    check_dn(message.base_dn);
    return 0;
}
