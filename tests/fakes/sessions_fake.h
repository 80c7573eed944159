// A scripted stand-in for the platform's session listing, linked instead of the real one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/sessions.h"

namespace sessions_fake {

struct session {
    std::optional<std::u16string> client; // absent: a null client name
    std::optional<std::u16string> user;   // absent: a null user name
};

// One answer of a server: its result, its portion (absent: no buffer; an absent entry is a null
// one) and the resume token it leaves.
struct answer {
    unsigned long result;
    std::optional<std::vector<std::optional<session>>> entries;
    std::uint32_t token_after = 0;
};

// The answers of server, one per call in this order; after the last, every call answers 0 with
// no buffer and leaves the token as it is.
void script(const std::u16string &server, const std::vector<answer> &answers);

// The resume token handed in at each call so far.
std::vector<std::uint32_t> calls();
// Portions handed out and not yet freed.
std::size_t outstanding();
void reset();

} // namespace sessions_fake
