// A scripted stand-in for the platform's directory client, linked instead of the real one.
// Each operation takes the next scripted answer of its kind; with none left it succeeds (open,
// bind, subscribe), finds nothing (search) or idles for a millisecond (wait).
#pragma once

#include <cstddef>
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/ldap.h"

namespace ldap_fake {

struct search_answer {
    int result = 0;
    std::vector<platform_ldap_entry> entries;
};

struct wait_answer {
    int result = 0; // what platform_ldap_wait returns
    platform_ldap_message message;
};

struct search_call {
    std::string base;
    std::string filter;
};

struct state {
    std::deque<int> open_errors;   // 0: the open succeeds
    std::size_t refused_binds = 0; // refused with 49
    std::deque<search_answer> searches;
    std::deque<int> subscribe_results;
    std::deque<wait_answer> waits;

    std::size_t opens = 0, binds = 0, subscribes = 0, open_sessions = 0;
    std::vector<search_call> search_calls;
    long time_limit = 0; // the network time limit of the last open
};

// Changes the state under its lock (the monitor runs on threads of its own); seen() copies it.
void edit(const std::function<void(state &)> &change);
state seen();

} // namespace ldap_fake
