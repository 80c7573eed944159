// Windows side of netroute.h: GetBestInterface asks the routing table which interface traffic to
// 8.8.8.8 would take (nothing is sent), and GetIpAddrTable lists the IPv4 addresses with their
// interface index.

#include "platform/netroute.h"

#include <winsock2.h>
#include <iphlpapi.h>

#include <cstdio>
#include <memory>
#include <new>

int
platform_internet_adapter_ip(char16_t *out, std::size_t capacity)
{
    if (out == nullptr || capacity == 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // 8.8.8.8 reads the same in either byte order.
    DWORD best = 0;
    if (GetBestInterface(0x08080808u, &best) != NO_ERROR) {
        return 1;
    }
    // The table's size can grow between the two calls; ask again when it did.
    std::unique_ptr<unsigned char[]> buffer;
    MIB_IPADDRTABLE *table = nullptr;
    DWORD rc = ERROR_INSUFFICIENT_BUFFER;
    ULONG size = 0;
    for (int attempt = 0; attempt < 3 && rc == ERROR_INSUFFICIENT_BUFFER; ++attempt) {
        rc = GetIpAddrTable(table, &size, FALSE);
        if (rc == ERROR_INSUFFICIENT_BUFFER) {
            buffer.reset(new (std::nothrow) unsigned char[size]);
            table = reinterpret_cast<MIB_IPADDRTABLE *>(buffer.get());
            if (table == nullptr) {
                rc = ERROR_NOT_ENOUGH_MEMORY;
            }
        }
    }
    if (rc != NO_ERROR) {
        SetLastError(rc);
        return -1;
    }
    if (table == nullptr) {
        return 1; // the table was empty when first asked: no interface has an address
    }
    // Every row of that interface is written in turn: the last one in the table wins.
    char text[16] = {};
    for (DWORD i = 0; i < table->dwNumEntries; ++i) {
        const MIB_IPADDRROW &row = table->table[i];
        if (row.dwIndex == best) {
            const auto *bytes = reinterpret_cast<const unsigned char *>(&row.dwAddr);
            std::snprintf(text, sizeof text, "%u.%u.%u.%u", bytes[0], bytes[1], bytes[2], bytes[3]);
        }
    }
    std::size_t n = 0;
    while (text[n] != 0) {
        ++n;
    }
    if (n == 0) {
        return 1;
    }
    if (n + 1 > capacity) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return -1;
    }
    for (std::size_t i = 0; i <= n; ++i) {
        out[i] = static_cast<char16_t>(text[i]);
    }
    return 0;
}
