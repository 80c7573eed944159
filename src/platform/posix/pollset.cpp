// POSIX side of pollset.h: epoll, level-triggered, so that a socket with bytes left is reported
// again on the next wait.

#include "platform/pollset.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <new>

struct platform_pollset {
    int epoll;
};

platform_pollset *
platform_pollset_create()
{
    int epoll = epoll_create1(EPOLL_CLOEXEC);
    if (epoll < 0) {
        return nullptr;
    }
    auto *set = new (std::nothrow) platform_pollset{epoll};
    if (set == nullptr) {
        close(epoll);
        errno = ENOMEM;
    }
    return set;
}

void
platform_pollset_destroy(platform_pollset *set)
{
    if (set != nullptr) {
        close(set->epoll);
        delete set;
    }
}

int
platform_pollset_add(platform_pollset *set, platform_socket_t s)
{
    epoll_event wanted{};
    wanted.events = EPOLLIN;
    wanted.data.fd = static_cast<int>(s);
    return epoll_ctl(set->epoll, EPOLL_CTL_ADD, static_cast<int>(s), &wanted) == 0 ? 0 : -1;
}

int
platform_pollset_remove(platform_pollset *set, platform_socket_t s)
{
    return epoll_ctl(set->epoll, EPOLL_CTL_DEL, static_cast<int>(s), nullptr) == 0 ? 0 : -1;
}

int
platform_pollset_wait(platform_pollset *set, platform_socket_t *ready, std::size_t capacity,
                      int timeout_ms)
{
    constexpr int BATCH = 256;
    epoll_event events[BATCH];
    int most = capacity < BATCH ? static_cast<int>(capacity) : BATCH;
    int n;
    do {
        n = epoll_wait(set->epoll, events, most, timeout_ms);
    } while (n < 0 && errno == EINTR);
    if (n < 0) {
        return -1;
    }
    // EPOLLHUP and EPOLLERR come without being asked for; the receive that follows reports them.
    for (int i = 0; i < n; ++i) {
        ready[i] = events[i].data.fd;
    }
    return n;
}
