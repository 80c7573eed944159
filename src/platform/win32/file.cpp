// Windows side of file.h.
//
// Files are opened with every share mode, so that readers, renames and deletions of a file that
// is open (a log being rotated while another thread or process reads it) work as on POSIX.

#include "platform/file.h"

#include <windows.h>

#include <new>

#include "platform/win32/win32_text.h"

struct platform_file {
    HANDLE handle;
};

using win32::wide;

platform_file *
platform_file_open(const char16_t *path, unsigned int flags)
{
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    DWORD access = 0;
    if ((flags & PLATFORM_FILE_READ) != 0 || (flags & PLATFORM_FILE_WRITE) == 0) {
        access |= GENERIC_READ;
    }
    if ((flags & PLATFORM_FILE_WRITE) != 0) {
        access |= GENERIC_WRITE;
    }
    bool create = (flags & PLATFORM_FILE_CREATE) != 0;
    bool truncate = (flags & PLATFORM_FILE_TRUNCATE) != 0;
    DWORD disposition = create && truncate ? CREATE_ALWAYS
                        : create           ? OPEN_ALWAYS
                        : truncate         ? TRUNCATE_EXISTING
                                           : OPEN_EXISTING;
    HANDLE handle =
        CreateFileW(wide(path), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                    nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) {
        return nullptr;
    }
    auto *file = new (std::nothrow) platform_file{handle};
    if (file == nullptr) {
        CloseHandle(handle);
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    }
    return file;
}

void
platform_file_close(platform_file *file)
{
    if (file != nullptr) {
        CloseHandle(file->handle);
        delete file; // NOLINT: the object's only owner
    }
}

int
platform_file_write(platform_file *file, const void *data, std::size_t n)
{
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        // One call writes at most a DWORD's worth; a short write is continued.
        DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
        DWORD done = 0;
        if (!WriteFile(file->handle, p, chunk, &done, nullptr)) {
            return -1;
        }
        if (done == 0) {
            SetLastError(ERROR_WRITE_FAULT);
            return -1;
        }
        p += done;
        n -= done;
    }
    return 0;
}

long long
platform_file_read(platform_file *file, void *data, std::size_t n)
{
    DWORD chunk = n > 0x40000000 ? 0x40000000 : static_cast<DWORD>(n);
    DWORD done = 0;
    if (!ReadFile(file->handle, data, chunk, &done, nullptr)) {
        // A pipe whose writer has gone is the end of the input, as on POSIX.
        return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
    }
    return done;
}

long long
platform_file_seek(platform_file *file, long long offset, int whence)
{
    DWORD how = whence == PLATFORM_SEEK_END   ? FILE_END
                : whence == PLATFORM_SEEK_CUR ? FILE_CURRENT
                                              : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER position;
    if (!SetFilePointerEx(file->handle, distance, &position, how)) {
        return -1;
    }
    return position.QuadPart;
}

int
platform_file_truncate(platform_file *file)
{
    return SetEndOfFile(file->handle) ? 0 : -1;
}

int
platform_file_sync(platform_file *file)
{
    return FlushFileBuffers(file->handle) ? 0 : -1;
}

long long
platform_file_size(platform_file *file)
{
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file->handle, &size)) {
        return -1;
    }
    return size.QuadPart;
}

int
platform_file_rename(const char16_t *from, const char16_t *to)
{
    if (from == nullptr || to == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return MoveFileExW(wide(from), wide(to), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH)
               ? 0
               : -1;
}

int
platform_file_remove(const char16_t *path)
{
    if (path == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    return DeleteFileW(wide(path)) ? 0 : -1;
}

int
platform_file_exists(const char16_t *path)
{
    if (path == nullptr) {
        return 0;
    }
    DWORD saved = GetLastError();
    DWORD attributes = GetFileAttributesW(wide(path));
    SetLastError(saved);
    return attributes != INVALID_FILE_ATTRIBUTES ? 1 : 0;
}

int
platform_file_move_new(const char16_t *from, const char16_t *to)
{
    if (from == nullptr || to == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    // Without MOVEFILE_REPLACE_EXISTING an existing target fails with ERROR_ALREADY_EXISTS.
    return MoveFileExW(wide(from), wide(to), MOVEFILE_WRITE_THROUGH) ? 0 : -1;
}
