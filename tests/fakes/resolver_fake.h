// A scripted stand-in for the platform's name resolver, linked instead of the real one.
#pragma once

#include <string>
#include <vector>

#include "platform/resolver.h"

namespace resolver_fake {

// The answer for a name (in this order); names without an answer fail with error 11001.
void answer(const std::string &name, const std::vector<platform_resolved_address> &entries);
// The names looked up, in order.
const std::vector<std::string> &lookups();
void reset();

platform_resolved_address ipv4(unsigned a, unsigned b, unsigned c, unsigned d);
platform_resolved_address ipv6();

} // namespace resolver_fake
