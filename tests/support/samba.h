// The loopback Samba AD domain controller of scripts/samba-fixture.sh for the integration tests:
// an outer test (root) runs an inner test of the same binary inside the DC's network namespace.
#pragma once

#include <string>

namespace nivo_test {

// Provisions a domain in a temporary directory (the DC gets an RPC socket directory of its own,
// so that an RPC helper left behind by another domain controller on this machine cannot answer
// in its place through the shared default under /run/samba), then runs the test named inner of
// this binary inside the fixture, where inside_samba_fixture() holds and its services share the
// DC's namespace, and fails the calling test unless inner passed there. Skipped unless root.
// Whatever still runs on the DC's configuration afterwards is ended. source_dir is the
// repository.
void run_in_samba_fixture(const std::string &source_dir, const std::string &inner);
bool inside_samba_fixture();

} // namespace nivo_test
