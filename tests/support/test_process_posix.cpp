// Running programs and capturing descriptors, POSIX: posix_spawn with the output in temporary
// files (no pipe to drain while the program runs).
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern char** environ;

namespace fs = std::filesystem;

namespace tvtest {

namespace {

// A new empty temporary file, open for reading and writing: its descriptor (-1) and its name.
int temporary(fs::path& name) {
    std::string pattern = (fs::temp_directory_path() / "torvane-run-XXXXXX").string();
    const int fd = mkostemp(pattern.data(), O_CLOEXEC);
    if (fd >= 0) name = pattern;
    return fd;
}

int status_of(int wait_status) {
    if (WIFEXITED(wait_status)) return WEXITSTATUS(wait_status);
    if (WIFSIGNALED(wait_status)) return 128 + WTERMSIG(wait_status);
    return -1;
}

// Starts `argv` with standard input, output and error on these descriptors (-1: /dev/null).
pid_t start(const std::vector<std::string>& argv, const SpawnSetup& setup, int in, int out,
            int err) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const char* equals = std::strchr(*e, '=');
        const std::string name(*e, equals ? static_cast<size_t>(equals - *e) + 1 : 0);
        bool replaced = false;
        for (const auto& mine : setup.env) replaced = replaced || mine.rfind(name, 0) == 0;
        if (!replaced) env.emplace_back(*e);
    }
    env.insert(env.end(), setup.env.begin(), setup.env.end());
    std::vector<char*> args, envp;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    const int fds[] = {in, out, err};
    for (int target = 0; target < 3; ++target) {
        if (fds[target] >= 0)
            posix_spawn_file_actions_adddup2(&actions, fds[target], target);
        else
            posix_spawn_file_actions_addopen(&actions, target, "/dev/null",
                                             target == 0 ? O_RDONLY : O_WRONLY, 0);
    }
    if (!setup.cwd.empty()) posix_spawn_file_actions_addchdir_np(&actions, setup.cwd.c_str());
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : setup.default_signals) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawnp(&pid, args[0], &actions, &attr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace

CommandResult run(const std::vector<std::string>& argv, const SpawnSetup& setup) {
    CommandResult result;
    fs::path in_name, out_name, err_name;
    const int in = setup.input.empty() ? -1 : temporary(in_name);
    const int out = temporary(out_name), err = temporary(err_name);
    if (in >= 0 && ::write(in, setup.input.data(), setup.input.size()) ==
                       static_cast<ssize_t>(setup.input.size())) {
        ::lseek(in, 0, SEEK_SET);
    }
    if (out >= 0 && err >= 0 && (setup.input.empty() || in >= 0)) {
        const pid_t pid = start(argv, setup, in, out, err);
        int status = 0;
        if (pid > 0 && waitpid(pid, &status, 0) == pid) result.status = status_of(status);
    }
    for (int fd : {in, out, err}) {
        if (fd >= 0) ::close(fd);
    }
    result.out = read_text(out_name);
    result.err = read_text(err_name);
    std::error_code ec;
    for (const auto& name : {in_name, out_name, err_name}) {
        if (!name.empty()) fs::remove(name, ec);
    }
    return result;
}

CommandResult run_command(const std::string& command) {
    return run({"/bin/sh", "-c", command});
}

int spawn(std::vector<std::string> argv, const SpawnSetup& setup) {
    const int err =
        setup.out_fd >= 0 ? setup.out_fd
        : setup.err_file.empty()
            ? -1
            : ::open(setup.err_file.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    const pid_t pid = start(argv, setup, -1, setup.out_fd, err);
    if (err >= 0 && err != setup.out_fd) ::close(err);
    return pid;
}

int OutputCapture::redirect(int fd, fs::path& file) {
    const int caught = temporary(file);
    if (caught < 0) return -1;
    const int saved = ::dup(fd);
    ::dup2(caught, fd);
    ::close(caught);
    return saved;
}

std::string OutputCapture::restore(int fd, int saved, const fs::path& file) {
    if (saved >= 0) {
        ::dup2(saved, fd);
        ::close(saved);
    }
    return read_text(file);
}

}  // namespace tvtest
