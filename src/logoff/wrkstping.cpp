// The workstation ping.

#include "logoff/wrkstping.h"

#include <atomic>
#include <ctime>

#include "common/log.h"
#include "common/text.h"
#include "config/detector_settings.h"
#include "logoff/wrkstpoll_handlers.h"
#include "platform/icmp.h"
#include "platform/system.h"
#include "userdb/userdb.h"
#include "userdb/userinfo.h"

namespace {

struct ping_settings {
    // Written during start-up before the checks run; atomics keep tests that change them
    // between runs free of data races.
    std::atomic<std::int32_t> timeout{WRKSTPING_DEFAULT_TIMEOUT};
    std::atomic<std::uint8_t> retry{0};
};
ping_settings g_ping;

// The status texts of the ICMP interface, from 11001 on.
constexpr const char16_t *STATUS_TEXTS[] = {
    u"IP BUFFER TOO SMALL",
    u"Destination Network Unreachable",
    u"Destination Host Unreachable",
    u"Destination Protocol Unreachable",
    u"Destination Port Unreachable",
    u"NO Resources",
    u"BAD OPTION",
    u"IP HW ERROR",
    u"IP PACKET TOO BIG",
    u"Request Timeout",
    u"BAD REQUEST",
    u"BAD ROUTE",
    u"TTL expired in transit",
    u"TTL expired in reassembly",
    u"IP Parameter Problem",
    u"IP Source Quench",
    u"IP OPTIONS TOO BIG",
    u"BAD DESTINATION",
};
constexpr unsigned long STATUS_FIRST = 11001;
constexpr unsigned long STATUS_BAD_DESTINATION = 11018;

// A dotted IPv4 text ("a.b.c.d", each 0 to 255 in decimal) to an address in host byte order.
bool
parse_ipv4(const char *text, std::uint32_t *address)
{
    std::uint32_t value = 0;
    for (int part = 0; part < 4; ++part) {
        if (part > 0 && *text++ != '.') {
            return false;
        }
        int digits = 0;
        unsigned int octet = 0;
        for (; *text >= '0' && *text <= '9' && digits < 3; ++text, ++digits) {
            octet = octet * 10 + static_cast<unsigned int>(*text - '0');
        }
        if (digits == 0 || octet > 255) {
            return false;
        }
        value = value << 8 | octet;
    }
    *address = value;
    return *text == 0;
}

struct icmp_closer {
    void operator()(platform_icmp *icmp) const
    {
        platform_icmp_close(icmp);
    }
};

} // namespace

const char16_t *
wrkstping_status_text(unsigned long status)
{
    constexpr unsigned long count = sizeof STATUS_TEXTS / sizeof STATUS_TEXTS[0];
    if (status < STATUS_FIRST || status >= STATUS_FIRST + count) {
        return u"";
    }
    return STATUS_TEXTS[status - STATUS_FIRST];
}

void
wrkstping_init(std::int32_t timeout_ms, std::uint8_t retry)
{
    if (timeout_ms != 0) {
        wrkstping_set_timeout(timeout_ms);
    }
    if (retry != 0) {
        wrkstping_set_retry(retry);
    }
}

void
wrkstping_set_timeout(std::int32_t milliseconds)
{
    g_ping.timeout = milliseconds;
}

void
wrkstping_set_retry(std::uint8_t count)
{
    g_ping.retry = count;
}

std::int32_t
wrkstping_get_timeout()
{
    return g_ping.timeout;
}

std::uint8_t
wrkstping_get_retry()
{
    return g_ping.retry;
}

int
wrkstping_ping(const char16_t *address)
{
    if (address == nullptr) {
        log_write(LOG_ERROR, u"wrkstping_ping: Invalid Input Parameters");
        return 0;
    }
    char narrow[64];
    if (convert_unicode_to_ascii(address, narrow, sizeof narrow) != 0) {
        log_write(LOG_DEBUG, u"wrkstping_ping: string conversion failed");
        return 0;
    }
    log_write(LOG_DEBUG, u"wrkstping_ping: Workstation to be Pinged: %S",
              static_cast<const char *>(narrow));

    // A text that is no IPv4 address has no destination: every attempt fails as such, without
    // sending anything (an unparsed text must not turn into the broadcast address).
    std::uint32_t destination = 0;
    bool valid = parse_ipv4(narrow, &destination);

    std::unique_ptr<platform_icmp, icmp_closer> icmp(platform_icmp_open());
    if (icmp == nullptr) {
        log_write(LOG_ERROR, u"wrkstping_ping: ICMP Create File faild");
        return 0;
    }
    // A time-out below 1 ms would not wait at all; the interface counts whole milliseconds.
    std::int32_t timeout = g_ping.timeout;
    unsigned int wait_ms = timeout > 0 ? static_cast<unsigned int>(timeout) : 1;
    int answered = 0;
    std::uint8_t attempts = g_ping.retry;
    for (int attempt = 1; attempt <= attempts; ++attempt) {
        log_write(LOG_DEBUG, u"wrkstping_ping: Ping Retry Count: %d", attempt);
        unsigned long status = STATUS_BAD_DESTINATION;
        int replies = valid ? platform_icmp_echo(icmp.get(), destination, wait_ms, &status) : 0;
        if (replies > 0 && status == PLATFORM_ICMP_SUCCESS) {
            answered = 1;
            break;
        }
        log_write(LOG_DEBUG, u"wrkstping_ping: Ping Error: %s", wrkstping_status_text(status));
    }
    return answered;
}

void
wrkstping_workerthread(void *argument)
{
    if (argument == nullptr) {
        log_write(LOG_ERROR, u"wrkstping_workerthread: Invalid Input Parameters");
        return;
    }
    userinfo_ptr record(static_cast<UserInfo *>(argument));
    if (record->WrkstIP == nullptr) {
        log_write(LOG_ERROR, u"wrkstping_workerthread: Workstation to be Pinged is unknown");
    } else if (wrkstping_ping(record->WrkstIP) == 1) {
        log_write(LOG_MSG, u"wrkstping_workerthread: Workstation '%s' is Reachable",
                  record->WrkstIP);
        record->ExpireTime =
            static_cast<std::int32_t>(std::time(nullptr)) + logoff_detector_get_interval();
        record->Flags = UI_FLAG_ACTIVE;
        if (userinfo_db_update(record.get()) != 0) {
            log_write(LOG_ERROR, u"wrkstping_workerthread: userinfo couldnt updated");
        } else {
            log_write(LOG_DEBUG, u"wrkstping_workerthread: userinfo updated");
        }
        return;
    } else {
        log_write(LOG_ERROR, u"wrkstping_workerthread: Workstation '%s' is Unreachable",
                  record->WrkstIP);
    }
    if (wrkstpoll_handle_logoff_req(record.release(), 1) != 0) {
        log_write(LOG_ERROR, u"wrkstping_workerthread: user logoff couldn't handled");
    }
}
