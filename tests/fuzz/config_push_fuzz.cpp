// Fuzz target: any byte stream of a configuration push, cut into receives of any size, fed to
// the receiver's message stream and its writer. The first byte chooses the machine's roles (bit 0
// the DC Agent, bit 1 the Collector); then each receive is one length byte (255 gives 512, 254
// gives 511, any other n gives n + 1) and that many bytes. Afterwards the directory may hold no
// file but the nine configuration files, and nothing may have been written beside it.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/config.h"
#include "config/config_receiver.h"
#include "fuzz/fuzz_support.h"

namespace {

bool
is_one_of_the_nine(const std::string &name)
{
    for (int file = 1; file <= CONFIG_RECEIVE_FILES; ++file) {
        const char16_t *nine = config_push_file_name(file);
        if (name == std::string(nine, nine + std::char_traits<char16_t>::length(nine))) {
            return true;
        }
    }
    return false;
}

void
check_directory(const std::filesystem::path &scratch, const std::filesystem::path &base)
{
    for (const auto &entry : std::filesystem::directory_iterator(scratch)) {
        if (entry.path() != base) {
            std::abort(); // written outside the base directory
        }
    }
    for (const auto &entry : std::filesystem::directory_iterator(base)) {
        if (!is_one_of_the_nine(entry.path().filename().string()) || !entry.is_regular_file()) {
            std::abort(); // a file that is not one of the nine
        }
    }
}

} // namespace

extern "C" int
LLVMFuzzerTestOneInput(const std::uint8_t *data, std::size_t size)
{
    if (size == 0) {
        return 0;
    }
    std::filesystem::path scratch(nivo_fuzz::scratch_dir());
    std::filesystem::path base = scratch / "base";
    std::filesystem::remove_all(base);
    std::filesystem::create_directories(base);
    std::string directory = base.string();
    std::u16string wide(directory.begin(), directory.end());

    config_get()->dca_enabled = data[0] & 1;
    config_get()->collector_enabled = (data[0] >> 1) & 1;
    config_push push;
    for (std::size_t at = 1; at < size;) {
        std::size_t n = data[at] == 255 ? 512 : data[at] == 254 ? 511 : data[at] + 1u;
        ++at;
        n = n < size - at ? n : size - at;
        int file = config_push_message(&push, data + at, n);
        if (file != 0) {
            (void)config_receiver_write(wide, file, push.type, std::move(push.content));
            push.content = std::string();
        }
        at += n;
    }
    check_directory(scratch, base);
    return 0;
}
