// A scripted stand-in for the platform's ICMP echo, linked instead of the real one: each
// address answers from a script of statuses, and every echo is recorded.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace icmp_fake {

struct echo {
    std::uint32_t address; // host byte order
    long long at_ms;       // steady clock
};

// The statuses of the next echoes to address ("a.b.c.d"), in order: 0 is a successful reply,
// another value a reply with that status, -1 no reply (time-out). When the script runs out the
// address does not answer.
void script(const std::string &address, const std::vector<long> &statuses);
void fail_open(bool fail);
std::vector<echo> echoes();
int open_handles(); // handles not closed yet
int most_open();    // the most handles open at one time since the reset
// Whether an echo that gets no reply waits its time-out, as a real one does (off after reset).
void wait_timeouts(bool wait);
void reset();

} // namespace icmp_fake
