#include "app/recording_search.h"

#include <algorithm>
#include <cctype>
#include <system_error>

#include "common/platform.h"

namespace tv {
namespace {

namespace fs = std::filesystem;

void scan(const fs::path& folder, const fs::path& below, FolderScan& found) {
    std::error_code ec;
    std::vector<fs::path> entries;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec))
        entries.push_back(it->path());
    if (ec) found.unreadable.emplace_back(folder, ec.message());
    for (const auto& entry : entries) {
        const auto kind = fs::symlink_status(entry, ec).type();
        if (kind == fs::file_type::directory) {
            scan(entry, below / entry.filename(), found);
        } else if (kind == fs::file_type::symlink && fs::is_directory(entry, ec)) {
            continue;
        } else if (is_recording_name(entry)) {
            found.recordings.emplace_back(entry, below / entry.filename());
        } else {
            found.others.push_back(entry);
        }
    }
}

}  // namespace

bool is_recording_name(const std::filesystem::path& path) {
    std::string extension = platform::utf8_of(path.extension());
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension == ".ifv";
}

FolderScan scan_folder(const std::filesystem::path& folder) {
    FolderScan found;
    // A folder typed with '/' on Windows would otherwise name what it holds with both
    // separators (in/day2\x.ifv).
    scan(std::filesystem::path(folder).make_preferred(), {}, found);
    std::sort(found.recordings.begin(), found.recordings.end());
    std::sort(found.others.begin(), found.others.end());
    return found;
}

}  // namespace tv
