// Helpers shared by the test suites: scratch folders, whole-file reads, captured output.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace tvtest {

// The file that holds a conversion's frames: the .part it kept, else the output.
template <class Report>
std::filesystem::path frames_file(const Report& report, const std::filesystem::path& output) {
    return report.kept_part.empty() ? output : std::filesystem::path(report.kept_part);
}

// A fresh folder for one test, below TORVANE_TEST_WORK (or the system temp folder).
std::filesystem::path scratch_dir(const std::string& name);
// scratch_dir() named after the running test.
std::filesystem::path test_dir();

std::vector<uint8_t> read_file(const std::filesystem::path& path);
void write_file(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);
// The same with the bytes as a string.
std::string read_text(const std::filesystem::path& path);
void write_text(const std::filesystem::path& path, const std::string& text);

// Folder of the built programs (build/bin) and of the source tree.
std::filesystem::path bin_dir();
std::filesystem::path source_dir();
std::filesystem::path lib_dir();

// What a program that ran returned: its exit status (128 + the signal's number when a signal
// ended it; -1 when it could not run) and its output.
struct CommandResult {
    int status = -1;
    std::string out;  // standard output
    std::string err;  // standard error
};

// How run() and spawn() start a program: environment variables ("NAME=value") that replace or
// join the test's own, the working folder, run()'s standard input text; spawn() alone: where
// standard output and error go. On POSIX also the signals set back to their default action
// (whatever runs the tests may ignore them).
struct SpawnSetup {
    std::vector<std::string> env;
    std::filesystem::path cwd;  // else the test's own
    std::string input;          // run(): standard input (empty: nothing to read)
    int out_fd = -1;            // spawn(): standard output and error into this descriptor, else
    std::string err_file;       // standard error into this file; what is not given: /dev/null
    std::vector<int> default_signals;
};

// Runs `argv` without a shell and waits for it: argv[0] is a path, or a name looked up on PATH.
// Arguments are UTF-8, passed as they are (quoted for the command line on Windows).
CommandResult run(const std::vector<std::string>& argv, const SpawnSetup& setup = {});
// `text` split at its spaces, then `more` as they are: fixed options written as one line.
std::vector<std::string> words(const std::string& text, std::vector<std::string> more = {});
// A built program's path (bin_dir(), with .exe on Windows), and that program run with `args`.
std::string program(const std::string& name);
CommandResult run_program(const std::string& name, std::vector<std::string> args,
                          const SpawnSetup& setup = {});

// Captures what the code under test prints on a file descriptor: standard output (1) or
// standard error (2).
class OutputCapture {
  public:
    explicit OutputCapture(int fd);
    ~OutputCapture();
    OutputCapture(const OutputCapture&) = delete;
    OutputCapture& operator=(const OutputCapture&) = delete;
    // Stops capturing (once) and returns everything printed since construction.
    std::string finish();

  private:
    // The system's part: sends `fd` to a new temporary `file` (the saved descriptor, or -1),
    // and back (what the file caught).
    static int redirect(int fd, std::filesystem::path& file);
    static std::string restore(int fd, int saved, const std::filesystem::path& file);

    int fd_;
    int saved_fd_ = -1;
    std::filesystem::path file_;
    bool finished_ = false;
    std::string text_;
};
struct StdoutCapture : OutputCapture {
    StdoutCapture() : OutputCapture(1) {}
};
struct StderrCapture : OutputCapture {
    StderrCapture() : OutputCapture(2) {}
};

#ifndef _WIN32
// Runs a shell command, for the few tests that need the shell itself (ulimit, a terminal).
CommandResult run_command(const std::string& command);
// Starts `argv` (argv[0] the program's path) without waiting: its pid, or -1.
int spawn(std::vector<std::string> argv, const SpawnSetup& setup);
#endif

// Test inputs from ffmpeg (0 when it made them): its test picture as H.264 (Annex B) at 25 fps
// without B-frames, `options` added to the encoder's (a key frame interval, a profile); and a
// 440 Hz tone as 8 kHz mono 16-bit PCM in a WAV file.
int make_h264(const std::filesystem::path& out, const std::string& size, double seconds,
              const std::string& options = "");
int make_tone(const std::filesystem::path& wav, double seconds);

// The checksum column of ffmpeg's framemd5 output: one per picture.
std::vector<std::string> framemd5_sums(const std::string& framemd5);

// True when the program is found on PATH (with .exe on Windows).
bool have_program(const std::string& name);

// Single-quotes a text for the shell.
std::string shell_quote(const std::string& text);

}  // namespace tvtest
