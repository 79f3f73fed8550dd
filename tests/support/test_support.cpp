#include "support/test_support.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>

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

}  // namespace tvtest
