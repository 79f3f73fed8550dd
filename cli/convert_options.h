// torvane-convert's command line: its options, their help and their checks.
#pragma once

#include <cstdio>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "app/conversion_job.h"
#include "common/platform.h"

namespace tvcli {

constexpr const char* kProgram = "torvane-convert";

enum ExitStatus : int {
    kAllConverted = 0,
    kNotConverted = 1,
    kUsage = 2,
    kPartial = 3,
    kInterrupted = 130,  // as a shell reports a program that Ctrl-C ended
};

enum class Progress { kBar, kJson, kNone };

struct Options {
    std::vector<std::string> positionals;
    std::optional<std::string> output_dir;
    bool overwrite = false;
    bool skip_existing = false;
    bool quiet = false;
    bool info = false;
    bool json = false;
    bool clock_srt = false;
    bool preserve_time = true;
    tv::OutputFormat format = tv::OutputFormat::ByExtension;
    bool clock_track = true;
    bool hash = false;
    std::optional<std::string> report;
    std::optional<tv::RecordingTime> from, to;
    std::optional<std::string> from_text, to_text;  // as given, for the report
    std::optional<std::string> join;  // the output that the recordings are joined into
    unsigned jobs = 0;
    Progress progress = Progress::kBar;
};

// Paths are UTF-8 inside the program; std::filesystem sees them through char8_t, so that no
// system's narrow code page reads them.
inline std::filesystem::path as_path(const std::string& utf8) {
    return tv::platform::path_of(utf8);
}
inline std::string as_utf8(const std::filesystem::path& path) {
    return tv::platform::utf8_of(path);
}
bool is_folder(const std::string& path);

// The help text, in the form help2man reads.
void print_usage(FILE* out);
// Reads the command line into `options`. Returns the exit status for a usage error (told on
// standard error), or -1 when the options are good.
int parse_options(int argc, char** argv, Options& options);

}  // namespace tvcli
