// Fuzz target: any bytes as what an agent sends on one connection to the Collector. The bytes
// go through a connected socket pair into the connection job, which runs the handshake and then
// reads DATA messages (headers, lengths, deciphering, offsets, texts, the store) until the
// stream ends.

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string>

#include "dcalink/dcaserver.h"
#include "fuzz/fuzz_support.h"
#include "logoff/logoff_detector.h"

namespace {

// Larger streams could not be written before the job reads them.
constexpr std::size_t STREAM_LIMIT = 100000;

bool
set_up()
{
    logoff_detector_init(1, 600);
    return nivo_fuzz::open_store() && dcaserver_crypto_init() == 0;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    static const bool ready = set_up();
    if (!ready || size > STREAM_LIMIT) {
        return 0;
    }
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, pair) != 0) {
        return 0;
    }
    int buffer = static_cast<int>(2 * STREAM_LIMIT);
    setsockopt(pair[0], SOL_SOCKET, SO_SNDBUF, &buffer, sizeof buffer);
    setsockopt(pair[1], SOL_SOCKET, SO_RCVBUF, &buffer, sizeof buffer);
    std::size_t written = 0;
    while (written < size) {
        // Never blocks: what the socket cannot hold is left out.
        ssize_t n = send(pair[0], data + written, size - written, MSG_DONTWAIT);
        if (n <= 0) {
            break;
        }
        written += static_cast<std::size_t>(n);
    }
    shutdown(pair[0], SHUT_WR);
    dcaserver_handle_client(dcaserver_socket_argument(pair[1])); // closes pair[1]
    close(pair[0]);
    nivo_fuzz::drain_update_queue();
    return 0;
}
