// config_parse: nivo.ini into the global configuration record, and the post-processing that
// checks and derives values, reads the list files and applies the logging settings.
//
// nivo.ini is a profile file (platform/profile.h): "[SECTION]" headers and key=value entries.
// Sections: SETTINGS, NIV-AGENT, NIV-COLLECTOR, LOGOFF-DETECTION, LOGGING, ACCOUNT-CREDENTIALS,
// EDIRECTORY-SETTING, HA-SETTING, REMOTE-CONFIG; names, keys and keywords without regard to case.
// An entry is split at its first "="; neither side is trimmed, so "ENABLED =TRUE" names the key
// "ENABLED ". Numbers take an automatic base (0x hexadecimal, leading 0 octal, else decimal); 16-
// and 8-bit fields keep the low bits.
//
// Encoded values:
//   - byte list (HOST-DOMAIN, HOST-DOMAIN-FQDN, and ACCOUNT-CREDENTIALS values holding an
//     apostrophe): decimal byte values each followed by "'", the bytes being the UTF-16LE text;
//     "65'0'66'0'" is "AB";
//   - enciphered (other ACCOUNT-CREDENTIALS values, ADMIN-USER-DN and PASSWORD of
//     EDIRECTORY-SETTING): ten key characters, then one three-digit group per byte of the PC1
//     enciphered UTF-8 text (common/pc1.h).
//
// Every key is one row of the key table in config_parse.cpp (section, key, kind of value, field
// of the record, bound, log lines); a new key is a new row there.
//
// Runs on the start-up thread only, before any other thread of the service exists. Each function
// returns 0 for an accepted (or ignored) entry and -1 for a rejected one, logged where it happens;
// a rejected entry stops the parse.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "config/config.h"

// The whole file (path as UTF-16) into the record, then config_postinit. A missing file reads as
// empty. 0, or -1.
int parse_configfile(const char16_t *path, config_record *record);

// One entry of a section, dispatched to the section's parser.
int parse_keyvalue(config_record *record, const char16_t *section, const char16_t *entry);

int parse_keyvalue_settings(config_record *record, const char16_t *entry);
int parse_keyvalue_dca(config_record *record, const char16_t *entry);
int parse_keyvalue_cidmgr(config_record *record, const char16_t *entry);
int parse_keyvalue_logoffdetect(config_record *record, const char16_t *entry);
int parse_keyvalue_logging(config_record *record, const char16_t *entry);
int parse_keyvalue_accountcred(config_record *record, const char16_t *entry);
int parse_keyvalue_edirectory(config_record *record, const char16_t *entry);
int parse_keyvalue_ha_setting(config_record *record, const char16_t *entry);
int parse_keyvalue_remote_config(config_record *record, const char16_t *entry);

// Checks and derives values, reads the list files from the base directory, applies the logging
// settings. 0, or -1 without HOST-DOMAIN or HOST-DOMAIN-FQDN.
int config_postinit(config_record *record);

// The retry count handed to the workstation ping for a DETECTION-RETRY value: 3 up to 3, 10 from
// 10, the value itself between.
std::uint32_t config_ping_retry_count(std::uint8_t detection_retry);

// The byte-list encoding: the decoded UTF-16 text (up to its first zero unit).
std::u16string config_decode_bytelist(const char *value);

// The enciphered encoding of an UTF-8 value: the deciphered bytes. -1 when the value is longer
// than 1014 bytes ("Data Set" failure), -2 when it is shorter than eight ("Data Get" failure),
// else 0 with *plain filled (its length is (length - 10) / 3).
int config_decipher_value(const char *value, std::string *plain);

// The longest enciphered value, in bytes.
constexpr std::size_t CONFIG_CIPHER_VALUE_BYTES = 1014;

// Releases every text and list of the record and zeroes it.
void config_release(config_record *record);
