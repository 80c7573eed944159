// A configuration push as the configuration tool sends it, for the receiver's tests.
//
// Each message goes out in a send of its own followed by a 20 ms pause, so that the receiver has
// taken it with a receive of its own before the next arrives (loopback delivers at once; the
// pause only has to outlast the receiver's wake-up).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace nivo_test {

// The messages of a push: the type, then per file "STARTFILE", its content in 512-byte pieces,
// "ENDFILE". Control texts carry their 0x00.
std::vector<std::string> push_messages(const std::string &type,
                                       const std::vector<std::string> &files);

// Sends the messages to 127.0.0.1:port (waiting up to 15 s for a listener), then ends the
// connection and waits for the receiver to end its side: 0, or -1.
int push_over_tcp(const std::vector<std::string> &messages, std::uint16_t port);

} // namespace nivo_test
