// The UserInfo record's helpers.

#include "userdb/userinfo.h"

#include <cstdlib>
#include <cstring>

#include "common/log.h"
#include "common/text.h"

namespace {

// A malloc'd copy of a text, or null for null; *failed is set when memory runs out.
char16_t *
copy_text(const char16_t *text, bool *failed)
{
    if (text == nullptr) {
        return nullptr;
    }
    std::size_t bytes = (wtext_length(text) + 1) * sizeof(char16_t);
    auto *copy = static_cast<char16_t *>(std::malloc(bytes));
    if (copy == nullptr) {
        *failed = true;
        return nullptr;
    }
    std::memcpy(copy, text, bytes);
    return copy;
}

const char16_t *
or_null(const char16_t *text)
{
    return text != nullptr ? text : u"NULL";
}

} // namespace

UserInfo *
userdb_allocate_userinfo()
{
    auto *record = static_cast<UserInfo *>(std::calloc(1, sizeof(UserInfo)));
    if (record == nullptr) {
        log_write(LOG_ERROR, u"userdb_allocate_userinfo: user info allocation failed");
        return nullptr;
    }
    record->AdditionalWrkstIP =
        static_cast<char16_t **>(std::calloc(USERINFO_ADDITIONAL_IP_CAPACITY, sizeof(char16_t *)));
    if (record->AdditionalWrkstIP == nullptr) {
        log_write(LOG_ERROR, u"userdb_allocate_userinfo: Additional IP array allocation failed");
        std::free(record);
        return nullptr;
    }
    record->AdditionalIPCapacity = USERINFO_ADDITIONAL_IP_CAPACITY;
    return record;
}

UserInfo *
userdb_duplicate_userinfo(const UserInfo *record)
{
    if (record == nullptr) {
        return nullptr;
    }
    UserInfo *copy = userdb_allocate_userinfo();
    if (copy == nullptr) {
        log_write(LOG_ERROR, u"userdb_duplicate_userinfo: user info allocation failed");
        return nullptr;
    }
    bool failed = false;
    copy->User = copy_text(record->User, &failed);
    copy->Domain = copy_text(record->Domain, &failed);
    copy->Reserved = copy_text(record->Reserved, &failed);
    copy->Group = copy_text(record->Group, &failed);
    copy->WrkstName = copy_text(record->WrkstName, &failed);
    copy->WrkstIP = copy_text(record->WrkstIP, &failed);
    copy->SourceDC = copy_text(record->SourceDC, &failed);
    if (failed) {
        log_write(LOG_ERROR, u"userdb_duplicate_userinfo: user info allocation failed");
        userdb_free_userinfo(copy);
        return nullptr;
    }
    copy->CreateTime = record->CreateTime;
    copy->ExpireTime = record->ExpireTime;
    copy->LogonType = record->LogonType;
    copy->Flags = record->Flags;
    copy->UserSidType = record->UserSidType;
    copy->RequestingGW = record->RequestingGW;
    return copy;
}

void
userdb_free_userinfo(UserInfo *record)
{
    if (record == nullptr) {
        return;
    }
    std::free(record->User);
    std::free(record->Domain);
    std::free(record->Reserved);
    std::free(record->Group);
    std::free(record->WrkstName);
    std::free(record->WrkstIP);
    std::free(record->SourceDC);
    if (record->AdditionalWrkstIP != nullptr) {
        for (std::uint8_t i = 0; i < record->AdditionalIPCapacity; ++i) {
            std::free(record->AdditionalWrkstIP[i]);
        }
        std::free(record->AdditionalWrkstIP);
    }
    std::free(record);
}

void
userdb_log_userinfo(const UserInfo *record)
{
    if (!log_is_enabled(LOG_DEBUG)) {
        return;
    }
    if (record == nullptr) {
        log_write(LOG_DEBUG, u"userdb_log_userinfo: UserInfo is NULL");
        return;
    }
    log_write(LOG_DEBUG, u"userdb_log_userinfo: RowID: %d", record->RowID);
    log_write(LOG_DEBUG, u"userdb_log_userinfo: User: %s", or_null(record->User));
    log_write(LOG_DEBUG, u"userdb_log_userinfo: Domain: %s", or_null(record->Domain));
    log_write(LOG_DEBUG, u"userdb_log_userinfo: Group: %s", or_null(record->Group));
    log_write(LOG_DEBUG, u"userdb_log_userinfo: SourceDC: %s", or_null(record->SourceDC));
    log_write(LOG_DEBUG, u"userdb_log_userinfo: WrkstName: %s", or_null(record->WrkstName));
    log_write(LOG_DEBUG, u"userdb_log_userinfo: WrkstIP: %s", or_null(record->WrkstIP));
    if (record->AdditionalWrkstIP != nullptr) {
        for (int i = 0; i < record->AdditionalIPCount && i < record->AdditionalIPCapacity; ++i) {
            log_write(LOG_DEBUG, u"userdb_log_userinfo: AdditionalWrkstIP[%d]: %s", i,
                      or_null(record->AdditionalWrkstIP[i]));
        }
    }
    log_write(LOG_DEBUG, u"userdb_log_userinfo: CreateTime: %d", record->CreateTime);
    log_write(LOG_DEBUG, u"userdb_log_userinfo: ExpireTime: %d", record->ExpireTime);
    log_write(LOG_DEBUG, u"userdb_log_userinfo: LogonType: 0x%x", record->LogonType);
    log_write(LOG_DEBUG, u"userdb_log_userinfo: UserSidType: 0x%x", record->UserSidType);
}

int
userdb_set_text(char16_t **field, const char16_t *value)
{
    bool failed = false;
    char16_t *copy = copy_text(value, &failed);
    std::free(*field);
    *field = copy;
    return failed ? -1 : 0;
}
