// The DC Agent's event-log monitor (see dca_eventlog.h).

#include "dca/dca_eventlog.h"

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/log.h"
#include "common/text.h"
#include "dca/dca_pipeline.h"
#include "config/detector_settings.h"
#include "platform/netroute.h"
#include "platform/system.h"

namespace {

constexpr std::size_t READ_BUFFER_SIZE = 4096;
constexpr std::size_t ADAPTER_IP_UNITS = 20;

constexpr std::uint32_t EVENT_KERBEROS_OLD = 672;
constexpr std::uint32_t EVENT_KERBEROS = 4768;
constexpr std::uint32_t EVENT_NTLM_OLD = 680;
constexpr std::uint32_t EVENT_NTLM = 4776;

struct monitor_state {
    int ntlm = 0;
    std::u16string source; // EVENTLOG-FILE, joined to the base directory when relative
    bool older_layout = false;
    platform_eventlog *log = nullptr;
    platform_eventlog_notification *notification = nullptr;
};
monitor_state g_monitor;

const char16_t *
event_type_name(std::uint16_t type)
{
    switch (type) {
    case EVENTLOG_ERROR_TYPE:
        return u"Error";
    case EVENTLOG_WARNING_TYPE:
        return u"Warning";
    case EVENTLOG_INFORMATION_TYPE:
        return u"Information";
    case EVENTLOG_AUDIT_SUCCESS:
        return u"AuditSuccess";
    case EVENTLOG_AUDIT_FAILURE:
        return u"AuditFail";
    default:
        return u"";
    }
}

// Lines the event source skipped go to both logs. The message ends with its line break, which
// the log's escaping of arguments would otherwise show.
void
report_skipped(const char *message)
{
    std::string_view text(message);
    if (!text.empty() && text.back() == '\n') {
        text.remove_suffix(1);
    }
    log_write_event(LOG_ERROR, u"%S\n", text);
}

// The event's insertion strings, each ended by its terminator inside the record; a string that
// runs past the record's end ends the list.
std::vector<std::u16string>
insertion_strings(const eventlog_record *event)
{
    std::vector<std::u16string> strings;
    const auto *base = reinterpret_cast<const unsigned char *>(event);
    std::size_t end = event->length;
    std::size_t at = event->string_offset;
    for (std::uint16_t i = 0; i < event->num_strings && at < end; ++i) {
        std::u16string text;
        bool terminated = false;
        while (at + sizeof(char16_t) <= end) {
            char16_t unit;
            std::memcpy(&unit, base + at, sizeof unit);
            at += sizeof unit;
            if (unit == 0) {
                terminated = true;
                break;
            }
            text.push_back(unit);
        }
        if (!terminated) {
            break;
        }
        strings.push_back(std::move(text));
    }
    return strings;
}

void
set_text(char16_t **field, const std::u16string &value)
{
    text_free(*field);
    *field = tsso_string_dup_w(value.c_str());
}

std::string
narrow(const char16_t *text)
{
    std::string out(wtext_length(text) * 3 + 1, '\0');
    if (convert_unicode_to_ascii(text, out.data(), out.size()) != 0) {
        return std::string();
    }
    out.resize(std::strlen(out.c_str()));
    return out;
}

// Hands every accepted event among the records read to the pipeline.
void
process_records(const unsigned char *buffer, std::size_t length)
{
    std::size_t at = 0;
    while (at + sizeof(eventlog_record) <= length) {
        const auto *event = reinterpret_cast<const eventlog_record *>(buffer + at);
        if (event->length < sizeof(eventlog_record) || event->length > length - at) {
            break; // not a whole record: nothing after it can be trusted either
        }
        std::uint32_t id = event->event_id & 0xFFFFu;
        log_write_event(LOG_DEBUG, u"dca_eventlog: got security event: ID: %d <-> Type: %d\n",
                        static_cast<int>(id), static_cast<int>(event->event_type));
        bool kerberos = (id == EVENT_KERBEROS_OLD || id == EVENT_KERBEROS) &&
                        event->event_type == EVENTLOG_AUDIT_SUCCESS;
        bool ntlm = !kerberos && g_monitor.ntlm == 1 &&
                    (id == EVENT_NTLM_OLD || id == EVENT_NTLM) &&
                    event->event_type == EVENTLOG_AUDIT_SUCCESS;
        if (kerberos || ntlm) {
            if (kerberos) {
                log_write_event(LOG_DEBUG, u"dca_eventlog: got Kerberos authentication event\n");
            } else {
                log_write_event(LOG_DEBUG, u"dca_eventlog: got NTLM authentication event\n");
            }
            UserInfo *record = userdb_allocate_userinfo();
            if (record == nullptr) {
                log_write_event(LOG_ERROR, u"dca_eventlog: userinfo allocation failed\n");
            } else {
                if (kerberos) {
                    init_userinfo_kerberos(event, record);
                } else {
                    init_userinfo_ntlm(event, record);
                }
                init_userinfo_common(event, record);
                (void)dca_enqueue_userinfo(record);
                log_write_event(LOG_DEBUG, u"dca_eventlog: userinfo enqueued to dca processor\n");
            }
        }
        at += event->length;
    }
}

} // namespace

void
dca_eventlog_init(const dca_eventlog_settings &settings)
{
    const char16_t *source = settings.eventlog_file;
    g_monitor.source.clear();
    if (source != nullptr) {
        g_monitor.source = source;
    }
    // A relative EVENTLOG-FILE lies in the base directory.
    char16_t joined[1024];
    bool relative = source != nullptr && source[0] != 0 && source[0] != u'/' &&
                    source[0] != u'\\' && source[1] != u':';
    if (relative && settings.base_directory != nullptr &&
        config_string_cat(settings.base_directory, source, joined, sizeof joined) == 0) {
        g_monitor.source = joined;
    }
    g_monitor.older_layout = settings.older_layout;
}

void
dca_set_eventlog_ntlm()
{
    g_monitor.ntlm = 1;
}

void
dca_eventlog_reset()
{
    g_monitor.ntlm = 0;
    g_monitor.source.clear();
    g_monitor.older_layout = false;
}

int
open_eventlog(const char16_t *log_name, std::uint32_t *next)
{
    g_monitor.notification = platform_eventlog_notification_create();
    if (g_monitor.notification == nullptr) {
        log_write_event(LOG_ERROR, u"open_eventlog: event object creation failed: %d\n",
                        platform_last_error());
        return -1;
    }
    log_write_event(LOG_DEBUG, u"open_eventlog: event object created\n");

    const char16_t *source = g_monitor.source.empty() ? nullptr : g_monitor.source.c_str();
    g_monitor.log = platform_eventlog_open(log_name, source, report_skipped);
    if (g_monitor.log == nullptr) {
        log_write_event(LOG_ERROR, u"open_eventlog: EventLog for Source %s couldn't open\n",
                        log_name != nullptr ? log_name : u"");
        close_eventlog();
        return -1;
    }
    log_write_event(LOG_DEBUG, u"open_eventlog: EventLog opened\n");

    std::uint32_t oldest = 0;
    if (platform_eventlog_oldest(g_monitor.log, &oldest) != 0) {
        log_write_event(LOG_ERROR, u"open_eventlog: couldn't got oldest event log\n");
        close_eventlog();
        return -1;
    }
    log_write_event(LOG_DEBUG, u"open_eventlog: oldest event log: %d\n", static_cast<int>(oldest));

    std::uint32_t count = 0;
    if (platform_eventlog_count(g_monitor.log, &count) != 0) {
        log_write_event(LOG_ERROR, u"open_eventlog: couldn't got number of event logs\n");
        close_eventlog();
        return -1;
    }
    log_write_event(LOG_DEBUG, u"open_eventlog: number of event logs: %d\n",
                    static_cast<int>(count));

    if (platform_eventlog_notify(g_monitor.log, g_monitor.notification) != 0) {
        log_write_event(LOG_ERROR,
                        u"open_eventlog: event log notification registration failed: %d\n",
                        platform_last_error());
        close_eventlog();
        return -1;
    }
    // Records already in the log are never read.
    *next = oldest + count;
    return 0;
}

void
close_eventlog()
{
    platform_eventlog_close(g_monitor.log);
    g_monitor.log = nullptr;
    platform_eventlog_notification_close(g_monitor.notification);
    g_monitor.notification = nullptr;
    log_write_event(LOG_INFO, u"close_eventlog: EventLog DCA closed\n");
}

void
dca_eventlog(void *argument)
{
    const char16_t *log_name =
        argument != nullptr ? static_cast<const char16_t *>(argument) : u"security";
    log_write_event(LOG_INFO, u"dca_eventlog: EventLog DCA initializing\n");
    std::uint32_t next = 0;
    if (open_eventlog(log_name, &next) != 0) {
        log_write_event(LOG_ERROR, u"dca_eventlog: EventLog DCA initialization failed\n");
        return;
    }
    log_write_event(LOG_INFO, u"dca_eventlog: EventLog DCA initialized\n");
    bool seek = true;
    alignas(8) unsigned char buffer[READ_BUFFER_SIZE];
    for (;;) {
        log_write_event(LOG_DEBUG, u"dca_eventlog: waiting for event log notification\n");
        if (platform_eventlog_wait(g_monitor.notification, 0xFFFFFFFFu) != 0) {
            log_write_event(LOG_ERROR, u"dca_eventlog: Wait on EventLog Failed: %d\n",
                            platform_last_error());
            close_eventlog();
            return;
        }
        log_write_event(LOG_DEBUG, u"dca_eventlog: received event log notification\n");
        for (;;) {
            std::size_t read = 0;
            std::size_t needed = 0;
            unsigned int flags =
                (seek ? EVENTLOG_SEEK_READ : EVENTLOG_SEQUENTIAL_READ) | EVENTLOG_FORWARDS_READ;
            int rc = platform_eventlog_read(g_monitor.log, flags, next, buffer, sizeof buffer,
                                            &read, &needed);
            if (rc == 0) {
                seek = false;
                process_records(buffer, read);
                continue;
            }
            if (rc == EVENTLOG_ERROR_HANDLE_EOF) {
                break;
            }
            log_write_event(LOG_ERROR, u"dca_eventlog: ReadEventLog failed: %lu\n",
                            static_cast<unsigned long>(rc));
            log_write_event(LOG_INFO, u"dca_eventlog: Re-opening EventLog\n");
            close_eventlog();
            if (open_eventlog(log_name, &next) != 0) {
                log_write_event(LOG_ERROR, u"dca_eventlog: EventLog DCA initialization failed\n");
                return;
            }
            log_write_event(LOG_INFO, u"dca_eventlog: EventLog DCA re-opened\n");
            seek = true;
            break;
        }
    }
}

void
init_userinfo_common(const eventlog_record *event, UserInfo *record)
{
    log_write_event(LOG_DEBUG, u"init_userinfo_common: Event ID: %d\n",
                    static_cast<int>(event->event_id));
    log_write_event(LOG_DEBUG, u"init_userinfo_common: EventType: %s\n",
                    event_type_name(event->event_type));
    record->CreateTime = static_cast<std::int32_t>(event->time_generated);
    record->ExpireTime =
        static_cast<std::int32_t>(event->time_generated + logoff_detector_get_interval());
    record->LogonType = UI_LOGON_DC;
    log_write_event(LOG_DEBUG, u"init_userinfo_common: CreateTime: %ld\n",
                    static_cast<long>(record->CreateTime));
    log_write_event(LOG_DEBUG, u"init_userinfo_common: ExpireTime: %ld\n",
                    static_cast<long>(record->ExpireTime));
    log_write_event(LOG_DEBUG, u"init_userinfo_common: LogonType: %ld\n",
                    static_cast<long>(record->LogonType));
}

void
init_userinfo_ntlm(const eventlog_record *event, UserInfo *record)
{
    std::vector<std::u16string> strings = insertion_strings(event);
    if (strings.size() > 1) {
        set_text(&record->User, strings[1]);
        log_write_event(LOG_MSG, u"init_userinfo_ntlm: UserName: %s\n", record->User);
    }
    if (strings.size() > 2) {
        set_text(&record->WrkstName, strings[2]);
        log_write_event(LOG_MSG, u"init_userinfo_ntlm: WorkstationName: %s\n", record->WrkstName);
    }
}

void
init_userinfo_kerberos(const eventlog_record *event, UserInfo *record)
{
    std::vector<std::u16string> strings = insertion_strings(event);
    bool version_5_0 = g_monitor.older_layout;
    for (std::size_t i = 0; i < strings.size(); ++i) {
        const std::u16string &text = strings[i];
        if (i == 0) {
            set_text(&record->User, text);
            log_write_event(LOG_MSG, u"init_userinfo_kerberos: UserName: %s\n", record->User);
        } else if (i == 1) {
            set_text(&record->Domain, text);
            log_write_event(LOG_MSG, u"init_userinfo_kerberos: DomainName: %s\n", record->Domain);
        } else if (i == 8 && event->event_id == EVENT_KERBEROS_OLD && version_5_0) {
            set_text(&record->WrkstIP, text);
            log_write_event(LOG_MSG, u"init_userinfo_kerberos: WorkstationIP: %s\n",
                            record->WrkstIP);
        } else if (i == 9 && !version_5_0 && event->event_id == EVENT_KERBEROS_OLD) {
            if (text == u"127.0.0.1") {
                log_write_event(LOG_DEBUG,
                                u"init_userinfo_kerberos: localhost ip given from AD(127.0.0.1)\n");
                log_write_event(
                    LOG_DEBUG,
                    u"init_userinfo_kerberos: finding interface with internet traffic\n");
                char16_t found[ADAPTER_IP_UNITS];
                GetWorkingInternetAdapterIP(found);
                log_write_event(LOG_DEBUG, u"init_userinfo_kerberos: interface found\n");
                set_text(&record->WrkstIP, found);
            } else {
                set_text(&record->WrkstIP, text);
            }
            log_write_event(LOG_MSG, u"init_userinfo_kerberos: WorkstationIP: %s\n",
                            record->WrkstIP);
        } else if (i == 9 && !version_5_0 && event->event_id == EVENT_KERBEROS) {
            log_write_event(LOG_MSG, u"init_userinfo_kerberos: IPv6 WorkstationIP: %S\n",
                            narrow(text.c_str()).c_str());
            std::size_t colon = text.rfind(u':');
            std::u16string part = colon == std::u16string::npos ? text : text.substr(colon + 1);
            if (part == u"1") {
                log_write_event(LOG_DEBUG,
                                u"init_userinfo_kerberos: localhost ip given from AD(127.0.0.1)");
                log_write_event(LOG_DEBUG,
                                u"init_userinfo_kerberos: finding interface with internet traffic");
                char16_t found[ADAPTER_IP_UNITS];
                GetWorkingInternetAdapterIP(found);
                log_write_event(LOG_DEBUG, u"init_userinfo_kerberos: interface found with ip %S",
                                narrow(found).c_str());
                set_text(&record->WrkstIP, found);
            } else {
                set_text(&record->WrkstIP, part);
            }
            log_write_event(LOG_MSG, u"init_userinfo_kerberos: IPv4 WorkstationIP: %s\n",
                            record->WrkstIP);
        }
    }
}

void
GetWorkingInternetAdapterIP(char16_t *out)
{
    std::memset(out, 0, ADAPTER_IP_UNITS * sizeof(char16_t));
    if (platform_internet_adapter_ip(out, ADAPTER_IP_UNITS) < 0) {
        log_write_event(LOG_ERROR,
                        u"GetWorkingInternetAdapterIP::GetIpAddrTable failed with error %d\n",
                        platform_last_error());
        out[0] = 0;
    }
}
