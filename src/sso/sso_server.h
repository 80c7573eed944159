// sso_server: the Collector's UDP server for the appliances' requests.
//
// tsso_server_init() once during start-up binds the server (TSSO-SERVER-PORT, 0 meaning 6677);
// SSO_server_thread() then occupies one pool worker for good, receiving and handling one request
// at a time. Only registered appliances (sso_client.h) are served, recognised by the sender's
// address. Nothing is sent back on this socket: answers are logon updates queued for the asking
// appliance alone, and the IS_ACTIVE reply goes out on the appliance's own socket.
//
// Threads: the handlers run on the server thread and take no locks of their own; the store's
// row walks call SSO_server_enqueue_update_req() under the store's lock. The answer to
// GetAllUsers (and the transit-time resend after IS_ACTIVE) replays stored logons page by page on
// a pool worker, waiting for room in the update queue; one GetAllUsers replay and one transit-time
// resend run per appliance, and a GetAllUsers request that arrives while its replay runs is logged
// and dropped.
#pragma once

#include <cstddef>
#include <cstdint>

struct gw_node;
struct net_sockaddr;
struct userdb_callback_context;

// The wait before a transit-time resend (seconds).
constexpr unsigned int SSO_TRANSIT_DELAY_SECONDS = 30;

// Creates and binds the server handle for address (null: every local address) and port. 0, or -1.
int tsso_server_init(const char16_t *address, std::uint16_t port);
int tsso_server_net_init(const char16_t *address, std::uint16_t port);
int tsso_server_net_open();
void tsso_server_net_fini();
long long tsso_server_net_recvfrom(void *buffer, std::size_t capacity, net_sockaddr *source,
                                   std::uint32_t *source_length);
// The request server's port (6677 until tsso_server_net_init sets the one in use).
std::uint16_t tsso_server_get_port();

// The receive loop (argument unused); never returns.
void SSO_server_thread(void *argument);
// Receives and handles one request: 1 received and handled (or refused as unregistered or
// invalid), 0 nothing usable received.
int SSO_server_RecvReqGW();
// Handles one received datagram of length bytes from sender (the sender's address text). The
// same result as SSO_server_RecvReqGW.
int SSO_server_handle_datagram(const std::uint8_t *datagram, std::size_t length,
                               const char16_t *sender);

int SSO_server_handle_wrkstpoll_req(const char16_t *workstation, const char16_t *appliance);
// Starts the replay of every live logon to the appliance on a pool worker. 0 (also when the
// request was dropped because its replay still runs), -1 unregistered or not submitted.
int SSO_server_handle_getallusers_req(const char16_t *appliance);
// The pace of the GetAllUsers replay in logons (datagrams) a second, for appliances with small
// receive buffers (GETALLUSERS-RATE); 0, the default, queues them as fast as the queue takes
// them. Set during start-up; a replay reads it when it starts.
void SSO_server_set_getallusers_rate(std::uint32_t per_second);
int SSO_server_handle_response(const char16_t *appliance, int code);
int SSO_server_handle_transit_time_user_req(gw_node *node);

// IS_ACTIVE from address: the appliance becomes active, gets the active reply and, after the
// transit delay, the logons of the last 150 seconds. Returns 0.
int SSO_server_handle_active_request(const char16_t *address);
// The pool job behind the transit-time resend (argument: the gw_node).
void transit_time_user_logon_thread(void *node);
// The wait of that job in milliseconds (tests shorten it).
void SSOclient_set_transit_delay_ms(unsigned int milliseconds);

// The store's row callback: queues the context's record as a logon for the context's appliance
// alone. Always takes the record over (and empties the context's record member).
void SSO_server_enqueue_update_req(userdb_callback_context *context);
