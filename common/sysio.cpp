#include "common/sysio.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <atomic>
#include <cerrno>
#include <cstdio>

namespace tv::sysio {
namespace {

int real_open(const char* path, int flags, mode_t mode) {
    return ::open(path, flags, mode);
}
bool always_allocate(size_t) {
    return true;
}

int real_reserve(int fd, off_t offset, off_t length) {
#ifdef FALLOC_FL_KEEP_SIZE
    // Only plain files: on a device, space means nothing (or something else).
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (S_ISREG(st.st_mode)) return ::fallocate(fd, FALLOC_FL_KEEP_SIZE, offset, length);
#else
    (void)fd;
    (void)offset;
    (void)length;
#endif
    errno = EOPNOTSUPP;
    return -1;
}

int real_rename(const char* from, const char* to, int replace) {
    if (replace) return ::rename(from, to);
    if (::renameat2(AT_FDCWD, from, AT_FDCWD, to, RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP) return -1;
    // File systems without it: a new hard link never replaces anything either.
    if (::link(from, to) == 0) {
        ::unlink(from);  // the output is in place either way
        return 0;
    }
    if (errno != EPERM && errno != EOPNOTSUPP) return -1;
    // Nor links (FAT): look first; only a file that appears in between can still be replaced.
    struct stat st;
    if (::lstat(to, &st) == 0) {
        errno = EEXIST;
        return -1;
    }
    return ::rename(from, to);
}

const Ops kReal = {
    real_open, ::write,  ::lseek,      ::ftruncate, ::close,         ::fopen,
    ::fread,   ::fseeko, ::ftello,     ::fclose,    always_allocate, ::writev,
    ::unlink,  ::preadv, real_reserve, real_rename,
};

std::atomic<const Ops*> g_current{&kReal};

}  // namespace

const Ops& real_ops() {
    return kReal;
}
const Ops& ops() {
    return *g_current.load(std::memory_order_acquire);
}
void install(const Ops* table) {
    g_current.store(table ? table : &kReal, std::memory_order_release);
}

int unlink(const char* path) {
    const Ops& o = ops();
    return o.unlink ? o.unlink(path) : kReal.unlink(path);
}

int rename(const char* from, const char* to, bool replace) {
    const Ops& o = ops();
    return o.rename ? o.rename(from, to, replace ? 1 : 0) : real_rename(from, to, replace ? 1 : 0);
}

int set_times(const char* path, int64_t seconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                      {static_cast<time_t>(seconds), 0}};
    return ::utimensat(AT_FDCWD, path, times, 0);
}

int lock_file(const char* path) {
    const int fd = open(path, O_RDWR | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return -1;
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno == EWOULDBLOCK ? EBUSY : errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int reserve(int fd, off_t offset, off_t length) {
    const Ops& o = ops();
    if (!o.reserve) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return o.reserve(fd, offset, length);
}

int check_seekable_file(const char* path) {
    struct stat st;
    if (::stat(path, &st) != 0) return -1;
    if (S_ISREG(st.st_mode) || S_ISBLK(st.st_mode)) return 0;
    if (S_ISDIR(st.st_mode))
        errno = EISDIR;
    else if (S_ISFIFO(st.st_mode) || S_ISSOCK(st.st_mode))
        errno = ESPIPE;
    else
        errno = ENODEV;
    return -1;
}

ssize_t writev(int fd, const struct iovec* iov, int iovcnt) {
    const Ops& o = ops();
    if (o.writev && (o.write == kReal.write || o.writev != kReal.writev)) {
        return o.writev(fd, iov, iovcnt);
    }
    // Same contract as writev: the bytes written so far, or -1 when nothing was written.
    ssize_t total = 0;
    for (int i = 0; i < iovcnt; ++i) {
        if (iov[i].iov_len == 0) continue;
        ssize_t r = o.write(fd, iov[i].iov_base, iov[i].iov_len);
        if (r < 0) return total > 0 ? total : r;
        total += r;
        if (static_cast<size_t>(r) < iov[i].iov_len) break;
    }
    return total;
}

ssize_t read_parts(FILE* stream, const struct iovec* iov, int iovcnt, off_t offset) {
    const Ops& o = ops();
    if (o.preadv && (o.fread == kReal.fread || o.preadv != kReal.preadv)) {
        return o.preadv(::fileno(stream), iov, iovcnt, offset);
    }
    if (o.fseeko(stream, offset, SEEK_SET) != 0) return -1;
    ssize_t total = 0;
    for (int i = 0; i < iovcnt; ++i) {
        if (iov[i].iov_len == 0) continue;
        const size_t got = o.fread(iov[i].iov_base, 1, iov[i].iov_len, stream);
        total += static_cast<ssize_t>(got);
        if (got < iov[i].iov_len) {
            const bool failed = std::ferror(stream) != 0;
            std::clearerr(stream);
            if (failed && total == 0) return -1;
            break;
        }
    }
    return total;
}

}  // namespace tv::sysio
