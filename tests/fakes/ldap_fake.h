// A scripted stand-in for the platform's directory client, linked instead of the real one.
// Every operation takes the next scripted answer of its kind; with none left it succeeds (open,
// bind, subscribe), finds nothing (search) or lets its time limit pass at once (wait).
#pragma once

#include <cstddef>
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
    int last_result = 0; // what platform_ldap_last_result says afterwards
};

struct search_call {
    std::string base;
    std::string filter;
};

// The open errors of the next opens (0: the open succeeds).
void script_opens(const std::vector<int> &errors);
// The next count binds are refused with result; later ones succeed.
void refuse_binds(std::size_t count, int result);
void script_searches(const std::vector<search_answer> &answers);
// The answers of a search by its filter, used before the scripted queue (for tests whose
// searches run on several threads).
void answer_filter(const std::string &filter, const search_answer &answer);
void script_subscriptions(const std::vector<int> &results);
void script_waits(const std::vector<wait_answer> &answers);

std::size_t opens();         // open calls so far
std::size_t binds();         // bind calls so far
std::size_t subscriptions(); // subscribe calls so far
std::size_t open_sessions(); // sessions opened and not closed
std::size_t waits_left();    // scripted wait answers not yet taken
std::vector<search_call> searches();
long last_time_limit(); // the network time limit of the last open

void reset();

// An entry with attributes given as name and values.
platform_ldap_entry
entry(const std::string &dn,
      const std::vector<std::pair<std::string, std::vector<std::string>>> &attributes);

} // namespace ldap_fake
