// A scripted stand-in for the platform's ICMP echo, linked instead of the real one: each
// address answers from a script of statuses, and every echo is recorded.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace icmp_fake {

struct echo {
    std::uint32_t address; // host byte order
    long long at_ms;       // steady clock
};

struct state {
    // The statuses of the next echoes to each address: 0 is a successful reply, another value
    // a reply with that status, -1 no reply. When its script runs out an address does not answer.
    std::map<std::uint32_t, std::deque<long>> scripts;
    bool fail_open = false;
    bool wait_timeouts = false; // an echo without reply waits its time-out, as a real one does
    std::vector<echo> echoes;
    int open = 0, most_open = 0; // handles open now, and the most at one time
};

// Appends statuses to the script of address ("a.b.c.d").
void script(const std::string &address, const std::vector<long> &statuses);
// Changes the state under its lock (checks run on pool threads); seen() copies it.
void edit(const std::function<void(state &)> &change);
state seen();

} // namespace icmp_fake
