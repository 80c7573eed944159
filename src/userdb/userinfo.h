// userinfo: the record of one logon that every part of the service passes on, and its helpers.
//
// Texts are terminated UTF-16 texts from std::malloc, each owned by the record (or absent).
// Whoever holds a record owns it: it frees it with userdb_free_userinfo or hands it to an
// operation that takes it over (such operations say so). The helpers keep no state and may run
// on any thread; a record itself is used by one thread at a time.
#pragma once

#include <cstdint>
#include <memory>

struct gw_node;

// Flags: the row's state in the table and the request code of a record in flight.
enum : std::int32_t {
    UI_FLAG_ACTIVE = 1,       // a live logon in the table
    UI_FLAG_DETECTING = 2,    // handed to a logoff check
    UI_FLAG_POLL_REQUEST = 3, // an appliance asks who is at WrkstIP
    UI_FLAG_LOGOUT = 4,       // to be sent to the appliances as a logout
    UI_FLAG_LOGON = 5,        // to be sent to the appliances as a logon
    UI_FLAG_USER_LOGOUT = 10, // a logout notice that knows only the user
};

// LogonType: how the logon was learned.
enum : std::int32_t {
    UI_LOGON_NONE = 0,
    UI_LOGON_POLLED = 1,
    UI_LOGON_DC = 2,
};

constexpr std::uint8_t USERINFO_ADDITIONAL_IP_CAPACITY = 2;

struct UserInfo {
    std::int32_t RowID; // the row's key; 0 when not read from the table
    char16_t *User;
    char16_t *Domain;
    char16_t *Reserved; // owned, copied and released, never stored or sent
    char16_t *Group;
    char16_t *WrkstName;
    char16_t *WrkstIP;       // dotted IPv4 text
    std::int32_t CreateTime; // seconds since 1970-01-01 UTC
    std::int32_t ExpireTime; // seconds since 1970-01-01 UTC
    std::int32_t LogonType;
    std::int32_t Flags;
    std::uint8_t AdditionalIPCapacity; // always 2
    std::uint8_t AdditionalIPCount;    // slots in use
    char16_t **AdditionalWrkstIP;      // AdditionalIPCapacity owned slots
    char16_t *SourceDC;
    std::int32_t UserSidType;
    gw_node *RequestingGW; // not owned: the one appliance this record is meant for
};

// A zeroed record with two empty additional-address slots; null when memory runs out (logged).
UserInfo *userdb_allocate_userinfo();

// A copy with its own texts; RowID 0 and no additional addresses. Null on allocation failure.
UserInfo *userdb_duplicate_userinfo(const UserInfo *record);

// Releases the record and everything it owns; RequestingGW is left alone. Null is ignored.
void userdb_free_userinfo(UserInfo *record);

// Writes the record to the log at level 5.
void userdb_log_userinfo(const UserInfo *record);

// Replaces one owned text of a record with a copy of value (null clears it). 0, or -1 when the
// copy cannot be made (the field is then absent).
int userdb_set_text(char16_t **field, const char16_t *value);

struct userinfo_deleter {
    void operator()(UserInfo *record) const
    {
        userdb_free_userinfo(record);
    }
};
using userinfo_ptr = std::unique_ptr<UserInfo, userinfo_deleter>;
