// Helpers shared by the test suites: scratch folders, whole-file reads, captured stdout.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tvtest {

// A fresh folder for one test, below TORVANE_TEST_WORK (or the system temp folder).
std::filesystem::path scratch_dir(const std::string& name);

std::vector<uint8_t> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Folder of the built programs (build/bin) and of the source tree.
std::filesystem::path bin_dir();
std::filesystem::path source_dir();
std::filesystem::path lib_dir();

// Runs a shell command; returns its exit status (-1 when it could not run) and its output.
struct CommandResult {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};
CommandResult run_command(const std::string& command);

// Captures what the code under test prints on standard output (file descriptor 1).
class StdoutCapture {
  public:
    StdoutCapture();
    ~StdoutCapture();
    StdoutCapture(const StdoutCapture&) = delete;
    StdoutCapture& operator=(const StdoutCapture&) = delete;
    // Stops capturing (once) and returns everything printed since construction.
    std::string finish();

  private:
    int saved_fd_ = -1;
    std::filesystem::path file_;
    bool finished_ = false;
    std::string text_;
};

// Single-quotes a text for the shell.
std::string shell_quote(const std::string& text);

}  // namespace tvtest
