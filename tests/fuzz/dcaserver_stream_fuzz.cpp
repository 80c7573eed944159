// Fuzz target: any bytes as what an agent sends on one connection to the Collector. The bytes
// go to a connection's stream in pieces of varying size, as the network may cut them: the
// handshake, then DATA messages (headers, lengths), each complete one handled as the server's
// job handles it (deciphering, offsets, texts, the store), until the stream ends or faults.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "dcalink/dcaserver.h"
#include "fuzz/fuzz_support.h"
#include "logoff/logoff_detector.h"

namespace {

// Enough for a handshake and several of the largest messages.
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
    dcaserver_stream stream;
    std::size_t offset = 0;
    while (offset < size) {
        // Pieces of 1 to 13 bytes, then the rest: headers and payloads split at every place.
        std::size_t piece = offset < 1000 ? 1 + offset % 13 : size - offset;
        piece = piece < size - offset ? piece : size - offset;
        std::size_t used = 0;
        dcaserver_stream_event event = dcaserver_stream_feed(&stream, data + offset, piece, &used);
        offset += used;
        if (event == DCASERVER_STREAM_FAULT) {
            break;
        }
        if (event == DCASERVER_STREAM_MESSAGE) {
            std::uint8_t none = 0;
            std::vector<std::uint8_t> &payload = stream.message.payload;
            (void)dcaserver_extract_data(stream.message.header,
                                         payload.empty() ? &none : payload.data(), payload.size());
        }
    }
    nivo_fuzz::drain_update_queue();
    return 0;
}
