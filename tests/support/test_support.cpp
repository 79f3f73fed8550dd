#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string_view>

namespace fs = std::filesystem;

namespace tvtest {

fs::path scratch_dir(const std::string& name) {
    const char* work = std::getenv("TORVANE_TEST_WORK");
    fs::path base = work ? fs::path(work) : fs::temp_directory_path() / "torvane-tests";
    fs::path dir = base / name;
    std::error_code ec;
    fs::remove_all(dir, ec);
    fs::create_directories(dir);
    return dir;
}

fs::path test_dir() {
    return scratch_dir(::testing::UnitTest::GetInstance()->current_test_info()->name());
}

std::vector<uint8_t> read_file(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<uint8_t>((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
}

void write_file(const fs::path& path, const std::vector<uint8_t>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()),
              static_cast<std::streamsize>(bytes.size()));
    if (!out) ADD_FAILURE() << "cannot write " << path;
}

std::string read_text(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

void write_text(const fs::path& path, const std::string& text) {
    write_file(path, std::vector<uint8_t>(text.begin(), text.end()));
}

fs::path bin_dir() {
    const char* bin = std::getenv("TORVANE_BIN");
    return bin ? fs::path(bin) : fs::path(TORVANE_BUILD_BIN);
}

fs::path source_dir() {
    const char* src = std::getenv("TORVANE_SOURCE");
    return src ? fs::path(src) : fs::path(TORVANE_SOURCE_TREE);
}

fs::path lib_dir() {
    const char* lib = std::getenv("TORVANE_LIB");
    return lib ? fs::path(lib) : fs::path(TORVANE_BUILD_LIB);
}

std::vector<std::string> words(const std::string& text, std::vector<std::string> more) {
    std::vector<std::string> out;
    for (size_t start = 0; start < text.size();) {
        const size_t end = std::min(text.find(' ', start), text.size());
        if (end > start) out.push_back(text.substr(start, end - start));
        start = end + 1;
    }
    out.insert(out.end(), std::make_move_iterator(more.begin()),
               std::make_move_iterator(more.end()));
    return out;
}

#ifdef _WIN32
constexpr const char* kProgramSuffix = ".exe";
constexpr char kPathSeparator = ';';
#else
constexpr const char* kProgramSuffix = "";
constexpr char kPathSeparator = ':';
#endif

std::string program(const std::string& name) {
    return (bin_dir() / (name + kProgramSuffix)).string();
}

CommandResult run_program(const std::string& name, std::vector<std::string> args,
                          const SpawnSetup& setup) {
    args.insert(args.begin(), program(name));
    return run(args, setup);
}

namespace {
std::string seconds_text(double seconds) {
    std::ostringstream text;
    text << seconds;
    return text.str();
}
}  // namespace

int make_h264(const fs::path& out, const std::string& size, double seconds,
              const std::string& options) {
    return run(words("ffmpeg -nostdin -v error -y -f lavfi -i testsrc=size=" + size +
                         ":rate=25 -t " + seconds_text(seconds) + " -c:v libx264 -bf 0 " + options +
                         " -pix_fmt yuv420p -f h264",
                     {out.string()}))
        .status;
}

int make_tone(const fs::path& wav, double seconds) {
    return run(words("ffmpeg -nostdin -v error -y -f lavfi -i sine=frequency=440:sample_rate=8000:"
                     "duration=" +
                         seconds_text(seconds) + " -ac 1 -c:a pcm_s16le",
                     {wav.string()}))
        .status;
}

std::vector<std::string> framemd5_sums(const std::string& framemd5) {
    std::vector<std::string> out;
    std::istringstream in(framemd5);
    for (std::string line; std::getline(in, line);) {
        if (!line.empty() && line[0] != '#') out.push_back(line.substr(line.rfind(',') + 1));
    }
    return out;
}

bool have_program(const std::string& name) {
    const char* path = std::getenv("PATH");
    for (std::string_view rest = path ? path : ""; !rest.empty();) {
        const size_t end = std::min(rest.find(kPathSeparator), rest.size());
        const fs::path dir(rest.substr(0, end));
        rest.remove_prefix(std::min(end + 1, rest.size()));
        std::error_code ec;
        if (!dir.empty() && fs::is_regular_file(dir / (name + kProgramSuffix), ec)) return true;
    }
    return false;
}

std::string shell_quote(const std::string& text) {
    std::string out = "'";
    for (char c : text) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

OutputCapture::OutputCapture(int fd) : fd_(fd) {
    std::fflush(fd_ == 2 ? stderr : stdout);
    saved_fd_ = redirect(fd_, file_);
}

OutputCapture::~OutputCapture() {
    finish();
}

std::string OutputCapture::finish() {
    if (finished_) return text_;
    finished_ = true;
    std::fflush(fd_ == 2 ? stderr : stdout);
    text_ = restore(fd_, saved_fd_, file_);
    std::error_code ec;
    std::filesystem::remove(file_, ec);
    return text_;
}

}  // namespace tvtest
