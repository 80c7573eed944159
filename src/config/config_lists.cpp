// The list files and the DC, GW and collector lists.

#include "config/config_lists.h"

#include <new>
#include <string>

#include "common/log.h"
#include "common/number.h"
#include "common/text.h"
#include "common/text_file.h"
#include "dca/filter/dca_filter.h"
#include "platform/file.h"
#include "platform/netaddr.h"
#include "platform/socket.h"
#include "platform/system.h"

namespace {

// Files smaller than this are written whole into the log when they are read.
constexpr long long LOGGED_FILE_BYTES = 5120;

std::u16string_view
trim(std::u16string_view text)
{
    while (!text.empty() && number_is_space(text.front())) {
        text.remove_prefix(1);
    }
    while (!text.empty() && number_is_space(text.back())) {
        text.remove_suffix(1);
    }
    return text;
}

template <class Node>
void
append_node(Node **head, Node *node)
{
    Node **tail = head;
    while (*tail != nullptr) {
        tail = &(*tail)->next;
    }
    *tail = node;
}

void
free_networks(gw_net_node *net)
{
    while (net != nullptr) {
        gw_net_node *next = net->next;
        delete net;
        net = next;
    }
}

// Hands one trimmed, non-empty entry to its list.
void
dispatch(const std::u16string &entry, int type, config_record *record)
{
    const char16_t *text = entry.c_str();
    switch (type) {
    case CONFIG_LIST_USER_EXCLUSION:
        dca_adduser_userexcllist(text);
        break;
    case CONFIG_LIST_DOMAIN:
        dca_adddomain_domainlist(text);
        break;
    case CONFIG_LIST_DC:
        config_adddc_dclist(text, record);
        break;
    case CONFIG_LIST_GW:
        config_addgw_gwlist(text, record);
        break;
    case CONFIG_LIST_AUTHNET:
        dca_addnet_authnetlist(text);
        break;
    case CONFIG_LIST_LOGOFF_EXCLUSION:
        if (entry.find(u'/') != std::u16string::npos) {
            dca_logoff_ipexc_addnet_authnetlist(text);
        } else {
            dca_addip_ipexcllist(text, DCA_IPLIST_LOGOFF);
        }
        break;
    case CONFIG_LIST_LOGIN_EXCLUSION:
        if (entry.find(u'/') != std::u16string::npos) {
            dca_login_ipexc_addnet_authnetlist(text);
        } else {
            dca_addip_ipexcllist(text, DCA_IPLIST_LOGIN);
        }
        break;
    case CONFIG_LIST_COLLECTOR:
        config_add_coll_list(text, record);
        break;
    default:
        break;
    }
}

// The checks both line readers share after trimming: false for a blank line, a comment and an
// over-long entry (logged).
bool
usable_entry(std::u16string_view entry)
{
    if (entry.empty() || entry.front() == u';') {
        return false;
    }
    if (entry.size() > CONFIG_LINE_UNITS) {
        log_write(
            LOG_ERROR, u"config_add_names: entry of %u characters is longer than %u, skipped\n",
            static_cast<unsigned int>(entry.size()), static_cast<unsigned int>(CONFIG_LINE_UNITS));
        return false;
    }
    return true;
}

// A line of gw-list.ini, name:port#network (/bits), in pieces: each missing separator leaves
// the pieces after it absent.
struct gw_line {
    std::u16string name;
    std::u16string port;
    std::u16string network;
    std::u16string mask;
    bool has_port = false;
    bool has_network = false;
    bool has_mask = false;
};

gw_line
gw_line_split(std::u16string_view text)
{
    gw_line line;
    std::size_t colon = text.find(u':');
    line.name = text.substr(0, colon);
    if (colon == std::u16string_view::npos) {
        return line;
    }
    std::u16string_view rest = text.substr(colon + 1);
    line.has_port = true;
    std::size_t hash = rest.find(u'#');
    line.port = rest.substr(0, hash);
    if (hash == std::u16string_view::npos) {
        return line;
    }
    std::u16string_view net = rest.substr(hash + 1);
    std::size_t paren = net.find(u'(');
    if (paren == std::u16string_view::npos) {
        return line;
    }
    // The character before "(" (a blank in the usual form) and the one after it (the slash)
    // are separators.
    line.has_network = true;
    line.network = net.substr(0, paren == 0 ? 0 : paren - 1);
    std::size_t close = net.find(u')', paren);
    if (close != std::u16string_view::npos && close >= paren + 2) {
        line.has_mask = true;
        line.mask = net.substr(paren + 2, close - paren - 2);
    }
    return line;
}

// The network a line names, as a new node in *net; a line without network and mask leaves
// *net null (every network). 0, or -1 (logged).
int
gw_line_network(const gw_line &line, gw_net_node **net)
{
    *net = nullptr;
    std::uint32_t network = 0;
    std::uint32_t mask = 0;
    bool with_network = line.has_network && line.has_mask;
    if (with_network) {
        mask = number_prefix_to_mask(number_parse_auto(line.mask.c_str()));
        if (platform_net_startup() != 0) {
            log_write(LOG_ERROR, u"config_addgw_gwlist: WSA Initialization failed\n");
            return -1;
        }
        std::uint32_t address = 0;
        int error = platform_ipv4_from_text(line.network.c_str(), &address);
        platform_net_cleanup();
        if (error != 0) {
            log_write(LOG_MSG,
                      u"config_addgw_gwlist: ip string to address translation failed: %d\n", error);
            return -1;
        }
        network = address & mask;
    } else {
        log_write(LOG_MSG, u"config_addgw_gwlist: No subnet and mask provided\n");
    }
    log_write(LOG_MSG, u"config_addgw_gwlist: Subnet/Netmask: 0x%08x/0x%08x\n", network, mask);

    if (with_network) {
        *net = new (std::nothrow) gw_net_node{network, mask, nullptr};
        if (*net == nullptr) {
            log_write(LOG_ERROR, u"config_addgw_gwlist: GW Node allocation failed\n");
            return -1;
        }
    }
    return 0;
}

// The appliance of a line into the GW list, or its network to the appliance already there;
// takes net over. 0, or -1 (logged).
int
gw_list_add(config_record *record, const gw_line &line, gw_net_node *net)
{
    if (gw_node *gw = config_find_gw(record, line.name.c_str()); gw != nullptr) {
        if (net != nullptr && gw->networks != nullptr) {
            append_node(&gw->networks, net);
        } else {
            // A line without a network opens the appliance to every network; a network for an
            // appliance that already serves every network changes nothing.
            if (net == nullptr) {
                free_networks(gw->networks);
                gw->networks = nullptr;
            }
            delete net;
            log_write(LOG_MSG, u"config_addgw_gwlist: GW '%s' already exist in GW List\n",
                      line.name);
        }
    } else {
        auto *node = new (std::nothrow) gw_node{};
        if (node == nullptr) {
            delete net;
            log_write(LOG_ERROR, u"config_addgw_gwlist: GW Node allocation failed\n");
            return -1;
        }
        node->name = tsso_string_dup_w(line.name.c_str());
        node->port =
            static_cast<std::uint16_t>(line.has_port ? number_parse_auto(line.port.c_str()) : 0);
        node->networks = net;
        append_node(&record->gw_list, node);
    }
    log_write(LOG_MSG, u"config_addgw_gwlist: GW '%s' added to GW List\n", line.name);
    return 0;
}

} // namespace

void
config_parse_namefile(const char16_t *path, int type, config_record *record)
{
    if (path == nullptr) {
        log_write(LOG_ERROR, u"config_parse_namefile: Filepath is NULL\n");
        return;
    }
    if (type < 0 || type >= CONFIG_LIST_TYPES) {
        log_write(LOG_ERROR, u"config_parse_namefile: Invalid NameType: %d\n", type);
        return;
    }
    platform_file *file = platform_file_open(path, PLATFORM_FILE_READ);
    if (file == nullptr) {
        log_write(LOG_ERROR, u"config_parse_namefile: file %s couldn't open: %d\n", path,
                  platform_last_error());
        return;
    }
    log_write(LOG_MSG, u"config_parse_namefile: parsing NameFile: %s\n", path);
    long long size = platform_file_size(file);
    if (size < 0) {
        log_write(LOG_ERROR, u"config_parse_namefile: Invalid file size....\n");
        platform_file_close(file);
        return;
    }
    std::string content;
    try {
        content.resize(static_cast<std::size_t>(size));
    } catch (...) {
        log_write(LOG_ERROR, u"config_parse_namefile: Invalid file size....\n");
        platform_file_close(file);
        return;
    }
    // The file may shrink while it is read: keep only what was actually read.
    std::size_t got = 0;
    while (got < content.size()) {
        long long n = platform_file_read(file, content.data() + got, content.size() - got);
        if (n <= 0) {
            break;
        }
        got += static_cast<std::size_t>(n);
    }
    platform_file_close(file);
    content.resize(got);
    if (content.empty()) {
        return;
    }
    if (size < LOGGED_FILE_BYTES) {
        wtext_ptr whole(string_dup_a2w(content.c_str()));
        log_write(LOG_MSG, u"config_parse_namefile: Read Data Is Available : %s\n", whole.get());
    }

    // One byte per character; a NUL byte ends its line's text. The last line needs no line feed.
    std::size_t start = 0;
    while (start < content.size()) {
        std::size_t end = content.find('\n', start);
        std::size_t stop = end == std::string::npos ? content.size() : end;
        std::string line = content.substr(start, stop - start);
        wtext_ptr wide(string_dup_a2w(line.c_str()));
        if (wide != nullptr) {
            config_add_names(wide.get(), type, record);
        }
        start = stop + 1;
    }
}

int
config_parse_unicode_namefile(const char16_t *path, int type, config_record *record)
{
    if (path == nullptr) {
        log_write(LOG_ERROR, u"config_parse_namefile: Filepath is NULL\n");
        return -1;
    }
    if (type < 0 || type >= CONFIG_LIST_TYPES) {
        log_write(LOG_ERROR, u"config_parse_namefile: Invalid NameType: %d\n", type);
        return -1;
    }
    // The reading starts behind the two bytes of the byte-order mark (FF FE).
    text_file *file = text_file_open(path, "rb", TEXT_FILE_UTF16LE);
    if (file == nullptr) {
        log_write(LOG_ERROR, u"config_parse_namefile: file format is invalid: %s\n", path);
        return -1;
    }
    log_write(LOG_MSG, u"config_parse_unicode_namefile: parsing NameFile: %s\n", path);
    std::u16string line;
    while (text_file_read_line(file, &line)) {
        // The reader stops a text at its first zero unit; so does every later consumer.
        line.resize(std::char_traits<char16_t>::length(line.c_str()));
        log_write(LOG_MSG, u"config_parse_unicode_namefile: adding string for exclusion: %s\n",
                  line);
        config_add_names_w(line.c_str(), type, record);
    }
    text_file_close(file);
    return 0;
}

void
config_add_names(const char16_t *line, int type, config_record *record)
{
    if (line == nullptr) {
        return;
    }
    log_write(LOG_MSG, u"config_add_names: buffer: %s", line);
    std::u16string_view trimmed = trim(line);
    std::u16string entry(trimmed);
    log_write(LOG_MSG, u"config_add_names: buffer: %s....\r\n", entry);
    if (!usable_entry(trimmed)) {
        return;
    }
    log_write(LOG_MSG, u"config_add_names: buffer : %s, Name Type: %d\n", entry, type);
    dispatch(entry, type, record);
    log_write(LOG_MSG, u"config_add_names: buffer: %s", entry);
}

void
config_add_names_w(const char16_t *line, int type, config_record *record)
{
    if (line == nullptr) {
        return;
    }
    log_write(LOG_ERROR, u"config_add_names_w: buffer: %s\n", line);
    std::u16string_view view(line);
    while (!view.empty() && number_is_space(view.front())) {
        view.remove_prefix(1);
    }
    log_write(LOG_ERROR, u"config_add_names_w config_add_names: buffer: %s\n",
              std::u16string(view));
    view = trim(view);
    std::u16string entry(view);
    log_write(LOG_ERROR, u"config_add_names_w: buffer: %s\n", entry);
    if (!usable_entry(view)) {
        return;
    }
    log_write(LOG_ERROR, u"config_add_names: adding buffer : %s\n", entry);
    if (type == CONFIG_LIST_USER_EXCLUSION) {
        dca_adduser_userexcllist(entry.c_str());
    } else {
        dispatch(entry, type, record);
    }
}

int
config_adddc_dclist(const char16_t *line, config_record *record)
{
    if (line == nullptr || record == nullptr) {
        return -1;
    }
    auto *node = new (std::nothrow) dc_node{};
    if (node == nullptr) {
        log_write(LOG_ERROR, u"config_adddc_dclist: DC Node allocation failed\n");
        return -1;
    }
    // A plain host name gets the two backslashes of a server name; the name is kept whole
    // (a NetBIOS name of 15 characters or a DNS name must reach the poller uncut).
    if (line[0] == u'\\') {
        node->name = tsso_string_dup_w(line);
    } else {
        std::u16string name = u"\\\\";
        name += line;
        node->name = tsso_string_dup_w(name.c_str());
    }
    append_node(&record->dc_list, node);
    log_write(LOG_DEBUG, u"config_adddc_dclist: DC '%s' added to DC List\n", line);
    return 0;
}

int
config_addgw_gwlist(const char16_t *line, config_record *record)
{
    if (line == nullptr || record == nullptr) {
        return -1;
    }
    gw_line gw = gw_line_split(line);
    log_write(LOG_MSG, u"config_addgw_gwlist: GW:%s:%s#%s/%s\n", gw.name,
              gw.has_port ? gw.port.c_str() : nullptr,
              gw.has_network ? gw.network.c_str() : nullptr,
              gw.has_mask ? gw.mask.c_str() : nullptr);
    if (gw.name.empty()) {
        log_write(LOG_ERROR, u"config_addgw_gwlist: GW entry without address skipped: %s\n", line);
        return -1;
    }
    gw_net_node *net = nullptr;
    if (gw_line_network(gw, &net) != 0) {
        return -1;
    }
    return gw_list_add(record, gw, net);
}

int
config_add_coll_list(const char16_t *line, config_record *record)
{
    if (line == nullptr || record == nullptr) {
        return -1;
    }
    log_write(LOG_MSG, u"config_add_coll_list: \n");
    log_write(LOG_MSG, u"config_add_coll_list:%s\n", line);
    std::u16string_view text(line);
    std::size_t colon = text.find(u':');
    // A collector is reached by its address: an entry without one can never be connected.
    if (colon == std::u16string_view::npos || colon == 0) {
        log_write(LOG_ERROR, u"config_add_coll_list: collector entry without address skipped: %s\n",
                  line);
        return -1;
    }
    auto *node = new (std::nothrow) coll_node{};
    if (node == nullptr) {
        return -1;
    }
    std::u16string name(text.substr(0, colon));
    std::u16string port(text.substr(colon + 1));
    node->name = tsso_string_dup_w(name.c_str());
    node->port = static_cast<std::uint16_t>(number_parse_auto(port.c_str()));
    log_write(LOG_MSG, u"config_add_coll_list:%s\n", line);
    if (record->coll_list == nullptr) {
        log_write(LOG_MSG, u"config_add_coll_list:%s\n", line);
        record->coll_list = node;
        return 0;
    }
    log_write(LOG_MSG, u"config_add_coll_list:%s head not null\n", line);
    coll_node *tail = record->coll_list;
    while (tail->next != nullptr) {
        log_write(LOG_MSG, u"config_add_coll_list:%s\n", tail->name);
        tail = tail->next;
    }
    tail->next = node;
    return 0;
}

void
config_print_dclist(const config_record *record)
{
    if (record == nullptr || record->dc_list == nullptr) {
        log_write(LOG_MSG, u"config_print_dclist: DC NameList is Empty\n");
        return;
    }
    log_write(LOG_MSG, u"--------------- DC NAME LIST -----------------\n");
    int n = 1;
    for (const dc_node *dc = record->dc_list; dc != nullptr; dc = dc->next) {
        if (dc->name != nullptr) {
            log_write(LOG_MSG, u"\tDC[%d] : %s\n", n++, dc->name);
        }
    }
    log_write(LOG_MSG, u"----------------------------------------------\n");
}

void
config_print_gwlist(const config_record *record)
{
    if (record == nullptr || record->gw_list == nullptr) {
        log_write(LOG_MSG, u"config_print_gwlist: GW NameList is Empty\n");
        return;
    }
    log_write(LOG_MSG, u"--------------- GW NAME LIST -----------------\n");
    int n = 0;
    for (const gw_node *gw = record->gw_list; gw != nullptr; gw = gw->next, ++n) {
        log_write(LOG_MSG, u"\tGW[%d] : %s:%d \n", n, gw->name, gw->port);
        for (const gw_net_node *net = gw->networks; net != nullptr; net = net->next) {
            log_write(LOG_MSG, u"\tGW[%d] authnet/Netmask : 0x%08x/0x%08x \n", n, net->network,
                      net->mask);
        }
    }
    log_write(LOG_MSG, u"----------------------------------------------\n");
}

void
config_print_colllist(const config_record *record)
{
    if (record == nullptr || record->coll_list == nullptr) {
        return;
    }
    log_write(LOG_MSG, u"--------------- COLLECTOR NAME LIST ------------\n");
    int n = 1;
    for (const coll_node *coll = record->coll_list; coll != nullptr; coll = coll->next) {
        log_write(LOG_MSG, u"Collector[%d] %s %d\n", n++, coll->name, coll->port);
    }
    log_write(LOG_MSG, u"----------------------------------------------\n");
}

unsigned int
config_count_dclist(const config_record *record)
{
    unsigned int n = 0;
    for (const dc_node *dc = record != nullptr ? record->dc_list : nullptr; dc != nullptr;
         dc = dc->next) {
        ++n;
    }
    return n;
}

gw_node *
config_find_gw(const config_record *record, const char16_t *name)
{
    for (gw_node *gw = record != nullptr ? record->gw_list : nullptr; gw != nullptr;
         gw = gw->next) {
        if (wtext_equal_nocase(gw->name, name)) {
            return gw;
        }
    }
    return nullptr;
}

void
config_free_lists(config_record *record)
{
    if (record == nullptr) {
        return;
    }
    for (dc_node *dc = record->dc_list; dc != nullptr;) {
        dc_node *next = dc->next;
        text_free(dc->name);
        delete dc;
        dc = next;
    }
    for (gw_node *gw = record->gw_list; gw != nullptr;) {
        gw_node *next = gw->next;
        text_free(gw->name);
        free_networks(gw->networks);
        delete gw;
        gw = next;
    }
    for (coll_node *coll = record->coll_list; coll != nullptr;) {
        coll_node *next = coll->next;
        text_free(coll->name);
        delete coll;
        coll = next;
    }
    record->dc_list = nullptr;
    record->gw_list = nullptr;
    record->coll_list = nullptr;
}
