// A scripted stand-in for the platform's workstation queries (WMI and the remote registry),
// linked instead of the real ones. Each address has a script; every call is recorded.
#pragma once

#include <string>
#include <vector>

namespace wrkstquery_fake {

struct lookup {
    std::string sid; // the SID's standard text
    int type;        // SID type; 0 for a failed lookup
    std::string domain;
    std::string name;
};

struct workstation {
    int failed_connects = 0; // connections refused before the first that succeeds
    // WMI: the step that fails ("blanket", "query", "next", "get"), "empty", "null", or "" for
    // a user name.
    std::string wmi_outcome;
    std::string wmi_user; // "DOMAIN\user"
    std::vector<std::string> keys;
    std::vector<lookup> lookups;
};

void script(const std::string &address, const workstation &w);
int connects(const std::string &address); // connection attempts seen (WMI and registry)
std::vector<std::string> looked_up();     // SID texts asked, in order
int open_handles();
void reset();

} // namespace wrkstquery_fake
