// Helpers the benchmark programs share: the clock, a temporary directory, ASCII text as UTF-16,
// loopback addresses, free ports, the text of the service's log, and stored logons written and
// counted through SQLite.
#pragma once

#include <sqlite3.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "common/net.h"

namespace bench {

using clock_type = std::chrono::steady_clock;

inline double
seconds_since(clock_type::time_point start)
{
    return std::chrono::duration<double>(clock_type::now() - start).count();
}

// A new directory of this run's own in the system's temporary directory, named prefix-XXXXXX;
// an empty path when it cannot be made (told on standard error).
inline std::filesystem::path
make_temp_dir(const std::string &prefix)
{
    std::string pattern = (std::filesystem::temp_directory_path() / (prefix + "-XXXXXX")).string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back(0);
    if (mkdtemp(buffer.data()) == nullptr) {
        std::perror("mkdtemp");
        return {};
    }
    return std::filesystem::path(buffer.data());
}

// ASCII text as UTF-16 (every byte one unit).
inline std::u16string
to_u16(const std::string &text)
{
    return std::u16string(text.begin(), text.end());
}

// The n-th address of the network first.0.0.0/8 (n below 2^24).
inline std::string
address_of(unsigned first, unsigned n)
{
    return std::to_string(first) + "." + std::to_string((n >> 16) & 255) + "." +
           std::to_string((n >> 8) & 255) + "." + std::to_string(n & 255);
}

// A UDP socket bound to address (host byte order) on a free port, written to *port, with room
// for the longest burst (a GetAllUsers answer) as far as the system allows; PLATFORM_INVALID_SOCKET
// on failure.
inline platform_socket_t
open_receiver(std::uint32_t address, std::uint16_t *port)
{
    platform_socket_t socket = platform_socket_open(false);
    if (socket != PLATFORM_INVALID_SOCKET &&
        (platform_socket_set_receive_buffer(socket, 64u << 20) != 0 ||
         platform_socket_bind(socket, address, 0) != 0 ||
         platform_socket_local_port(socket, port) != 0)) {
        platform_socket_close(socket);
        socket = PLATFORM_INVALID_SOCKET;
    }
    return socket;
}

// A TCP port on 127.0.0.1 that was free a moment ago (0 when none could be had).
inline std::uint16_t
free_port()
{
    net_handle *probe = net_init(u"127.0.0.1", 0, NET_MODE_SERVER);
    std::uint16_t port = 0;
    if (probe != nullptr && net_open(probe, NET_TRANSPORT_TCP) == 0) {
        platform_socket_local_port(probe->socket, &port);
    }
    net_fini(probe);
    return port;
}

// Whether the service's log (UTF-16LE) at path holds the ASCII text needle.
inline bool
log_contains(const std::string &path, const std::string &needle)
{
    std::ifstream in(path, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::string narrow;
    for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
        narrow += bytes[i + 1] == 0 ? bytes[i] : '?';
    }
    return narrow.find(needle) != std::string::npos;
}

// Appends count live logons (user0.., the n-th at address(n)) created at create and expiring at
// expire to the UserInfo table of the store at path, in one transaction; false on failure.
template <class Address>
bool
fill_logons(const std::string &path, int count, Address address, std::int64_t create = 1,
            std::int64_t expire = 601)
{
    sqlite3 *db = nullptr;
    if (sqlite3_open(path.c_str(), &db) != SQLITE_OK) {
        sqlite3_close(db);
        return false;
    }
    sqlite3_busy_timeout(db, 5000);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt *stmt = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO UserInfo (user,domain,usergroup,wrkst_ip,create_time,"
                       "expire_time,logon_type,flags) VALUES (?,'corp.example','Users',?,?,?,2,1)",
                       -1, &stmt, nullptr);
    sqlite3_bind_int64(stmt, 3, create);
    sqlite3_bind_int64(stmt, 4, expire);
    for (int i = 0; i < count; ++i) {
        std::string user = "user" + std::to_string(i);
        std::string ip = address(i);
        sqlite3_bind_text(stmt, 1, user.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(stmt, 2, ip.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_step(stmt);
        sqlite3_reset(stmt);
    }
    sqlite3_finalize(stmt);
    bool ok = sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

// The same on 10.0.0.0 onward, created at 1 and expiring at 601.
inline bool
fill_logons(const std::string &path, int count)
{
    return fill_logons(path, count, [](int i) { return address_of(10, static_cast<unsigned>(i)); });
}

// The rows of the UserInfo table in the store at db that match where, read on a connection of
// its own that waits up to a second for a writer; -1 when they cannot be counted.
inline long long
count_rows(const std::string &db, const std::string &where = "1")
{
    sqlite3 *handle = nullptr;
    long long count = -1;
    if (sqlite3_open_v2(db.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_busy_timeout(handle, 1000);
        sqlite3_stmt *stmt = nullptr;
        std::string sql = "SELECT count(*) FROM UserInfo WHERE " + where;
        if (sqlite3_prepare_v2(handle, sql.c_str(), -1, &stmt, nullptr) == SQLITE_OK &&
            sqlite3_step(stmt) == SQLITE_ROW) {
            count = sqlite3_column_int64(stmt, 0);
        }
        sqlite3_finalize(stmt);
    }
    sqlite3_close(handle);
    return count;
}

} // namespace bench
