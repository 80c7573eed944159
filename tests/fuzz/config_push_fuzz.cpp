// Fuzz target: a configuration push cut into receives of any size, fed to the receiver's message
// stream and its writer. Byte 0 sets the roles (bit 0 the DC Agent, bit 1 the Collector); then
// each receive is a length byte (255 gives 512, 254 gives 511, n gives n + 1) and that many bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "config/config.h"
#include "config/config_receiver.h"
#include "fuzz/fuzz_support.h"

namespace {

// Aborts when anything was written beside the base directory, or it holds any file but the nine.
void
check_directory(const std::filesystem::path &scratch, const std::filesystem::path &base)
{
    for (const auto &entry : std::filesystem::directory_iterator(scratch)) {
        if (entry.path() != base) {
            std::abort();
        }
    }
    for (const auto &entry : std::filesystem::directory_iterator(base)) {
        bool nine = false;
        for (int file = 1; file <= CONFIG_RECEIVE_FILES; ++file) {
            nine = nine || entry.path().filename().u16string() == config_push_file_name(file);
        }
        if (!nine || !entry.is_regular_file()) {
            std::abort();
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
    std::u16string wide = base.u16string();

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
