// Fuzz target: any bytes as one of the eight list files. The first byte chooses the list type
// (its value modulo 8), the rest is the file.

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"
#include "config/config_lists.h"
#include "config/config_parse.h"
#include "dca/filter/dca_filter.h"
#include "fuzz/fuzz_support.h"

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    int type = data[0] % CONFIG_LIST_TYPES;
    std::u16string path = nivo_fuzz::scratch_file("list.ini", data + 1, size - 1);
    config_record record{};
    if (type == CONFIG_LIST_USER_EXCLUSION) {
        (void)config_parse_unicode_namefile(path.c_str(), type, &record);
    } else {
        config_parse_namefile(path.c_str(), type, &record);
    }
    // Everything built must be consistent enough to print and search.
    config_print_dclist(&record);
    config_print_gwlist(&record);
    config_print_colllist(&record);
    (void)config_find_gw(&record, u"127.0.0.1");
    (void)dca_filter_by_authnet(u"127.0.0.1");
    (void)dca_filter_by_login_authnet(u"127.0.0.1");
    (void)dca_filter_user_excluded(u"user");
    config_release(&record);
    dca_filter_reset();
    return 0;
}
