#include "common/platform.h"

#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
// After windows.h, which they need:
#include <fcntl.h>
#include <io.h>
#include <malloc.h>
#include <shellapi.h>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cwchar>

namespace tv::platform {
namespace {

// UTF-8 to the wide form every Win32 call takes; invalid bytes become U+FFFD.
std::wstring wide(const char* utf8) {
    if (!utf8 || !*utf8) return std::wstring();
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8, -1, nullptr, 0);
    if (n <= 0) return std::wstring();
    std::wstring out(static_cast<std::size_t>(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8, -1, out.data(), n);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

std::string utf8(const wchar_t* text) {
    if (!text || !*text) return std::string();
    const int n = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (n <= 0) return std::string();
    std::string out(static_cast<std::size_t>(n), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), n, nullptr, nullptr);
    out.resize(static_cast<std::size_t>(n - 1));
    return out;
}

// The system's error as errno, the one error channel of the program.
int set_errno_from(DWORD error) {
    switch (error) {
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_INVALID_DRIVE:
        case ERROR_BAD_NETPATH:
            errno = ENOENT;
            break;
        case ERROR_ACCESS_DENIED:
        case ERROR_WRITE_PROTECT:
            errno = EACCES;
            break;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS:
            errno = EEXIST;
            break;
        case ERROR_DISK_FULL:
        case ERROR_HANDLE_DISK_FULL:
            errno = ENOSPC;
            break;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION:
            errno = EBUSY;
            break;
        case ERROR_INVALID_HANDLE:
            errno = EBADF;
            break;
        case ERROR_NOT_ENOUGH_MEMORY:
        case ERROR_OUTOFMEMORY:
            errno = ENOMEM;
            break;
        case ERROR_DIRECTORY:
            errno = EISDIR;
            break;
        case ERROR_FILENAME_EXCED_RANGE:
            errno = ENAMETOOLONG;
            break;
        case ERROR_NOT_SUPPORTED:
        case ERROR_INVALID_FUNCTION:
            errno = EOPNOTSUPP;
            break;
        case ERROR_INVALID_PARAMETER:
        case ERROR_NEGATIVE_SEEK:
            errno = EINVAL;
            break;
        default:
            errno = EIO;
            break;
    }
    return -1;
}

int fail() {
    return set_errno_from(GetLastError());
}

HANDLE handle_of(int fd) {
    const intptr_t h = _get_osfhandle(fd);
    return h == -1 ? INVALID_HANDLE_VALUE : reinterpret_cast<HANDLE>(h);
}

// Every open shares reading, writing and deleting: the conversion's lock and its writer hold
// the same .part, and a .part is renamed while they are open.
constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

HANDLE open_handle(const char* path, DWORD access, DWORD disposition) {
    const std::wstring name = wide(path);
    if (name.empty()) {
        errno = ENOENT;
        return INVALID_HANDLE_VALUE;
    }
    // Not inherited: the security attributes' default.
    HANDLE h = CreateFileW(name.c_str(), access, kShareAll, nullptr, disposition,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) fail();
    return h;
}

int descriptor_of(HANDLE h, int flags) {
    const int fd = _open_osfhandle(reinterpret_cast<intptr_t>(h), flags | _O_BINARY);
    if (fd < 0) {
        CloseHandle(h);
        errno = EMFILE;
    }
    return fd;
}

}  // namespace

int open_file(const char* path, int mode) {
    const DWORD access = (mode & kReadWrite) ? GENERIC_READ | GENERIC_WRITE : GENERIC_READ;
    DWORD disposition = OPEN_EXISTING;
    if ((mode & kCreate) && (mode & kExclusive))
        disposition = CREATE_NEW;
    else if ((mode & kCreate) && (mode & kTruncate))
        disposition = CREATE_ALWAYS;
    else if (mode & kCreate)
        disposition = OPEN_ALWAYS;
    else if (mode & kTruncate)
        disposition = TRUNCATE_EXISTING;
    HANDLE h = open_handle(path, access, disposition);
    if (h == INVALID_HANDLE_VALUE) return -1;
    return descriptor_of(h, (mode & kReadWrite) ? 0 : _O_RDONLY);
}

int close_file(int fd) {
    return _close(fd) == 0 ? 0 : -1;
}

int64_t write(int fd, const void* data, std::size_t size) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    // WriteFile takes 32-bit counts; a short write is the caller's to continue.
    const DWORD wanted = size > 0x40000000u ? 0x40000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (!WriteFile(h, data, wanted, &written, nullptr)) return fail();
    return written;
}

int64_t write_parts(int fd, const Part* parts, int count) {
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        if (parts[i].size == 0) continue;
        const int64_t r = write(fd, parts[i].data, parts[i].size);
        if (r < 0) return total > 0 ? total : r;
        total += r;
        if (static_cast<std::size_t>(r) < parts[i].size) break;
    }
    return total;
}

int64_t read_at(int fd, const Part* parts, int count, int64_t offset) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    int64_t total = 0;
    for (int i = 0; i < count; ++i) {
        std::size_t done = 0;
        while (done < parts[i].size) {
            const std::size_t left = parts[i].size - done;
            const DWORD wanted = left > 0x40000000u ? 0x40000000u : static_cast<DWORD>(left);
            const int64_t at = offset + total;
            OVERLAPPED where{};
            where.Offset = static_cast<DWORD>(static_cast<uint64_t>(at));
            where.OffsetHigh = static_cast<DWORD>(static_cast<uint64_t>(at) >> 32);
            DWORD got = 0;
            if (!ReadFile(h, static_cast<char*>(parts[i].data) + done, wanted, &got, &where)) {
                if (GetLastError() == ERROR_HANDLE_EOF) return total;
                if (total > 0) return total;
                return fail();
            }
            if (got == 0) return total;
            done += got;
            total += got;
        }
    }
    return total;
}

int64_t seek(int fd, int64_t offset, int whence) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    const DWORD method = whence == SEEK_END   ? FILE_END
                         : whence == SEEK_CUR ? FILE_CURRENT
                                              : FILE_BEGIN;
    LARGE_INTEGER distance;
    distance.QuadPart = offset;
    LARGE_INTEGER now;
    if (!SetFilePointerEx(h, distance, &now, method)) return fail();
    return now.QuadPart;
}

int truncate(int fd, int64_t length) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    FILE_END_OF_FILE_INFO end;
    end.EndOfFile.QuadPart = length;
    if (!SetFileInformationByHandle(h, FileEndOfFileInfo, &end, sizeof end)) return fail();
    return 0;
}

int64_t file_size(int fd) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) return fail();
    return size.QuadPart;
}

int reserve(int fd, int64_t offset, int64_t length) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    if (GetFileType(h) != FILE_TYPE_DISK) {
        errno = EOPNOTSUPP;
        return -1;
    }
    // An allocation below the file's end would cut the file: only ever grown.
    LARGE_INTEGER size;
    if (!GetFileSizeEx(h, &size)) return fail();
    if (offset + length <= size.QuadPart) return 0;
    FILE_ALLOCATION_INFO allocation;
    allocation.AllocationSize.QuadPart = offset + length;
    if (!SetFileInformationByHandle(h, FileAllocationInfo, &allocation, sizeof allocation)) {
        return fail();
    }
    return 0;
}

FILE* open_stream(const char* path) {
    const std::wstring name = wide(path);
    // N: not inherited.
    FILE* stream = name.empty() ? nullptr : _wfopen(name.c_str(), L"rbN");
    if (!stream && name.empty()) errno = ENOENT;
    return stream;
}

FILE* create_stream(const char* path) {
    const std::wstring name = wide(path);
    FILE* stream = name.empty() ? nullptr : _wfopen(name.c_str(), L"wbN");
    if (!stream && name.empty()) errno = ENOENT;
    return stream;
}

int rename(const char* from, const char* to, bool replace) {
    const std::wstring a = wide(from);
    const std::wstring b = wide(to);
    if (!MoveFileExW(a.c_str(), b.c_str(), replace ? MOVEFILE_REPLACE_EXISTING : 0)) return fail();
    return 0;
}

int remove(const char* path) {
    const std::wstring name = wide(path);
    if (!DeleteFileW(name.c_str())) return fail();
    return 0;
}

int lock(int fd) {
    HANDLE h = handle_of(fd);
    if (h == INVALID_HANDLE_VALUE) return set_errno_from(ERROR_INVALID_HANDLE);
    // Windows locks bytes against everyone, this process's other handles included: the lock
    // covers one byte far past any data, so the writer's own handle writes freely.
    OVERLAPPED where{};
    where.Offset = 0xFFFFFFFEu;
    where.OffsetHigh = 0x7FFFFFFFu;
    if (!LockFileEx(h, LOCKFILE_EXCLUSIVE_LOCK | LOCKFILE_FAIL_IMMEDIATELY, 0, 1, 0, &where)) {
        const DWORD error = GetLastError();
        return set_errno_from(error == ERROR_IO_PENDING ? ERROR_LOCK_VIOLATION : error);
    }
    return 0;
}

int set_times(const char* path, int64_t seconds) {
    const std::wstring name = wide(path);
    HANDLE h = CreateFileW(name.c_str(), FILE_WRITE_ATTRIBUTES, kShareAll, nullptr, OPEN_EXISTING,
                           FILE_FLAG_BACKUP_SEMANTICS, nullptr);
    if (h == INVALID_HANDLE_VALUE) return fail();
    // FILETIME: 100 ns since 1601-01-01.
    const uint64_t ticks = static_cast<uint64_t>(seconds + 11644473600LL) * 10000000u;
    FILETIME time;
    time.dwLowDateTime = static_cast<DWORD>(ticks);
    time.dwHighDateTime = static_cast<DWORD>(ticks >> 32);
    const BOOL ok = SetFileTime(h, nullptr, &time, &time);
    const DWORD error = GetLastError();
    CloseHandle(h);
    return ok ? 0 : set_errno_from(error);
}

int check_seekable_file(const char* path) {
    const std::wstring name = wide(path);
    const DWORD attributes =
        name.empty() ? INVALID_FILE_ATTRIBUTES : GetFileAttributesW(name.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES) return name.empty() ? (errno = ENOENT, -1) : fail();
    if (attributes & FILE_ATTRIBUTE_DIRECTORY) {
        errno = EISDIR;
        return -1;
    }
    return 0;
}

void* aligned_alloc(std::size_t alignment, std::size_t size) {
    return _aligned_malloc(size, alignment);
}

void aligned_free(void* memory) {
    _aligned_free(memory);
}

bool stderr_is_terminal() {
    DWORD mode;
    return GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

int stderr_columns() {
    CONSOLE_SCREEN_BUFFER_INFO info;
    if (!GetConsoleScreenBufferInfo(GetStdHandle(STD_ERROR_HANDLE), &info)) return 0;
    return info.srWindow.Right - info.srWindow.Left + 1;
}

namespace {

std::atomic<void (*)()> g_interrupt_handler{nullptr};
std::atomic<bool> g_interrupted{false};
std::atomic<bool> g_exiting{false};

void note_exit() {
    g_exiting.store(true);
}

BOOL WINAPI on_console_event(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
        return FALSE;
    }
    if (g_interrupted.exchange(true)) return FALSE;  // the second one: the default, ending
    if (auto handler = g_interrupt_handler.load()) handler();
    if (event == CTRL_CLOSE_EVENT) {
        // The system ends the program when this returns, or about 5 s after the console
        // closed: meanwhile the stopped conversions finish their files and the program exits.
        for (int i = 0; i < 90 && !g_exiting.load(); ++i) Sleep(50);
    }
    return TRUE;
}

}  // namespace

void on_interrupt(void (*handler)()) {
    g_interrupt_handler.store(handler);
    std::atexit(note_exit);
    SetConsoleCtrlHandler(on_console_event, TRUE);
}

void ignore_write_signals() {
    // No such signals: a failed write fails.
}

bool utc_time(int64_t seconds, std::tm& out) {
    const __time64_t t = seconds;
    return _gmtime64_s(&out, &t) == 0;
}

int64_t seconds_of_utc(std::tm& utc) {
    return _mkgmtime64(&utc);
}

std::vector<std::string> utf8_arguments(int argc, char** argv) {
    int count = 0;
    wchar_t** wide_argv = CommandLineToArgvW(GetCommandLineW(), &count);
    if (!wide_argv) return std::vector<std::string>(argv, argv + argc);
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(count));
    for (int i = 0; i < count; ++i) out.push_back(utf8(wide_argv[i]));
    LocalFree(wide_argv);
    return out;
}

void use_utf8_console() {
    SetConsoleOutputCP(CP_UTF8);
}

std::string executable_path() {
    std::wstring name(MAX_PATH, L'\0');
    for (;;) {
        const DWORD n = GetModuleFileNameW(nullptr, name.data(), static_cast<DWORD>(name.size()));
        if (n == 0) return std::string();
        if (n < name.size()) {
            name.resize(n);
            return utf8(name.c_str());
        }
        name.resize(name.size() * 2);
    }
}

std::string settings_folder() {
    const DWORD size = GetEnvironmentVariableW(L"APPDATA", nullptr, 0);
    if (size == 0) return std::string();
    std::wstring folder(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"APPDATA", folder.data(), size);
    if (n == 0 || n >= size) return std::string();
    folder.resize(n);
    return utf8(folder.c_str()) + "\\Torvane";
}

bool writable(const char* path) {
    if (path == nullptr) return false;
    const HANDLE handle = CreateFileW(wide(path).c_str(), GENERIC_WRITE,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                      nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle == INVALID_HANDLE_VALUE) return false;
    CloseHandle(handle);
    return true;
}

}  // namespace tv::platform
