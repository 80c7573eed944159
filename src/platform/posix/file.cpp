// POSIX side of file.h.

#include "platform/file.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <new>

#include "platform/posix/utf8_path.h"

struct platform_file {
    int fd;
};

platform_file *
platform_file_open(const char16_t *path, unsigned int flags)
{
    if (path == nullptr) {
        errno = EINVAL;
        return nullptr;
    }
    int mode = O_CLOEXEC;
    bool reads = (flags & PLATFORM_FILE_READ) != 0;
    bool writes = (flags & PLATFORM_FILE_WRITE) != 0;
    mode |= reads && writes ? O_RDWR : writes ? O_WRONLY : O_RDONLY;
    if ((flags & PLATFORM_FILE_CREATE) != 0) {
        mode |= O_CREAT;
    }
    if ((flags & PLATFORM_FILE_TRUNCATE) != 0) {
        mode |= O_TRUNC;
    }
    std::string name = posix::to_utf8(path);
    int fd = open(name.c_str(), mode, 0640);
    if (fd < 0) {
        return nullptr;
    }
    struct stat info {};
    if (fstat(fd, &info) == 0 && S_ISDIR(info.st_mode)) {
        close(fd);
        errno = EISDIR;
        return nullptr;
    }
    auto *file = new (std::nothrow) platform_file{fd};
    if (file == nullptr) {
        close(fd);
        errno = ENOMEM;
    }
    return file;
}

void
platform_file_close(platform_file *file)
{
    if (file != nullptr) {
        close(file->fd);
        delete file; // NOLINT: the object's only owner
    }
}

int
platform_file_write(platform_file *file, const void *data, std::size_t n)
{
    const auto *p = static_cast<const char *>(data);
    while (n > 0) {
        ssize_t done = write(file->fd, p, n);
        if (done < 0) {
            if (errno == EINTR) {
                continue;
            }
            return -1;
        }
        p += done;
        n -= static_cast<std::size_t>(done);
    }
    return 0;
}

long long
platform_file_read(platform_file *file, void *data, std::size_t n)
{
    for (;;) {
        ssize_t done = read(file->fd, data, n);
        if (done < 0 && errno == EINTR) {
            continue;
        }
        return done;
    }
}

long long
platform_file_seek(platform_file *file, long long offset, int whence)
{
    int how = whence == PLATFORM_SEEK_END   ? SEEK_END
              : whence == PLATFORM_SEEK_CUR ? SEEK_CUR
                                            : SEEK_SET;
    return lseek(file->fd, offset, how);
}

int
platform_file_truncate(platform_file *file)
{
    off_t here = lseek(file->fd, 0, SEEK_CUR);
    if (here < 0) {
        return -1;
    }
    return ftruncate(file->fd, here) == 0 ? 0 : -1;
}

int
platform_file_sync(platform_file *file)
{
    int rc;
    do {
        rc = fsync(file->fd);
    } while (rc != 0 && errno == EINTR);
    return rc == 0 ? 0 : -1;
}

long long
platform_file_size(platform_file *file)
{
    struct stat info {};
    if (fstat(file->fd, &info) != 0) {
        return -1;
    }
    return info.st_size;
}

int
platform_file_rename(const char16_t *from, const char16_t *to)
{
    std::string a = posix::to_utf8(from);
    std::string b = posix::to_utf8(to);
    return std::rename(a.c_str(), b.c_str()) == 0 ? 0 : -1;
}

int
platform_file_remove(const char16_t *path)
{
    std::string name = posix::to_utf8(path);
    return unlink(name.c_str()) == 0 ? 0 : -1;
}

int
platform_file_exists(const char16_t *path)
{
    std::string name = posix::to_utf8(path);
    struct stat info {};
    return lstat(name.c_str(), &info) == 0 ? 1 : 0;
}

int
platform_file_move_new(const char16_t *from, const char16_t *to)
{
    std::string a = posix::to_utf8(from);
    std::string b = posix::to_utf8(to);
    if (renameat2(AT_FDCWD, a.c_str(), AT_FDCWD, b.c_str(), RENAME_NOREPLACE) == 0) {
        return 0;
    }
    if (errno != EINVAL && errno != ENOSYS) {
        return -1;
    }
    // A file system without the flag: a second link fails on an existing name just the same.
    if (link(a.c_str(), b.c_str()) != 0) {
        return -1;
    }
    if (unlink(a.c_str()) != 0) {
        int saved = errno;
        unlink(b.c_str());
        errno = saved;
        return -1;
    }
    return 0;
}
