// registry: the persistent key-value tree of the operating system (keys holding subkeys and
// named values), as far as the service uses it: the dead-entry keys and the "NIVOHome" value.
//
// Key paths are relative to a root key and use "\" between their names, as in
// "SOFTWARE\Vantelor\Vantelor Tessaline\DeadEntry". Names are compared without regard to case
// and keep the case they were created with. A key handle belongs to whoever opened it and is
// used by one thread at a time; different handles may be used at once (writes are atomic, so a
// reader sees a value whole or not at all). Results are 0 for success and -1 for failure with
// the last error of system.h set (a missing key or value gives the "not found" error).
#pragma once

#include <cstddef>
#include <cstdint>

enum registry_root : int {
    REGISTRY_LOCAL_MACHINE = 0,
};

struct registry_key;

// Opens the key at path below root, creating it and any missing key above it.
int registry_create_key(registry_root root, const char16_t *path, registry_key **out);
// Opens an existing key.
int registry_open_key(registry_root root, const char16_t *path, registry_key **out);
void registry_close_key(registry_key *key);

// The name of the subkey at index (0 upward, in the order of the names without regard to case)
// into name (capacity in UTF-16 units with the terminator). 0; 1 when there is no such index;
// -1 on failure (also for a name that does not fit). Index 0 takes a fresh look at the key.
int registry_enum_key(registry_key *key, std::uint32_t index, char16_t *name, std::size_t capacity);

// Sets a text value of 8-bit characters (size bytes, stored as given, no terminator added).
int registry_set_value_a(registry_key *key, const char16_t *value_name, const char *data,
                         std::size_t size);

// Reads the value of any type at root\path into data: *size holds the capacity in bytes on
// entry and the bytes stored on return. -1 when the value does not fit (nothing stored).
int registry_get_value(registry_root root, const char16_t *path, const char16_t *value_name,
                       void *data, std::size_t *size);

// Deletes the subkey of key named subkey, with its values; a key that has subkeys of its own is
// not deleted (-1).
int registry_delete_key(registry_key *key, const char16_t *subkey);

// Where the tree lives, for the platforms that keep it in files: a directory (null: back to the
// default, the environment variable NIVO_REGISTRY or else "registry" in the base directory).
void registry_set_location(const char16_t *directory);
