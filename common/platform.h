// The operating system, behind one interface: files, memory, the console and the command line.
// platform_posix.cpp and platform_win32.cpp implement it; nothing else calls the system. Paths
// are UTF-8 everywhere (made wide for Windows here), offsets and sizes are 64 bits on every
// system, and failures leave errno set, as the C library does.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <ctime>
#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

#include "torvane/export.h"

namespace tv::platform {

// One piece of a gathered write or a scattered read.
struct Part {
    void* data;
    std::size_t size;
};

// Open modes, combined with |. Every file is binary and not inherited by child processes.
enum : int {
    kRead = 1,        // for reading only
    kReadWrite = 2,   // for reading and writing
    kCreate = 4,      // made when missing (read and write for everyone, less the umask)
    kTruncate = 8,    // emptied
    kExclusive = 16,  // with kCreate: fails with EEXIST when the file exists
};

// A descriptor (>= 0), or -1 with errno.
TORVANE_API int open_file(const char* path, int mode);
TORVANE_API int close_file(int fd);
// The bytes written (possibly fewer than asked), or -1.
TORVANE_API int64_t write(int fd, const void* data, std::size_t size);
// Writes the parts in turn at the file's position: the bytes written, or -1 when none were.
TORVANE_API int64_t write_parts(int fd, const Part* parts, int count);
// Reads into the parts in turn from `offset` on: the bytes read (short at the file's end), or
// -1 when none were. On Windows it moves the file's position; readers use nothing else.
TORVANE_API int64_t read_at(int fd, const Part* parts, int count, int64_t offset);
// Moves the file's position (SEEK_SET, SEEK_CUR, SEEK_END): the new position, or -1.
TORVANE_API int64_t seek(int fd, int64_t offset, int whence);
TORVANE_API int truncate(int fd, int64_t length);
// Bytes of a regular file, or of the disk or image behind a block device; -1 with errno.
TORVANE_API int64_t file_size(int fd);
// Sets disk space aside for [offset, offset + length) of a regular file without changing its
// size; -1 with EOPNOTSUPP where the file or the system cannot.
TORVANE_API int reserve(int fd, int64_t offset, int64_t length);

// Buffered reading of small files (settings, texts): binary, not inherited.
TORVANE_API FILE* open_stream(const char* path);
// A new or emptied file for buffered writing: binary, not inherited.
TORVANE_API FILE* create_stream(const char* path);

// Renames; without `replace`, never over an existing file (-1, EEXIST).
TORVANE_API int rename(const char* from, const char* to, bool replace);
TORVANE_API int remove(const char* path);
// Locks the file exclusively until the descriptor is closed: 0, or -1 with EBUSY when another
// process or conversion holds it.
TORVANE_API int lock(int fd);
// Gives `path` the modification and access time `seconds` since 1970.
TORVANE_API int set_times(const char* path, int64_t seconds);
// 0 when `path` names a file that can be read at any offset and sized (a regular file or a
// block device); otherwise -1 with EISDIR, ESPIPE (FIFO, socket), ENODEV or the lookup's error.
TORVANE_API int check_seekable_file(const char* path);

// Memory aligned to `alignment` (a power of two), freed with aligned_free; null when refused.
TORVANE_API void* aligned_alloc(std::size_t alignment, std::size_t size);
TORVANE_API void aligned_free(void* memory);

// Whether standard error is a terminal (console), and its width in columns (0 when unknown).
TORVANE_API bool stderr_is_terminal();
TORVANE_API int stderr_columns();
// Ctrl-C, SIGTERM, SIGHUP, or on Windows a console control event (Ctrl-C, Ctrl-Break, the
// console closing): the first calls `handler` (from a signal handler: it may only set atomic
// flags), a second one ends the program at once, as the interrupt would have. An interrupt
// ignored when the program started stays ignored.
TORVANE_API void on_interrupt(void (*handler)());
// Writing to a reader that has gone, or past a file-size limit, fails the write (EPIPE, EFBIG)
// instead of ending the program.
TORVANE_API void ignore_write_signals();

// Seconds since 1970 as a UTC calendar time, and back; false (or -1) when out of range.
TORVANE_API bool utc_time(int64_t seconds, std::tm& out);
TORVANE_API int64_t seconds_of_utc(std::tm& utc);

// The command line's arguments in UTF-8 (on Windows from the wide command line; elsewhere the
// bytes as given).
TORVANE_API std::vector<std::string> utf8_arguments(int argc, char** argv);
// Makes a console show the program's UTF-8 output as such (Windows; elsewhere it already does).
TORVANE_API void use_utf8_console();
// The running program's own path, UTF-8; empty when unknown.
TORVANE_API std::string executable_path();
// The folder for this program's settings in the user's profile, UTF-8: $XDG_CONFIG_HOME/torvane
// when that is absolute, else ~/.config/torvane ($HOME, else the account's home); on Windows
// %APPDATA%\Torvane. Empty when the system does not tell.
TORVANE_API std::string settings_folder();
// Whether this process may write the existing file `path` (Windows: whether it opens for
// writing, since folder permissions, not the read-only flag, guard installed programs).
TORVANE_API bool writable(const char* path);

// UTF-8 to path and back, whatever the system's narrow code page is.
inline std::filesystem::path path_of(std::string_view utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string utf8_of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

}  // namespace tv::platform
