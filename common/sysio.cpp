#include "common/sysio.h"

#include <atomic>
#include <cerrno>
#include <cstdio>

namespace tv::sysio {
namespace {

bool always_allocate(size_t) {
    return true;
}
size_t real_fread(void* buf, size_t size, size_t count, FILE* stream) {
    return std::fread(buf, size, count, stream);
}
int real_fclose(FILE* stream) {
    return std::fclose(stream);
}
FILE* real_fopen(const char* path, const char*) {
    return platform::open_stream(path);
}
int real_unlink(const char* path) {
    return platform::remove(path);
}
int real_rename(const char* from, const char* to, int replace) {
    return platform::rename(from, to, replace != 0);
}

const Ops kReal = {
    platform::open_file,   platform::write,   platform::seek,    platform::truncate,
    platform::close_file,  real_fopen,        real_fread,        platform::seek_stream,
    platform::tell_stream, real_fclose,       always_allocate,   platform::write_parts,
    real_unlink,           platform::read_at, platform::reserve, real_rename,
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
    return platform::set_times(path, seconds);
}

int lock_file(const char* path) {
    const int fd = open(path, platform::kReadWrite | platform::kCreate);
    if (fd < 0) return -1;
    if (platform::lock(fd) != 0) {
        const int error = errno;
        close(fd);
        errno = error;
        return -1;
    }
    return fd;
}

int reserve(int fd, int64_t offset, int64_t length) {
    const Ops& o = ops();
    if (!o.reserve) {
        errno = EOPNOTSUPP;
        return -1;
    }
    return o.reserve(fd, offset, length);
}

int check_seekable_file(const char* path) {
    return platform::check_seekable_file(path);
}

int64_t writev(int fd, const Part* parts, int count) {
    const Ops& o = ops();
    if (o.writev && (o.write == kReal.write || o.writev != kReal.writev)) {
        return o.writev(fd, parts, count);
    }
    // Same contract as writev: the bytes written so far, or -1 when nothing was written.
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (parts[i].size == 0) continue;
        int64_t r = o.write(fd, parts[i].data, parts[i].size);
        if (r < 0) return total > 0 ? total : r;
        total += r;
        if (static_cast<size_t>(r) < parts[i].size) break;
    }
    return total;
}

int64_t read_parts(FILE* stream, const Part* parts, int count, int64_t offset) {
    const Ops& o = ops();
    if (o.preadv && (o.fread == kReal.fread || o.preadv != kReal.preadv)) {
        const int fd = platform::positional_descriptor(stream);
        if (fd >= 0) return o.preadv(fd, parts, count, offset);
    }
    if (o.fseeko(stream, offset, SEEK_SET) != 0) return -1;
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (parts[i].size == 0) continue;
        const size_t got = o.fread(parts[i].data, 1, parts[i].size, stream);
        total += static_cast<int64_t>(got);
        if (got < parts[i].size) {
            const bool failed = std::ferror(stream) != 0;
            std::clearerr(stream);
            if (failed && total == 0) return -1;
            break;
        }
    }
    return total;
}

}  // namespace tv::sysio
