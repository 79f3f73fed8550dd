#include "common/platform.h"

#include <fcntl.h>
#include <pwd.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>
#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <cstdlib>

namespace tv::platform {
namespace {

// At most IOV_MAX parts a call; a longer list goes in batches.
constexpr int kMostParts = 1024;

int to_iovecs(const Part* parts, int count, std::array<struct iovec, kMostParts>& vec) {
    const int n = std::min(count, kMostParts);
    for (int i = 0; i < n; ++i) vec[i] = {parts[i].data, parts[i].size};
    return n;
}

}  // namespace

int open_file(const char* path, int mode) {
    // Reading never waits at the open: a FIFO put in a file's place after its type was looked
    // at would wait for a writer. Files and block devices read the same either way.
    int flags = O_CLOEXEC | ((mode & kReadWrite) ? O_RDWR : O_RDONLY | O_NONBLOCK);
    if (mode & kCreate) flags |= O_CREAT;
    if (mode & kTruncate) flags |= O_TRUNC;
    if (mode & kExclusive) flags |= O_EXCL;
    return ::open(path, flags, 0666);
}

int close_file(int fd) {
    return ::close(fd);
}

int64_t write(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

int64_t write_parts(int fd, const Part* parts, int count) {
    std::array<struct iovec, kMostParts> vec;
    return ::writev(fd, vec.data(), to_iovecs(parts, count, vec));
}

int64_t read_at(int fd, const Part* parts, int count, int64_t offset) {
    std::array<struct iovec, kMostParts> vec;
    return ::preadv(fd, vec.data(), to_iovecs(parts, count, vec), offset);
}

int64_t seek(int fd, int64_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}

int truncate(int fd, int64_t length) {
    return ::ftruncate(fd, length);
}

int64_t file_size(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return -1;
    if (!S_ISBLK(st.st_mode)) return st.st_size;
    // A device's size is not in its status; its end is. Readers read at offsets, so the
    // descriptor's position moving there is of no concern.
    return ::lseek(fd, 0, SEEK_END);
}

int reserve(int fd, int64_t offset, int64_t length) {
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

FILE* open_stream(const char* path) {
    return ::fopen(path, "rbe");
}

FILE* create_stream(const char* path) {
    return ::fopen(path, "wbe");
}

int rename(const char* from, const char* to, bool replace) {
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

int remove(const char* path) {
    return ::unlink(path);
}

int lock(int fd) {
    if (::flock(fd, LOCK_EX | LOCK_NB) == 0) return 0;
    if (errno == EWOULDBLOCK) errno = EBUSY;
    return -1;
}

int set_times(const char* path, int64_t seconds) {
    const struct timespec times[2] = {{static_cast<time_t>(seconds), 0},
                                      {static_cast<time_t>(seconds), 0}};
    return ::utimensat(AT_FDCWD, path, times, 0);
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

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return std::aligned_alloc(alignment, size);
}

void aligned_free(void* memory) {
    std::free(memory);
}

bool stderr_is_terminal() {
    return ::isatty(STDERR_FILENO) != 0;
}

int stderr_columns() {
    winsize ws{};
    if (::ioctl(STDERR_FILENO, TIOCGWINSZ, &ws) == 0) return ws.ws_col;
    return 0;
}

namespace {

std::atomic<void (*)()> g_interrupt_handler{nullptr};
std::atomic<bool> g_interrupted{false};

extern "C" void on_signal(int number) {
    if (!g_interrupted.exchange(true)) {
        if (auto handler = g_interrupt_handler.load()) handler();
        return;
    }
    ::signal(number, SIG_DFL);
    ::raise(number);
}

}  // namespace

void on_interrupt(void (*handler)()) {
    g_interrupt_handler.store(handler);
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction action {};
        if (::sigaction(number, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) continue;
        action = {};
        action.sa_handler = on_signal;
        sigemptyset(&action.sa_mask);
        action.sa_flags = SA_RESTART;
        ::sigaction(number, &action, nullptr);
    }
}

void ignore_write_signals() {
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGXFSZ, SIG_IGN);
}

bool utc_time(int64_t seconds, std::tm& out) {
    const auto t = static_cast<time_t>(seconds);
    return ::gmtime_r(&t, &out) != nullptr;
}

int64_t seconds_of_utc(std::tm& utc) {
    return ::timegm(&utc);
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    return std::vector<std::string>(argv, argv + argc);
}

void use_utf8_console() {}

std::string executable_path() {
    std::error_code ec;
    const auto path = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : path.string();
}

std::string settings_folder() {
    // A relative XDG_CONFIG_HOME is invalid and must be ignored.
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') return std::string(xdg) + "/torvane";
    std::string home;
    if (const char* value = std::getenv("HOME"); value != nullptr) home = value;
    if (home.empty()) {
        struct passwd entry {};
        struct passwd* found = nullptr;
        std::vector<char> buffer(16384);
        if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 &&
            found != nullptr && found->pw_dir != nullptr) {
            home = found->pw_dir;
        }
    }
    return home.empty() ? std::string() : home + "/.config/torvane";
}

bool writable(const char* path) {
    if (path == nullptr || ::access(path, W_OK) != 0) return false;
    // access() grants root everything: a file nobody may write (a default shipped beside the
    // program) is not one to write, even as root.
    struct stat st {};
    return ::stat(path, &st) == 0 && (st.st_mode & (S_IWUSR | S_IWGRP | S_IWOTH)) != 0;
}

}  // namespace tv::platform
