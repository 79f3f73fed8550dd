// Finding recordings among what a user names: files named .ifv (in any case), and every such
// file below a folder. The converter and the window search alike.
#pragma once

#include <filesystem>
#include <string>
#include <utility>
#include <vector>

#include "torvane/export.h"

namespace tv {

TORVANE_API bool is_recording_name(const std::filesystem::path& path);

// What a folder holds, each list in name order: its recordings, each with its path below the
// folder, and everything else (which callers skip). Links to folders are not followed, so a
// loop of links cannot hold the search; a folder that cannot be read is listed with the
// system's words and passed over.
struct FolderScan {
    std::vector<std::pair<std::filesystem::path, std::filesystem::path>> recordings;
    std::vector<std::filesystem::path> others;
    std::vector<std::pair<std::filesystem::path, std::string>> unreadable;
};
TORVANE_API FolderScan scan_folder(const std::filesystem::path& folder);

}  // namespace tv
