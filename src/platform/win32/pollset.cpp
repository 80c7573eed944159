// Windows side of pollset.h: WSAPoll over an array of the set's sockets. Each wait passes the
// whole array, which is fine for the few thousand sockets a set holds.

#include "platform/pollset.h"

#include <winsock2.h>

#include <new>
#include <vector>

struct platform_pollset {
    std::vector<WSAPOLLFD> sockets;
    std::size_t next = 0; // where the next wait starts collecting, so no socket is always last
};

platform_pollset *
platform_pollset_create()
{
    auto *set = new (std::nothrow) platform_pollset;
    if (set == nullptr) {
        WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
    }
    return set;
}

void
platform_pollset_destroy(platform_pollset *set)
{
    delete set;
}

int
platform_pollset_add(platform_pollset *set, platform_socket_t s)
{
    for (const WSAPOLLFD &entry : set->sockets) {
        if (entry.fd == static_cast<SOCKET>(s)) {
            WSASetLastError(WSAEINVAL);
            return -1;
        }
    }
    WSAPOLLFD entry{};
    entry.fd = static_cast<SOCKET>(s);
    entry.events = POLLRDNORM;
    try {
        set->sockets.push_back(entry);
    } catch (...) {
        WSASetLastError(WSA_NOT_ENOUGH_MEMORY);
        return -1;
    }
    return 0;
}

int
platform_pollset_remove(platform_pollset *set, platform_socket_t s)
{
    for (std::size_t i = 0; i < set->sockets.size(); ++i) {
        if (set->sockets[i].fd == static_cast<SOCKET>(s)) {
            set->sockets[i] = set->sockets.back();
            set->sockets.pop_back();
            return 0;
        }
    }
    WSASetLastError(WSAENOTSOCK);
    return -1;
}

int
platform_pollset_wait(platform_pollset *set, platform_socket_t *ready, std::size_t capacity,
                      int timeout_ms)
{
    if (set->sockets.empty()) {
        // WSAPoll refuses an empty array; the wait is then only the time limit.
        Sleep(timeout_ms < 0 ? INFINITE : static_cast<DWORD>(timeout_ms));
        return 0;
    }
    int n = WSAPoll(set->sockets.data(), static_cast<ULONG>(set->sockets.size()), timeout_ms);
    if (n == SOCKET_ERROR) {
        return -1;
    }
    std::size_t count = 0;
    const std::size_t size = set->sockets.size();
    for (std::size_t k = 0; k < size && count < capacity; ++k) {
        WSAPOLLFD &entry = set->sockets[(set->next + k) % size];
        if (entry.revents != 0) {
            ready[count++] = static_cast<platform_socket_t>(entry.fd);
            entry.revents = 0;
        }
    }
    set->next = (set->next + 1) % size;
    return static_cast<int>(count);
}
