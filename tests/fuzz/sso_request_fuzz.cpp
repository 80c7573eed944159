// Fuzz target: any bytes as one request datagram to the appliance request server. The first
// byte chooses the sender (even: the registered appliance 127.0.0.2, odd: an unknown address);
// the rest is the datagram, cut at 512 bytes as the receive would refuse anything longer.
// Answers go to the queue (drained after each input) or to 127.0.0.2 on the discard port.

#include <cstddef>
#include <cstdint>
#include <ctime>
#include <string>

#include "common/text.h"
#include "config/config_lists.h"
#include "fuzz/fuzz_support.h"
#include "sso/sso_client.h"
#include "sso/sso_server.h"
#include "sso/sso_wire.h"
#include "userdb/userinfo.h"

namespace {

bool
set_up()
{
    if (!nivo_fuzz::open_store()) {
        return false;
    }
    for (const char16_t *ip : {u"10.1.0.5", u"10.1.0.6", u"127.0.0.5"}) {
        userinfo_ptr record(userdb_allocate_userinfo());
        userdb_set_text(&record->User, u"user");
        userdb_set_text(&record->Domain, u"corp.example");
        userdb_set_text(&record->WrkstIP, ip);
        record->CreateTime = static_cast<std::int32_t>(std::time(nullptr));
        record->ExpireTime = record->CreateTime + 600;
        (void)userinfo_db_insert(record.get());
    }
    auto *gw = new gw_node{};
    gw->name = tsso_string_dup_w(u"127.0.0.2");
    gw->port = 9; // discard
    gw->networks = new gw_net_node{0x0a010000, 0xffff0000, nullptr};
    return SSOclient_init(gw, nivo_fuzz::wide(nivo_fuzz::scratch_dir()).c_str()) == 0;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool ready = set_up();
    if (!ready || size == 0) {
        return 0;
    }
    const char16_t *sender = data[0] % 2 == 0 ? u"127.0.0.2" : u"127.0.0.77";
    std::size_t length = size - 1 > SSO_REQUEST_MAX_BYTES ? SSO_REQUEST_MAX_BYTES : size - 1;
    // A copy of exactly the received length, so that a read past it is caught.
    std::basic_string<std::uint8_t> datagram(data + 1, length);
    (void)SSO_server_handle_datagram(datagram.data(), datagram.size(), sender);
    nivo_fuzz::drain_update_queue();
    return 0;
}
