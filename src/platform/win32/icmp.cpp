// Windows side of icmp.h: the ICMP interface of the IP helper library, which matches replies to
// the request itself, so several handles never see each other's replies.

#include "platform/icmp.h"

#include <winsock2.h>
#include <iphlpapi.h>
#include <icmpapi.h>

#include <new>

struct platform_icmp {
    HANDLE handle;
};

platform_icmp *
platform_icmp_open()
{
    HANDLE handle = IcmpCreateFile();
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto *icmp = new (std::nothrow) platform_icmp{handle};
    if (icmp == nullptr) {
        IcmpCloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    return icmp;
}

void
platform_icmp_close(platform_icmp *icmp)
{
    if (icmp != nullptr) {
        IcmpCloseHandle(icmp->handle);
        delete icmp; // the handle's only owner
    }
}

int
platform_icmp_echo(platform_icmp *icmp, std::uint32_t address, unsigned int timeout_ms,
                   unsigned long *status)
{
    *status = PLATFORM_ICMP_GENERAL_FAILURE;
    if (icmp == nullptr) {
        return 0;
    }
    // One reply record, and room for the 8 bytes of an ICMP error message that may follow it.
    alignas(ICMP_ECHO_REPLY) unsigned char reply[sizeof(ICMP_ECHO_REPLY) + 8 + 32] = {};
    char no_data = 0;
    DWORD replies = IcmpSendEcho(icmp->handle, htonl(address), &no_data, 0, nullptr, reply,
                                 sizeof reply, timeout_ms);
    if (replies == 0) {
        // Without a reply the last error says why (11010 when none came in time). A call that
        // failed without saying so must not read as success.
        DWORD error = GetLastError();
        *status = error != 0 ? error : PLATFORM_ICMP_GENERAL_FAILURE;
        return 0;
    }
    *status = reinterpret_cast<const ICMP_ECHO_REPLY *>(reply)->Status;
    return 1;
}
