// The one door through which the core reaches the operating system's files and allocator.
// Production code calls these wrappers; tests install a table that fails the n-th call, so
// every I/O error and allocation failure path can be exercised.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/platform.h"

namespace tv::sysio {

using platform::Part;

// Every real entry is the platform layer's (common/platform.h): 64-bit offsets and sizes, open
// modes of its own (platform::kRead ...), failures with errno.
struct Ops {
    // Descriptor I/O (the AVI writer).
    int (*open)(const char* path, int mode);
    int64_t (*write)(int fd, const void* buf, size_t count);
    int64_t (*lseek)(int fd, int64_t offset, int whence);
    int (*ftruncate)(int fd, int64_t length);
    int (*close)(int fd);
    // The file's size (the recording reader, once at its open): bytes, or -1.
    int64_t (*file_size)(int fd);
    // Asked before every index or table growth; false means "behave as if out of memory".
    bool (*may_allocate)(size_t bytes);
    // Gathered descriptor write (the AVI writer: chunk header, data and pad in one call). Null
    // is allowed.
    int64_t (*writev)(int fd, const Part* parts, int count);
    // Removing a file (the conversion job, for an output it could not start). Null is allowed.
    int (*unlink)(const char* path);
    // Scattered read at a file position: the recording reader's only read, for its headers,
    // index tables and frames alike.
    int64_t (*preadv)(int fd, const Part* parts, int count, int64_t offset);
    // Reserves disk space for the bytes [offset, offset + length) of a regular file without
    // changing its size (the AVI writer, ahead of its writes). -1 with errno when the file or
    // the system cannot; null is allowed and means it cannot.
    int (*reserve)(int fd, int64_t offset, int64_t length);
    // Renames a file; without `replace`, never over an existing one (-1, EEXIST). Null is
    // allowed.
    int (*rename)(const char* from, const char* to, int replace);
};

// The real operating-system functions.
const Ops& real_ops();
// The table in use. Tests replace it with install(); nullptr restores the real one.
const Ops& ops();
void install(const Ops* table);

inline int open(const char* path, int mode) {
    return ops().open(path, mode);
}
inline int64_t write(int fd, const void* buf, size_t count) {
    return ops().write(fd, buf, count);
}
inline int64_t lseek(int fd, int64_t offset, int whence) {
    return ops().lseek(fd, offset, whence);
}
inline int ftruncate(int fd, int64_t length) {
    return ops().ftruncate(fd, length);
}
inline int close(int fd) {
    return ops().close(fd);
}
inline int64_t file_size(int fd) {
    return ops().file_size(fd);
}
inline int64_t preadv(int fd, const Part* parts, int count, int64_t offset) {
    return ops().preadv(fd, parts, count, offset);
}
inline bool may_allocate(size_t bytes) {
    return ops().may_allocate(bytes);
}
int unlink(const char* path);
int rename(const char* from, const char* to, bool replace);
// Opens `path` (created with mode 0666 less the umask when missing) and takes an exclusive lock
// on it that lasts until the descriptor is closed: the descriptor, or -1 with errno (EBUSY
// when another process or conversion holds it).
int lock_file(const char* path);
// Gives `path` the modification (and access) time `seconds` since 1970, as `cp -p` does.
int set_times(const char* path, int64_t seconds);
int reserve(int fd, int64_t offset, int64_t length);
// 0 when `path` names a file the reader can seek in and size: a regular file or a block device
// (a disk image, a disk read directly). Otherwise -1 with errno: EISDIR for a directory, ESPIPE
// for a FIFO or a socket (opening a FIFO would wait for a writer), ENODEV for a character
// device, or the error of looking at the path.
int check_seekable_file(const char* path);
// Uses the table's writev when it has its own or when its write is the real one. A table that
// replaces only write (or has no writev) gets the pieces through its write one by one, so a
// failure injected into write reaches gathered writes too.
int64_t writev(int fd, const Part* parts, int count);

}  // namespace tv::sysio
