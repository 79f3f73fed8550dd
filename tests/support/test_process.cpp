// The helpers that run programs and capture descriptors: POSIX only for now.
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
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

namespace tvtest {

CommandResult run_command(const std::string& command) {
    CommandResult result;
    char out_name[] = "/tmp/torvane-cmd-out-XXXXXX";
    char err_name[] = "/tmp/torvane-cmd-err-XXXXXX";
    int out_fd = mkstemp(out_name);
    int err_fd = mkstemp(err_name);
    if (out_fd < 0 || err_fd < 0) return result;
    ::close(out_fd);
    ::close(err_fd);
    std::string full = "(" + command + ") >" + out_name + " 2>" + err_name;
    int status = std::system(full.c_str());
    if (status != -1 && WIFEXITED(status))
        result.status = WEXITSTATUS(status);
    else if (status != -1 && WIFSIGNALED(status))
        result.status = 128 + WTERMSIG(status);
    auto slurp = [](const char* name) {
        std::ifstream in(name, std::ios::binary);
        std::stringstream ss;
        ss << in.rdbuf();
        return ss.str();
    };
    result.out = slurp(out_name);
    result.err = slurp(err_name);
    std::remove(out_name);
    std::remove(err_name);
    return result;
}

bool have_program(const std::string& name) {
    return run_command("command -v " + shell_quote(name)).status == 0;
}

OutputCapture::OutputCapture(int fd) : fd_(fd) {
    std::fflush(fd_ == 2 ? stderr : stdout);
    char name[] = "/tmp/torvane-output-XXXXXX";
    int file = mkstemp(name);
    if (file < 0) return;
    file_ = name;
    saved_fd_ = ::dup(fd_);
    ::dup2(file, fd_);
    ::close(file);
}

OutputCapture::~OutputCapture() {
    finish();
}

std::string OutputCapture::finish() {
    if (finished_) return text_;
    finished_ = true;
    std::fflush(fd_ == 2 ? stderr : stdout);
    if (saved_fd_ >= 0) {
        ::dup2(saved_fd_, fd_);
        ::close(saved_fd_);
    }
    std::ifstream in(file_, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    text_ = ss.str();
    std::error_code ec;
    fs::remove(file_, ec);
    return text_;
}

int spawn(std::vector<std::string> argv, const SpawnSetup& setup) {
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
    for (auto& a : argv) args.push_back(a.data());
    args.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);

    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    if (setup.out_fd >= 0) {
        posix_spawn_file_actions_adddup2(&actions, setup.out_fd, 1);
        posix_spawn_file_actions_adddup2(&actions, setup.out_fd, 2);
    } else {
        posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", O_WRONLY, 0);
        const std::string err = setup.err_file.empty() ? "/dev/null" : setup.err_file;
        posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC,
                                         0644);
    }
    posix_spawnattr_t attr;
    posix_spawnattr_init(&attr);
    sigset_t defaults;
    sigemptyset(&defaults);
    for (int signal : setup.default_signals) sigaddset(&defaults, signal);
    posix_spawnattr_setsigdefault(&attr, &defaults);
    posix_spawnattr_setflags(&attr, POSIX_SPAWN_SETSIGDEF);
    pid_t pid = -1;
    if (posix_spawn(&pid, args[0], &actions, &attr, args.data(), envp.data()) != 0) pid = -1;
    posix_spawnattr_destroy(&attr);
    posix_spawn_file_actions_destroy(&actions);
    return pid;
}

}  // namespace tvtest
