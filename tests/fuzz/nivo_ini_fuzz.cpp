// Fuzz target: any bytes as nivo.ini, through the profile reader, the section parsers, the
// encodings and the post-processing.

#include <cstddef>
#include <cstdint>
#include <algorithm>
#include <cctype>
#include <string>

#include "common/text.h"
#include "config/config.h"
#include "config/config_parse.h"
#include "dca/filter/dca_filter.h"
#include "fuzz/fuzz_support.h"

namespace {

// LOG-FILE opens a log at the path it names: an input must not make the fuzzer write files
// anywhere on the machine.
bool
names_a_log_file(const std::uint8_t *data, std::size_t size)
{
    std::string text(reinterpret_cast<const char *>(data), size);
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return text.find("LOG-FILE") != std::string::npos;
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (names_a_log_file(data, size)) {
        return 0;
    }
    std::u16string path = nivo_fuzz::scratch_file("nivo.ini", data, size);
    config_record record{};
    record.base_directory = tsso_string_dup_w(nivo_fuzz::wide(nivo_fuzz::scratch_dir()).c_str());
    (void)parse_configfile(path.c_str(), &record);
    config_release(&record);
    dca_filter_reset();
    return 0;
}
