// Shared by the fuzz targets: a private scratch directory for the files a target writes, and
// the store of the targets that reach it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <random>
#include <string>

#include "platform/registry.h"
#include "userdb/dead_entry.h"
#include "userdb/gw_update_queue.h"
#include "userdb/userdb.h"

namespace nivo_fuzz {

// A directory of its own under the system's temporary directory, made on first use and removed
// when the process ends.
inline const std::string &
scratch_dir()
{
    struct scratch {
        std::string path;
        scratch()
        {
            std::random_device device;
            path = (std::filesystem::temp_directory_path() /
                    ("nivo-fuzz-" + std::to_string(device()) + std::to_string(device())))
                       .string();
            std::filesystem::create_directories(path);
        }
        ~scratch()
        {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    };
    static const scratch dir;
    return dir.path;
}

// A path of ASCII characters as the service takes it.
inline std::u16string
wide(const std::string &path)
{
    return std::u16string(path.begin(), path.end());
}

// The registry, the update queue and the store (nivo.db3) in the scratch directory, the
// dead-entry store off: whether the queue and the store opened.
inline bool
open_store()
{
    registry_set_location(wide(scratch_dir() + "/registry").c_str());
    dead_entry_set_timeout(0);
    return gw_update_queue_init() == 0 &&
           userinfo_db_init(wide(scratch_dir() + "/nivo.db3").c_str(), u"UserInfo") == 0;
}

// Empties the update queue, which nothing else takes from.
inline void
drain_update_queue()
{
    while (gw_update_queue_count() > 0) {
        userdb_free_userinfo(gw_update_queue_dequeue());
    }
}

// Writes the bytes to the named file of the scratch directory, replacing it; its path as the
// service takes it.
inline std::u16string
scratch_file(const char *name, const std::uint8_t *data, std::size_t size)
{
    std::string path = scratch_dir() + "/" + name;
    std::ofstream(path, std::ios::binary | std::ios::trunc)
        .write(reinterpret_cast<const char *>(data), static_cast<std::streamsize>(size));
    return wide(path);
}

} // namespace nivo_fuzz
