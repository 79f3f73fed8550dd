#include "common/sysio.h"

#include <atomic>
#include <cerrno>

namespace tv::sysio {
namespace {

bool always_allocate(size_t) {
    return true;
}
int real_unlink(const char* path) {
    return platform::remove(path);
}
int real_rename(const char* from, const char* to, int replace) {
    return platform::rename(from, to, replace != 0);
}

const Ops kReal = {
    platform::open_file,  platform::write,     platform::seek,    platform::truncate,
    platform::close_file, platform::file_size, always_allocate,   platform::write_parts,
    real_unlink,          platform::read_at,   platform::reserve, real_rename,
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

}  // namespace tv::sysio
