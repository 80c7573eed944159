// A scripted stand-in for the platform's sockets, linked instead of the real ones: each send
// call takes its result from a script, and the calls are recorded.
#pragma once

#include <cstddef>
#include <vector>

namespace socket_fake {

// The results of the next send calls in order: a byte count (capped at what was asked) or -1
// for a failure with the given error. When the script runs out, a send takes everything.
void script_sends(const std::vector<long long> &results, int error = 104);
// The lengths the send calls were asked to send, in order.
const std::vector<std::size_t> &send_requests();
void reset();

} // namespace socket_fake
