// The DC Agent's filter lists and filters.

#include "dca/filter/dca_filter.h"

#include <new>
#include <string>
#include <vector>

#include "common/log.h"
#include "common/number.h"
#include "platform/netaddr.h"
#include "platform/socket.h"

namespace {

struct net_entry {
    std::uint32_t network; // host byte order, already masked
    std::uint32_t mask;
};

struct filter_state {
    std::vector<wtext_ptr> users;
    std::vector<wtext_ptr> login_ips;
    std::vector<wtext_ptr> logoff_ips;
    std::vector<wtext_ptr> domains;
    std::vector<net_entry> auth_nets;
    std::vector<net_entry> login_nets;
    std::vector<net_entry> logoff_nets;
    std::vector<net_entry> agent_nets;
    wtext_ptr host_domain;
    wtext_ptr host_domain_fqdn;
};
filter_state g_filter;

std::vector<wtext_ptr> &
ip_list(dca_iplist list)
{
    return list == DCA_IPLIST_LOGOFF ? g_filter.logoff_ips : g_filter.login_ips;
}

std::vector<net_entry> &
net_list(dca_netlist list)
{
    switch (list) {
    case DCA_NETLIST_LOGIN:
        return g_filter.login_nets;
    case DCA_NETLIST_LOGOFF:
        return g_filter.logoff_nets;
    case DCA_NETLIST_AGENT:
        return g_filter.agent_nets;
    default:
        return g_filter.auth_nets;
    }
}

// Appends an owned copy; false when memory is exhausted.
bool
append_copy(std::vector<wtext_ptr> &list, const char16_t *text)
{
    try {
        list.reserve(list.size() + 1);
    } catch (const std::bad_alloc &) {
        return false;
    }
    list.emplace_back(tsso_string_dup_w(text));
    return true;
}

bool
contains_nocase(const std::vector<wtext_ptr> &list, const char16_t *text)
{
    for (const wtext_ptr &entry : list) {
        if (wtext_equal_nocase(entry.get(), text)) {
            return true;
        }
    }
    return false;
}

// The messages of one of the three network-list builders: the same texts, each with its own
// function name, and its own level for the trace and failure lines.
struct net_add_messages {
    unsigned int level;
    wfmt<const char16_t *> entry;
    wfmt<> invalid;
    wfmt<std::uint32_t> netmask;
    wfmt<int> translation;
    wfmt<std::uint32_t> subnet;
    wfmt<> allocation;
};

constexpr net_add_messages AUTH_ADD = {
    LOG_MSG,
    u"dca_addnet_authnetlist: AuthNetwork: %s\n",
    u"dca_addnet_authnetlist: Invalid AuthNetwork\n",
    u"dca_addnet_authnetlist: Netmask: 0x%08x\n",
    u"dca_addnet_authnetlist: ip string to address translation failed: %d\n",
    u"dca_addnet_authnetlist: Subnet: 0x%08x\n",
    u"dca_addnet_authnetlist: AuthNetwork Node allocation failed\n",
};
constexpr net_add_messages LOGIN_ADD = {
    LOG_DEBUG,
    u"dca_login_ipexc_addnet_authnetlist: AuthNetwork: %s\n",
    u"dca_login_ipexc_addnet_authnetlist: Invalid AuthNetwork\n",
    u"dca_login_ipexc_addnet_authnetlist: Netmask: 0x%08x\n",
    u"dca_login_ipexc_addnet_authnetlist: ip string to address translation failed: %d\n",
    u"dca_login_ipexc_addnet_authnetlist: Subnet: 0x%08x\n",
    u"dca_login_ipexc_addnet_authnetlist: AuthNetwork Node allocation failed\n",
};
constexpr net_add_messages LOGOFF_ADD = {
    LOG_DEBUG,
    u"dca_logoff_ipexc_addnet_authnetlist: AuthNetwork: %s\n",
    u"dca_logoff_ipexc_addnet_authnetlist: Invalid AuthNetwork\n",
    u"dca_logoff_ipexc_addnet_authnetlist: Netmask: 0x%08x\n",
    u"dca_logoff_ipexc_addnet_authnetlist: ip string to address translation failed: %d\n",
    u"dca_logoff_ipexc_addnet_authnetlist: Subnet: 0x%08x\n",
    u"dca_logoff_ipexc_addnet_authnetlist: AuthNetwork Node allocation failed\n",
};

// A configuration error here shuts agents out or lets strangers in: every line at level 0.
constexpr net_add_messages AGENT_ADD = {
    LOG_MSG,
    u"dca_agent_addnet_authnetlist: AuthNetwork: %s\n",
    u"dca_agent_addnet_authnetlist: Invalid AuthNetwork\n",
    u"dca_agent_addnet_authnetlist: Netmask: 0x%08x\n",
    u"dca_agent_addnet_authnetlist: ip string to address translation failed: %d\n",
    u"dca_agent_addnet_authnetlist: Subnet: 0x%08x\n",
    u"dca_agent_addnet_authnetlist: AuthNetwork Node allocation failed\n",
};

// "address/prefix" into a network entry of the list. The text is split on a private copy, so the
// caller's line stays whole for its own log lines.
int
add_network(const char16_t *text, std::vector<net_entry> &list, const net_add_messages &m)
{
    log_write(m.level, m.entry, text);
    if (text == nullptr) {
        log_write(LOG_ERROR, m.invalid);
        return -1;
    }
    std::u16string address(text);
    std::size_t slash = address.find(u'/');
    if (slash == std::u16string::npos) {
        log_write(LOG_ERROR, m.invalid);
        return -1;
    }
    std::uint32_t mask = number_prefix_to_mask(number_parse_auto(address.c_str() + slash + 1));
    address.resize(slash);
    log_write(m.level, m.netmask, mask);

    if (platform_net_startup() != 0) {
        log_write(LOG_ERROR, u"net_init: WSA Initialization failed\n");
        return -1;
    }
    std::uint32_t host = 0;
    int error = platform_ipv4_from_text(address.c_str(), &host);
    platform_net_cleanup();
    if (error != 0) {
        log_write(m.level, m.translation, error);
        return -1;
    }
    log_write(m.level, m.subnet, host);
    try {
        list.push_back(net_entry{host & mask, mask});
    } catch (const std::bad_alloc &) {
        log_write(m.level, m.allocation);
        return -1;
    }
    return 0;
}

struct net_filter_messages {
    wfmt<> startup;
    wfmt<int> translation;
    wfmt<const char16_t *> filtered;
};

constexpr net_filter_messages AUTH_FILTER = {
    u"dca_filter_by_authnet: WSA Initialization failed\n",
    u"dca_filter_by_authnet: ip string to address translation failed: %d\n",
    u"dca_filter_by_authnet: Workstation IP '%s' has been Filtered-Out\n",
};
constexpr net_filter_messages LOGIN_FILTER = {
    u"dca_filter_by_login_authnet: WSA Initialization failed\n",
    u"dca_filter_by_login_authnet: ip string to address translation failed: %d\n",
    u"dca_filter_by_login_authnet: Workstation IP '%s' has been Filtered-Out\n",
};
constexpr net_filter_messages AGENT_FILTER = {
    u"dca_filter_by_agent_authnet: WSA Initialization failed\n",
    u"dca_filter_by_agent_authnet: ip string to address translation failed: %d\n",
    u"dca_filter_by_agent_authnet: Agent IP '%s' has been Filtered-Out\n",
};
constexpr net_filter_messages LOGOFF_FILTER = {
    u"dca_filter_by_logoff_authnet: WSA Initialization failed\n",
    u"dca_filter_by_logoff_authnet: ip string to address translation failed: %d\n",
    u"dca_filter_by_logoff_authnet: Workstation IP '%s' has been Filtered-Out\n",
};

// 1 when the address parses and lies in a network of the list, 0 when it does not, -1 when it
// cannot be read (logged).
int
in_networks(const char16_t *ip, const std::vector<net_entry> &list, const net_filter_messages &m)
{
    if (platform_net_startup() != 0) {
        log_write(LOG_ERROR, m.startup);
        return -1;
    }
    std::uint32_t host = 0;
    int error = platform_ipv4_from_text(ip, &host);
    platform_net_cleanup();
    if (error != 0) {
        log_write(LOG_ERROR, m.translation, error);
        return -1;
    }
    for (const net_entry &entry : list) {
        if (entry.network == (entry.mask & host)) {
            return 1;
        }
    }
    return 0;
}

// The admitting network filters: 0 inside, 1 otherwise (also for unreadable text).
int
filter_admitting_net(const char16_t *ip, const std::vector<net_entry> &list,
                     const net_filter_messages &m)
{
    int inside = in_networks(ip, list, m);
    if (inside == 1) {
        return 0;
    }
    if (inside == 0) {
        log_write(LOG_DEBUG, m.filtered, ip);
    }
    return 1;
}

// The two exclusion-network filters: 0 inside, 1 otherwise.
int
filter_exclusion_net(const char16_t *ip, const std::vector<net_entry> &list,
                     const net_filter_messages &m)
{
    if (list.empty()) {
        return 1;
    }
    if (in_networks(ip, list, m) != 1) {
        return 1;
    }
    log_write(LOG_DEBUG, m.filtered, ip);
    return 0;
}

} // namespace

int
dca_adduser_userexcllist(const char16_t *user)
{
    if (user == nullptr || !append_copy(g_filter.users, user)) {
        log_write(LOG_ERROR, u"dca_adduser_userexcllist: Exclusion Node allocation failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dca_adduser_userexcllist: User '%s' added to User Exclusion List\n",
              user);
    return 0;
}

int
dca_addip_ipexcllist(const char16_t *ip, dca_iplist list)
{
    if (ip == nullptr || !append_copy(ip_list(list), ip)) {
        log_write(LOG_ERROR, u"dca_addip_ipexcllist: Exclusion Node allocation failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dca_addip_ipexcllist: IP '%s' added to IP Exclusion List\n", ip);
    return 0;
}

int
dca_adddomain_domainlist(const char16_t *domain)
{
    if (domain == nullptr || !append_copy(g_filter.domains, domain)) {
        log_write(LOG_ERROR, u"dca_adddomain_domainlist: Node allocation failed\n");
        return -1;
    }
    log_write(LOG_DEBUG, u"dca_adddomain_domainlist: Domain '%s' added to Domain List\n", domain);
    return 0;
}

int
dca_addnet_authnetlist(const char16_t *network)
{
    return add_network(network, g_filter.auth_nets, AUTH_ADD);
}

int
dca_login_ipexc_addnet_authnetlist(const char16_t *network)
{
    return add_network(network, g_filter.login_nets, LOGIN_ADD);
}

int
dca_logoff_ipexc_addnet_authnetlist(const char16_t *network)
{
    return add_network(network, g_filter.logoff_nets, LOGOFF_ADD);
}

int
dca_agent_addnet_authnetlist(const char16_t *network)
{
    return add_network(network, g_filter.agent_nets, AGENT_ADD);
}

void
dca_set_hostdomain(const char16_t *host_domain, const char16_t *host_domain_fqdn)
{
    g_filter.host_domain.reset(tsso_string_dup_w(host_domain));
    g_filter.host_domain_fqdn.reset(tsso_string_dup_w(host_domain_fqdn));
    log_write(LOG_MSG, u"dca_set_hostdomain: Host Domain set to '%s'\n",
              g_filter.host_domain.get());
    log_write(LOG_MSG, u"dca_set_hostdomain: Host Domain (FQDN) set to '%s'\n",
              g_filter.host_domain_fqdn.get());
}

const char16_t *
dca_get_hostdomain()
{
    return g_filter.host_domain.get();
}

const char16_t *
dca_get_hostdomain_fqdn()
{
    return g_filter.host_domain_fqdn.get();
}

void
dca_filter_reset()
{
    g_filter = filter_state{};
}

void
dca_print_ipexcllist(dca_iplist list)
{
    const std::vector<wtext_ptr> &ips = ip_list(list);
    if (ips.empty()) {
        log_write(LOG_MSG, u"dca_print_ipexcllist: IP Exclusion List is Empty\n");
        return;
    }
    log_write(LOG_MSG, u"--------------- IP EXCLUSION LIST -----------------\n");
    int n = 1;
    for (const wtext_ptr &ip : ips) {
        log_write(LOG_MSG, u"\tIP[%d]: %s\n", n++, ip.get());
    }
    log_write(LOG_MSG, u"---------------------------------------------------\n");
}

void
dca_print_userexcllist()
{
    if (g_filter.users.empty()) {
        log_write(LOG_MSG, u"dca_print_userexcllist: User Exclusion List is Empty\n");
        return;
    }
    log_write(LOG_MSG, u"--------------- USER EXCLUSION LIST -----------------\n");
    int n = 1;
    for (const wtext_ptr &user : g_filter.users) {
        log_write(LOG_MSG, u"\tUSER[%d]: %s\n", n++, user.get());
    }
    log_write(LOG_MSG, u"-----------------------------------------------------\n");
}

void
dca_print_domainlist()
{
    if (g_filter.domains.empty()) {
        log_write(LOG_MSG, u"dca_print_domainlist: Monitored Domain List is Empty\n");
        return;
    }
    log_write(LOG_MSG, u"--------------- MONITORED DOMAIN LIST -----------------\n");
    int n = 1;
    for (const wtext_ptr &domain : g_filter.domains) {
        log_write(LOG_MSG, u"\tDOMAIN[%d]: %s\n", n++, domain.get());
    }
    log_write(LOG_MSG, u"-------------------------------------------------------\n");
}

void
dca_print_authnetlist(dca_netlist list)
{
    const std::vector<net_entry> &nets = net_list(list);
    if (nets.empty()) {
        log_write(LOG_MSG, u"dca_print_authnetlist: AuthNetwork List is Empty\n");
        return;
    }
    switch (list) {
    case DCA_NETLIST_LOGIN:
        log_write(LOG_MSG, u"------------------------- Logoin IP exlusion list AUTH NETWORK LIST "
                           u"--------------------------\n");
        break;
    case DCA_NETLIST_LOGOFF:
        log_write(LOG_MSG, u"------------------------- Logoff IP exlusion list AUTH NETWORK LIST "
                           u"--------------------------\n");
        break;
    default:
    case DCA_NETLIST_AGENT:
        log_write(LOG_MSG, u"-------------------- AGENT NETWORK LIST -------------------------\n");
        break;
        log_write(LOG_MSG, u"-------------------- AUTH NETWORK LIST --------------------------\n");
        break;
    }
    int n = 0;
    for (const net_entry &net : nets) {
        log_write(LOG_MSG, u"\tSUBNET[%d]: 0x%08x <-> SUBNET-MASK[%d]: 0x%08x\n", n, net.network, n,
                  net.mask);
        ++n;
    }
    log_write(LOG_MSG, u"-----------------------------------------------------------------\n");
}

int
dca_filter_user_excluded(const char16_t *user)
{
    // A record without a user name matches no entry.
    if (user == nullptr) {
        return 0;
    }
    for (const wtext_ptr &entry : g_filter.users) {
        log_write(LOG_DEBUG,
                  u"dca_filter_by_username: comparing username for exclusion: User from UTM '%s' "
                  u"(%d) : User in the list '%s' (%d) \n",
                  user, static_cast<int>(wtext_length(user)), entry.get(),
                  static_cast<int>(wtext_length(entry.get())));
        if (wtext_equal_nocase(user, entry.get())) {
            log_write(LOG_DEBUG, u"dca_filter_by_username: User '%s' has been filtered out\n",
                      user);
            return 1;
        }
    }
    log_write(LOG_DEBUG, u"dca_filter_by_username\n");
    return 0;
}

int
dca_filter_by_ip(const char16_t *ip, dca_iplist list)
{
    if (ip == nullptr || !contains_nocase(ip_list(list), ip)) {
        return 0;
    }
    log_write_a(LOG_DEBUG, "dca_filter_by_ip: IP '%S' has been filtered out\n", ip);
    return 1;
}

int
dca_filter_by_authnet(const char16_t *ip)
{
    return filter_admitting_net(ip, g_filter.auth_nets, AUTH_FILTER);
}

int
dca_filter_by_login_authnet(const char16_t *ip)
{
    return filter_exclusion_net(ip, g_filter.login_nets, LOGIN_FILTER);
}

int
dca_filter_by_logoff_authnet(const char16_t *ip)
{
    return filter_exclusion_net(ip, g_filter.logoff_nets, LOGOFF_FILTER);
}

int
dca_filter_by_agent_authnet(const char16_t *ip)
{
    if (g_filter.agent_nets.empty()) {
        return 0;
    }
    return filter_admitting_net(ip, g_filter.agent_nets, AGENT_FILTER);
}

int
dca_filter_wellknown_user(const char16_t *user)
{
    if (user == nullptr) {
        return 0;
    }
    for (const char16_t *p = user; *p != 0; ++p) {
        if (*p == u'$') {
            log_write(LOG_DEBUG,
                      u"dca_filter_wellknown: User '%s' represent Workstation, so Filtered-Out\n",
                      user);
            return 1;
        }
    }
    return 0;
}

int
dca_filter_domain(const char16_t *domain)
{
    bool keep;
    if (g_filter.host_domain != nullptr) {
        keep = domain != nullptr && (wtext_equal_nocase(domain, g_filter.host_domain.get()) ||
                                     wtext_equal_nocase(domain, g_filter.host_domain_fqdn.get()));
    } else {
        keep = domain != nullptr && contains_nocase(g_filter.domains, domain);
    }
    if (keep) {
        return 0;
    }
    log_write(LOG_DEBUG, u"dca_filter_by_domainname: Domain '%s' has been Filtered-Out\n", domain);
    return 1;
}

int
dca_filter_sidtype(std::int32_t sid_type)
{
    if (sid_type == 1) {
        return 0;
    }
    log_write(LOG_DEBUG, u"dca_filter_by_sidtype: SidType '%d' has been Filtered-Out\n", sid_type);
    return 1;
}

char16_t *
dca_get_fqdn_for_domain(const char16_t *domain)
{
    if (domain == nullptr || g_filter.host_domain == nullptr ||
        !wtext_equal_nocase(domain, g_filter.host_domain.get())) {
        return nullptr;
    }
    return tsso_string_dup_w(g_filter.host_domain_fqdn.get());
}
