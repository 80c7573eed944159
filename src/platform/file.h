// file: plain files by path, for the logger, the text files and the list readers.
//
// A platform_file belongs to whoever opened it and is used by one thread at a time (callers that
// share one hold their own lock). Results are 0 (or a count) for success and -1 for failure, with
// the last error of system.h set.
#pragma once

#include <cstddef>

struct platform_file;

enum : unsigned int {
    PLATFORM_FILE_READ = 1,     // reading
    PLATFORM_FILE_WRITE = 2,    // writing, other processes may still read the file
    PLATFORM_FILE_CREATE = 4,   // create the file when it is missing
    PLATFORM_FILE_TRUNCATE = 8, // cut an existing file to 0 bytes
};

// Opens the file at the UTF-16 path; null on failure.
platform_file *platform_file_open(const char16_t *path, unsigned int flags);
void platform_file_close(platform_file *file);

// Writes all n bytes at the current position: 0, or -1 when not all were written.
int platform_file_write(platform_file *file, const void *data, std::size_t n);

// Reads up to n bytes: the count read, 0 at the end of the file, -1 on failure.
long long platform_file_read(platform_file *file, void *data, std::size_t n);

enum : int { PLATFORM_SEEK_SET = 0, PLATFORM_SEEK_CUR = 1, PLATFORM_SEEK_END = 2 };
// Moves the position; returns the new position or -1.
long long platform_file_seek(platform_file *file, long long offset, int whence);

// Cuts the file at the current position.
int platform_file_truncate(platform_file *file);

// Makes what was written durable: the bytes are on the disk when it returns 0; -1 otherwise.
int platform_file_sync(platform_file *file);

// The file's size in bytes, or -1.
long long platform_file_size(platform_file *file);

// Renames a file, replacing an existing file of the new name.
int platform_file_rename(const char16_t *from, const char16_t *to);

// Removes a file.
int platform_file_remove(const char16_t *path);

// Whether anything (a file, a directory, a link) exists at the path: 1 yes, 0 no.
int platform_file_exists(const char16_t *path);

// Moves a file to a new name that must be free: an existing file of that name is never
// replaced (-1). 0, or -1.
int platform_file_move_new(const char16_t *from, const char16_t *to);
