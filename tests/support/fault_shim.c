/* A preload library for tests of the programs: counts and fails the system calls that concern
 * chosen files, and can freeze the process at a chosen write so a test can kill it there.
 * Nothing of it is in the programs themselves; tests load it with LD_PRELOAD.
 *
 *   TORVANE_FAULT_TRACK=TEXT      only files whose path contains TEXT are watched
 *   TORVANE_FAULT=KIND:N:ERR[:sticky]
 *                                 the N-th call of KIND on a watched file fails with errno ERR
 *                                 (ENOSPC, EIO, ENOMEM or a number); with "sticky" every later
 *                                 one fails too. KIND: write (write, writev, ftruncate), read
 *                                 (fread, preadv), seek (lseek, fseeko, ftello), close (close,
 * fclose; the file is closed all the same) TORVANE_FAULT_STOP=KIND:N[:part] after the N-th write or
 * read the process stops itself (SIGSTOP); with "part" that write puts only the first half of its
 * bytes into the file, as a write cut short by a kill TORVANE_FAULT_COUNTS=PATH     at exit: "write
 * N", "read N", "seek N", "close N" lines */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <stdarg.h>
#include <stdatomic.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#define EXPORT __attribute__((visibility("default")))

enum { KIND_WRITE, KIND_READ, KIND_SEEK, KIND_CLOSE, KINDS };
static const char* const kind_names[KINDS] = {"write", "read", "seek", "close"};

static pthread_once_t config_once = PTHREAD_ONCE_INIT;
static const char* track;
static int fail_kind = -1;
static long fail_at;
static int fail_errno;
static bool fail_sticky;
static int stop_kind = -1;
static long stop_at;
static bool stop_part;
static const char* counts_path;

static atomic_long counts[KINDS];

#define MAX_FD 4096
static atomic_bool watched_fds[MAX_FD];
static pthread_mutex_t streams_lock = PTHREAD_MUTEX_INITIALIZER;
static FILE* watched_streams[64];

static void load_config(void) {
    track = getenv("TORVANE_FAULT_TRACK");
    if (track && !*track) track = NULL;
    const char* f = getenv("TORVANE_FAULT");
    if (f) {
        char kind[16] = {0}, error[16] = {0}, mode[16] = {0};
        long at = 0;
        if (sscanf(f, "%15[a-z]:%ld:%15[A-Z0-9]:%15s", kind, &at, error, mode) >= 3) {
            for (int k = 0; k < KINDS; ++k) {
                if (strcmp(kind, kind_names[k]) == 0) fail_kind = k;
            }
            fail_at = at;
            if (strcmp(error, "ENOSPC") == 0)
                fail_errno = ENOSPC;
            else if (strcmp(error, "EIO") == 0)
                fail_errno = EIO;
            else if (strcmp(error, "ENOMEM") == 0)
                fail_errno = ENOMEM;
            else
                fail_errno = atoi(error);
            fail_sticky = strcmp(mode, "sticky") == 0;
        }
    }
    const char* s = getenv("TORVANE_FAULT_STOP");
    if (s) {
        char kind[16] = {0};
        if (sscanf(s, "%15[a-z]:%ld", kind, &stop_at) == 2) {
            for (int k = 0; k < KINDS; ++k) {
                if (strcmp(kind, kind_names[k]) == 0) stop_kind = k;
            }
        }
        stop_part = strstr(s, ":part") != NULL;
    }
    counts_path = getenv("TORVANE_FAULT_COUNTS");
}

static void configure(void) {
    pthread_once(&config_once, load_config);
}

static void* real(const char* name) {
    return dlsym(RTLD_NEXT, name);
}

static bool watched_path(const char* path) {
    configure();
    return path && track && strstr(path, track) != NULL;
}
static bool watched_fd(int fd) {
    return fd >= 0 && fd < MAX_FD && atomic_load(&watched_fds[fd]);
}
static void set_fd(int fd, bool on) {
    if (fd >= 0 && fd < MAX_FD) atomic_store(&watched_fds[fd], on);
}
static bool watched_stream(FILE* f) {
    bool found = false;
    pthread_mutex_lock(&streams_lock);
    for (size_t i = 0; i < sizeof watched_streams / sizeof *watched_streams; ++i) {
        if (watched_streams[i] && watched_streams[i] == f) found = true;
    }
    pthread_mutex_unlock(&streams_lock);
    return found;
}
static void set_stream(FILE* f, bool on) {
    pthread_mutex_lock(&streams_lock);
    for (size_t i = 0; i < sizeof watched_streams / sizeof *watched_streams; ++i) {
        if (on && !watched_streams[i]) {
            watched_streams[i] = f;
            break;
        }
        if (!on && watched_streams[i] == f) watched_streams[i] = NULL;
    }
    pthread_mutex_unlock(&streams_lock);
}

/* Counts one call of `kind`; true when it is to fail (errno is set then). */
static bool count_and_fail(int kind) {
    configure();
    const long n = atomic_fetch_add(&counts[kind], 1) + 1;
    if (fail_kind != kind) return false;
    if (n == fail_at || (fail_sticky && n > fail_at)) {
        errno = fail_errno;
        return true;
    }
    return false;
}

static bool stopping_at(int kind) {
    return stop_kind == kind && atomic_load(&counts[kind]) == stop_at;
}
static bool stopping_here(void) {
    return stopping_at(KIND_WRITE);
}

/* Sent to the calling thread itself, so that it stops before it can do anything more. */
static void stop_after(int kind) {
    if (stopping_at(kind)) raise(SIGSTOP);
}
static void stop_after_write(void) {
    stop_after(KIND_WRITE);
}

__attribute__((destructor)) static void write_counts(void) {
    configure();
    if (!counts_path) return;
    int (*real_open)(const char*, int, ...) = real("open");
    ssize_t (*real_write)(int, const void*, size_t) = real("write");
    int (*real_close)(int) = real("close");
    const int fd = real_open(counts_path, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) return;
    char text[256];
    int len = 0;
    for (int k = 0; k < KINDS; ++k) {
        len += snprintf(text + len, sizeof text - (size_t)len, "%s %ld\n", kind_names[k],
                        atomic_load(&counts[k]));
    }
    if (real_write(fd, text, (size_t)len) < 0) perror("fault shim");
    real_close(fd);
}

static int open_with(const char* name, const char* path, int flags, va_list args) {
    mode_t mode = 0;
    if (flags & (O_CREAT | O_TMPFILE)) mode = (mode_t)va_arg(args, int);
    int (*f)(const char*, int, ...) = real(name);
    const int fd = f(path, flags, mode);
    set_fd(fd, fd >= 0 && watched_path(path));
    return fd;
}

EXPORT int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_with("open", path, flags, args);
    va_end(args);
    return fd;
}

EXPORT int open64(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const int fd = open_with("open64", path, flags, args);
    va_end(args);
    return fd;
}

static FILE* fopen_with(const char* name, const char* path, const char* mode) {
    FILE* (*f)(const char*, const char*) = real(name);
    FILE* stream = f(path, mode);
    if (stream && watched_path(path)) {
        set_stream(stream, true);
        /* Scattered reads go to the stream's descriptor. */
        set_fd(fileno(stream), true);
    }
    return stream;
}

EXPORT FILE* fopen(const char* path, const char* mode) {
    return fopen_with("fopen", path, mode);
}
EXPORT FILE* fopen64(const char* path, const char* mode) {
    return fopen_with("fopen64", path, mode);
}

EXPORT ssize_t write(int fd, const void* buf, size_t n) {
    ssize_t (*f)(int, const void*, size_t) = real("write");
    if (!watched_fd(fd)) return f(fd, buf, n);
    if (count_and_fail(KIND_WRITE)) return -1;
    const ssize_t r = f(fd, buf, stopping_here() && stop_part ? n / 2 : n);
    stop_after_write();
    return r;
}

EXPORT ssize_t writev(int fd, const struct iovec* iov, int count) {
    ssize_t (*f)(int, const struct iovec*, int) = real("writev");
    if (!watched_fd(fd)) return f(fd, iov, count);
    if (count_and_fail(KIND_WRITE)) return -1;
    if (stopping_here() && stop_part) {
        size_t total = 0;
        for (int i = 0; i < count; ++i) total += iov[i].iov_len;
        struct iovec cut[16];
        int pieces = 0;
        for (size_t left = total / 2; pieces < count && pieces < 16 && left > 0; ++pieces) {
            cut[pieces] = iov[pieces];
            if (cut[pieces].iov_len > left) cut[pieces].iov_len = left;
            left -= cut[pieces].iov_len;
        }
        f(fd, cut, pieces);
        stop_after_write();
        return -1;
    }
    const ssize_t r = f(fd, iov, count);
    stop_after_write();
    return r;
}

EXPORT int ftruncate(int fd, off_t length) {
    int (*f)(int, off_t) = real("ftruncate");
    if (!watched_fd(fd)) return f(fd, length);
    if (count_and_fail(KIND_WRITE)) return -1;
    const int r = f(fd, length);
    stop_after_write();
    return r;
}

static off_t seek_with(const char* name, int fd, off_t offset, int whence) {
    off_t (*f)(int, off_t, int) = real(name);
    if (watched_fd(fd) && count_and_fail(KIND_SEEK)) return -1;
    return f(fd, offset, whence);
}

EXPORT off_t lseek(int fd, off_t offset, int whence) {
    return seek_with("lseek", fd, offset, whence);
}
EXPORT off64_t lseek64(int fd, off64_t offset, int whence) {
    return seek_with("lseek64", fd, offset, whence);
}

EXPORT int close(int fd) {
    int (*f)(int) = real("close");
    if (!watched_fd(fd)) return f(fd);
    set_fd(fd, false);
    const bool fail = count_and_fail(KIND_CLOSE);
    const int saved = errno;
    const int r = f(fd);
    if (fail) {
        errno = saved;
        return -1;
    }
    return r;
}

EXPORT size_t fread(void* buf, size_t size, size_t n, FILE* stream) {
    size_t (*f)(void*, size_t, size_t, FILE*) = real("fread");
    if (!watched_stream(stream)) return f(buf, size, n, stream);
    if (count_and_fail(KIND_READ)) return 0;
    const size_t r = f(buf, size, n, stream);
    stop_after(KIND_READ);
    return r;
}

static ssize_t preadv_with(const char* name, int fd, const struct iovec* iov, int count,
                           off_t offset) {
    ssize_t (*f)(int, const struct iovec*, int, off_t) = real(name);
    if (!watched_fd(fd)) return f(fd, iov, count, offset);
    if (count_and_fail(KIND_READ)) return -1;
    const ssize_t r = f(fd, iov, count, offset);
    stop_after(KIND_READ);
    return r;
}

EXPORT ssize_t preadv(int fd, const struct iovec* iov, int count, off_t offset) {
    return preadv_with("preadv", fd, iov, count, offset);
}
EXPORT ssize_t preadv64(int fd, const struct iovec* iov, int count, off64_t offset) {
    return preadv_with("preadv64", fd, iov, count, offset);
}

static int fseek_with(const char* name, FILE* stream, off_t offset, int whence) {
    int (*f)(FILE*, off_t, int) = real(name);
    if (watched_stream(stream) && count_and_fail(KIND_SEEK)) return -1;
    return f(stream, offset, whence);
}

EXPORT int fseeko(FILE* stream, off_t offset, int whence) {
    return fseek_with("fseeko", stream, offset, whence);
}
EXPORT int fseeko64(FILE* stream, off64_t offset, int whence) {
    return fseek_with("fseeko64", stream, offset, whence);
}

static off_t ftell_with(const char* name, FILE* stream) {
    off_t (*f)(FILE*) = real(name);
    if (watched_stream(stream) && count_and_fail(KIND_SEEK)) return -1;
    return f(stream);
}

EXPORT off_t ftello(FILE* stream) {
    return ftell_with("ftello", stream);
}
EXPORT off64_t ftello64(FILE* stream) {
    return ftell_with("ftello64", stream);
}

EXPORT int fclose(FILE* stream) {
    int (*f)(FILE*) = real("fclose");
    if (!watched_stream(stream)) return f(stream);
    set_stream(stream, false);
    set_fd(fileno(stream), false);
    const bool fail = count_and_fail(KIND_CLOSE);
    const int saved = errno;
    const int r = f(stream);
    if (fail) {
        errno = saved;
        return EOF;
    }
    return r;
}
