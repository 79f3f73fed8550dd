// Running programs, Windows: CreateProcessW with a command line quoted as the C runtime splits
// it, UTF-8 arguments made wide, and the output in temporary files. Captured descriptors too.
#include "support/test_support.h"

#include <fcntl.h>
#include <io.h>
#include <sys/stat.h>
#include <windows.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cwctype>
#include <fstream>

namespace fs = std::filesystem;

namespace tvtest {

namespace {

std::wstring wide(const std::string& text) {
    if (text.empty()) return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring out(static_cast<size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), out.data(), size);
    return out;
}

// One argument as the C runtime reads it back: quoted when it holds a space, a tab or a quote
// (or is empty); backslashes doubled only where a quote follows them.
void append_argument(std::wstring& line, const std::wstring& arg) {
    if (!line.empty()) line += L' ';
    if (!arg.empty() && arg.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        line += arg;
        return;
    }
    line += L'"';
    size_t backslashes = 0;
    for (wchar_t c : arg) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        line.append(c == L'"' ? 2 * backslashes + 1 : backslashes, L'\\');
        backslashes = 0;
        line += c;
    }
    line.append(2 * backslashes, L'\\');
    line += L'"';
}

// A file written in text mode, read as such: "\r\n" ends a line.
std::string read_text_mode(const fs::path& name) {
    std::string out = read_text(name);
    size_t kept = 0;
    for (size_t i = 0; i < out.size(); ++i) {
        if (out[i] != '\r' || i + 1 == out.size() || out[i + 1] != '\n') out[kept++] = out[i];
    }
    out.resize(kept);
    return out;
}

// A name for a new temporary file of this process.
fs::path temporary_name(const char* role) {
    static std::atomic<int> counter{0};
    return fs::temp_directory_path() / ("torvane-" + std::to_string(GetCurrentProcessId()) + "-" +
                                        std::to_string(++counter) + "-" + role);
}

std::wstring upper_name(const std::wstring& entry) {
    std::wstring name = entry.substr(0, entry.find(L'=', 1));
    for (auto& c : name) c = static_cast<wchar_t>(std::towupper(c));
    return name;
}

// The test's environment with `changes` ("NAME=value") replacing or joining it, as the block
// CreateProcessW takes: sorted by name, each entry ended by a zero, a zero after the last.
std::wstring environment_block(const std::vector<std::string>& changes) {
    std::vector<std::wstring> entries;
    for (const auto& change : changes) entries.push_back(wide(change));
    wchar_t* own = GetEnvironmentStringsW();
    for (const wchar_t* e = own; *e != L'\0'; e += wcslen(e) + 1) {
        const std::wstring entry(e);
        const bool replaced = std::any_of(entries.begin(), entries.end(), [&](const auto& mine) {
            return upper_name(mine) == upper_name(entry);
        });
        if (!replaced) entries.push_back(entry);
    }
    FreeEnvironmentStringsW(own);
    std::sort(entries.begin(), entries.end(),
              [](const auto& a, const auto& b) { return upper_name(a) < upper_name(b); });
    std::wstring block;
    for (const auto& entry : entries) block.append(entry).push_back(L'\0');
    block.push_back(L'\0');
    return block;
}

// A temporary file the child inherits: written by it (output) or read (input, holding `text`).
struct Temporary {
    fs::path name;
    HANDLE handle = INVALID_HANDLE_VALUE;

    Temporary(const char* role, bool input, const std::string& text = {}) {
        name = temporary_name(role);
        if (input) {
            std::ofstream(name, std::ios::binary) << text;
        }
        SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
        handle =
            CreateFileW(name.c_str(), input ? GENERIC_READ : GENERIC_WRITE,
                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, &inherit,
                        input ? OPEN_EXISTING : CREATE_ALWAYS, FILE_ATTRIBUTE_TEMPORARY, nullptr);
    }
    ~Temporary() {
        close();
        std::error_code ec;
        fs::remove(name, ec);
    }
    Temporary(const Temporary&) = delete;
    Temporary& operator=(const Temporary&) = delete;
    void close() {
        if (handle != INVALID_HANDLE_VALUE) CloseHandle(handle);
        handle = INVALID_HANDLE_VALUE;
    }
    std::string text() {
        close();
        return read_text_mode(name);
    }
};

}  // namespace

CommandResult run(const std::vector<std::string>& argv, const SpawnSetup& setup) {
    CommandResult result;
    std::wstring line;
    for (const auto& arg : argv) append_argument(line, wide(arg));
    Temporary in("in", true, setup.input), out("out", false), err("err", false);
    if (in.handle == INVALID_HANDLE_VALUE || out.handle == INVALID_HANDLE_VALUE ||
        err.handle == INVALID_HANDLE_VALUE) {
        return result;
    }
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    startup.dwFlags = STARTF_USESTDHANDLES;
    startup.hStdInput = in.handle;
    startup.hStdOutput = out.handle;
    startup.hStdError = err.handle;
    std::wstring env = setup.env.empty() ? std::wstring() : environment_block(setup.env);
    const std::wstring cwd = setup.cwd.empty() ? std::wstring() : setup.cwd.wstring();
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, CREATE_UNICODE_ENVIRONMENT,
                        env.empty() ? nullptr : env.data(), cwd.empty() ? nullptr : cwd.c_str(),
                        &startup, &process)) {
        return result;
    }
    CloseHandle(process.hThread);
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    if (GetExitCodeProcess(process.hProcess, &code)) result.status = static_cast<int>(code);
    CloseHandle(process.hProcess);
    result.out = out.text();
    result.err = err.text();
    return result;
}

int OutputCapture::redirect(int fd, fs::path& file) {
    file = temporary_name("output");
    const int caught =
        _wopen(file.c_str(), _O_CREAT | _O_TRUNC | _O_WRONLY | _O_BINARY, _S_IREAD | _S_IWRITE);
    if (caught < 0) return -1;
    const int saved = _dup(fd);
    _dup2(caught, fd);
    _close(caught);
    return saved;
}

std::string OutputCapture::restore(int fd, int saved, const fs::path& file) {
    if (saved >= 0) {
        _dup2(saved, fd);
        _close(saved);
    }
    return read_text_mode(file);
}

}  // namespace tvtest
