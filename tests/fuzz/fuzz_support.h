// Shared by the fuzz targets: a private scratch directory for the files a target writes.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

namespace nivo_fuzz {

// A directory of its own under the system's temporary directory, made on first use and kept for
// the life of the process.
inline const std::string &
scratch_dir()
{
    static const std::string path = [] {
        std::random_device device;
        std::filesystem::path dir =
            std::filesystem::temp_directory_path() /
            ("nivo-fuzz-" + std::to_string(device()) + std::to_string(device()));
        std::filesystem::create_directories(dir);
        return dir.string();
    }();
    return path;
}

inline void
write_bytes(const std::string &path, const std::uint8_t *data, std::size_t size)
{
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
}

} // namespace nivo_fuzz
