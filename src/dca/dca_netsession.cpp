// The DC Agent's session poller (see dca_netsession.h).

#include "dca/dca_netsession.h"

#include <ctime>
#include <memory>

#include "common/log.h"
#include "common/stop_signal.h"
#include "config/detector_settings.h"
#include "dca/dca_pipeline.h"
#include "platform/sessions.h"
#include "userdb/userinfo.h"

std::atomic<std::int32_t> g_poll_dc{1};

namespace {

// A server that answers "more data" without end must not hold its job in one pass for ever: an
// honest one sends everything in a few portions, as much as is needed is asked for.
constexpr int MAX_PORTIONS_PER_PASS = 1024;

struct poller_control {
    std::atomic<std::int32_t> interval{DCA_DEFAULT_POLL_INTERVAL}; // seconds
    stop_signal stop;
};
poller_control g_poller;

struct portion_deleter {
    void operator()(platform_session_portion *portion) const
    {
        platform_sessions_free(portion);
    }
};

// One session with a user name becomes a logon at its client for the pipeline. A record that
// cannot be made drops the session for this pass; the next pass reports it again.
void
hand_on_session(const char16_t *dc, const platform_session &session)
{
    log_write(LOG_DEBUG, u"dca_netsession: Logged-in USER: %s\n", session.user_name);
    userinfo_ptr record(userdb_allocate_userinfo());
    if (record == nullptr || userdb_set_text(&record->User, session.user_name) != 0) {
        return;
    }
    log_write(LOG_DEBUG, u"dca_netsession: Logged-in USER-1: %s\n", record->User);
    // Servers give the client as "\\name" or "\\address"; the pipeline resolves the bare text.
    const char16_t *client = session.client_name;
    while (client != nullptr && *client == u'\\') {
        ++client;
    }
    if (userdb_set_text(&record->SourceDC, dc) != 0 ||
        userdb_set_text(&record->WrkstName, client) != 0) {
        return;
    }
    init_userinfo_common(record.get());
    (void)dca_enqueue_userinfo(record.release());
}

// Walks one portion in the server's order; an unreadable entry ends the walk, as nothing after
// it can be trusted.
void
walk_portion(const char16_t *dc, const platform_session_portion &portion)
{
    for (std::size_t i = 0; i < portion.count; ++i) {
        const platform_session *session = portion.entries != nullptr ? portion.entries[i] : nullptr;
        if (session == nullptr) {
            log_write(LOG_ERROR, u"dca_netsession: Access Violation\n");
            return;
        }
        if (session->user_name == nullptr || session->user_name[0] == 0) {
            continue;
        }
        hand_on_session(dc, *session);
    }
}

} // namespace

void
dca_set_poll_dc(std::int32_t value)
{
    g_poll_dc.store(value);
    log_write(LOG_DEBUG, u"dca_set_poll_dc: g_poll_dc set to %d\n", static_cast<int>(value));
}

void
dca_netsession_set_poll_interval(std::int32_t seconds)
{
    // A pause of 0 would poll without a break; compared as unsigned, negative values are large.
    if (seconds != 0) {
        std::uint32_t wanted = static_cast<std::uint32_t>(seconds);
        g_poller.interval.store(wanted > static_cast<std::uint32_t>(DCA_MAX_POLL_INTERVAL)
                                    ? DCA_MAX_POLL_INTERVAL
                                    : static_cast<std::int32_t>(wanted));
    }
    log_write(LOG_DEBUG,
              u"dca_netsession_set_poll_interval: DC Poll Interval set to '%d' seconds\n",
              static_cast<int>(g_poller.interval.load()));
}

std::int32_t
dca_netsession_get_poll_interval()
{
    return g_poller.interval.load();
}

void
init_userinfo_common(UserInfo *record)
{
    record->CreateTime = static_cast<std::int32_t>(std::time(nullptr));
    record->ExpireTime = record->CreateTime + logoff_detector_get_interval();
    record->LogonType = UI_LOGON_DC;
    log_write(LOG_DEBUG, u"init_userinfo_common: CreateTime: %ld\n",
              static_cast<long>(record->CreateTime));
    log_write(LOG_DEBUG, u"init_userinfo_common: ExpireTime: %ld\n",
              static_cast<long>(record->ExpireTime));
    log_write(LOG_DEBUG, u"init_userinfo_common: LogonType: %ld\n",
              static_cast<long>(record->LogonType));
}

void
dca_netsession_poll(const char16_t *dc, std::uint32_t *resume_token)
{
    log_write(LOG_DEBUG, u"dca_netsession: Polling DC: '%s'\n", dc);
    unsigned long result = 0;
    int portions = 0;
    do {
        if (++portions > MAX_PORTIONS_PER_PASS) {
            log_write(LOG_ERROR,
                      u"dca_netsession: DC '%s' still has more sessions after %d portions; "
                      u"the rest waits for the next pass\n",
                      dc, MAX_PORTIONS_PER_PASS);
            return;
        }
        platform_session_portion *raw = nullptr;
        result = platform_sessions_enum(dc, &raw, resume_token);
        std::unique_ptr<platform_session_portion, portion_deleter> portion(raw);
        if (result == 0 || result == PLATFORM_SESSIONS_MORE_DATA) {
            if (portion != nullptr) {
                walk_portion(dc, *portion);
            }
        } else {
            log_write(LOG_ERROR, u"dca_netsession: Unable to Query DC: '%s': Error: %d\n", dc,
                      static_cast<int>(result));
        }
    } while (result == PLATFORM_SESSIONS_MORE_DATA);
    // A complete listing starts the next pass from the beginning. Some servers leave the handle
    // at the count of sessions listed, and a pass that went on from there would list none.
    if (result == 0) {
        *resume_token = 0;
    }
}

void
dca_netsession(void *dc_name)
{
    const auto *dc = static_cast<const char16_t *>(dc_name);
    // The listing's place is kept from call to call, and from one pass to the next when a pass
    // ended before the last portion.
    std::uint32_t resume_token = 0;
    for (;;) {
        if (g_poll_dc.load() != 0) {
            dca_netsession_poll(dc, &resume_token);
        }
        if (g_poller.stop.pause(1000UL * static_cast<unsigned long>(g_poller.interval.load()))) {
            return;
        }
    }
}

void
dca_netsession_log_listing_failure(const char *utf8_text)
{
    log_write_a(LOG_ERROR, "dca_netsession: %s\n", utf8_text);
}

void
dca_netsession_stop()
{
    g_poller.stop.stop();
}

void
dca_netsession_reset()
{
    g_poller.stop.reset();
    g_poller.interval.store(DCA_DEFAULT_POLL_INTERVAL);
    g_poll_dc.store(1);
}
