// A scripted stand-in for the outgoing interface's address, linked instead of the real one.
#pragma once

namespace netroute_fake {

// The answer: an address text (result 0), an empty text (result 1, none found), or a failure
// (result -1, error 12).
void answer(const char16_t *address);
void fail();

} // namespace netroute_fake
