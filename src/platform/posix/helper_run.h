// helper_run: runs the nivo-wrkst helper program (installed beside the service, on the Python
// DCE/RPC stack) for the remote queries that have no C or C++ client here: the workstation
// queries and the session listing of a domain controller.
//
// Each run has a hard time limit and an output cap. The account and password reach the helper
// on standard input (an anonymous in-memory file), never on its command line. Its answer is
// lines of UTF-8 on standard output, each a keyword and tab-separated fields, ending with "end".
// A run without such an answer (a line that does not parse, a missing "end", a non-zero exit, a
// crash, a time-out, more output than an honest answer needs) is reported to the failure sink
// of wrkstquery.h and is no answer at all. Any thread may run the helper; runs are independent.
#pragma once

#include <string>
#include <vector>

namespace posix {

// At most this many bytes of answer are read from one run; more ends the run.
constexpr std::size_t HELPER_OUTPUT_LIMIT = 256 * 1024;

// Runs the helper with args; true with its lines (without "end"), each split at the tabs, when
// it answered in the expected form. Null account or password are sent as empty.
bool helper_run(const std::vector<std::string> &args, const char16_t *account,
                const char16_t *password, std::vector<std::vector<std::string>> *lines);

// Hands a run with an answer that did not fit its query to the failure sink.
void helper_report_failure(const std::vector<std::string> &args, const std::string &what);

// A decimal (base 10) or hexadecimal (base 16) field of at most 16 digits, no sign, no
// prefix, at most limit.
bool helper_parse_number(const std::string &text, int base, unsigned long limit,
                         unsigned long *value);

// A field as UTF-16; false for malformed UTF-8.
bool helper_to_utf16(const std::string &text, std::u16string *out);

// The plain host text the helper's command line accepts: letters, digits, '.', '-' and ':',
// not starting with '-'; empty when text is anything else.
std::string helper_host_text(const std::string &text);

} // namespace posix
