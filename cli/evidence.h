// Evidence of a run: SHA-256 checksums in sha256sum's format, and file names in JSON.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include <nlohmann/json.hpp>

namespace tvcli {

// The SHA-256 of a whole file, read in 1 MiB pieces, as 64 lower-case hex digits; empty with
// `error` set (the system's words) when it could not be read.
std::string sha256_of_file(const std::string& path, std::string& error);
// Whether this build can (without OpenSSL it cannot).
bool sha256_available();

// One line of `sha256sum`'s output for `name`: "<hash>  <name>\n", with a leading backslash
// and \\ and \n escaped when the name holds a backslash or a line break, as sha256sum does.
std::string checksum_line(const std::string& hash, const std::string& name);

// `path` as named from `folder`: relative when it can be, else absolute.
std::string name_from(const std::string& path, const std::string& folder);

// Writes `text` into `path`, aside as PATH.part and put in place as the job puts its outputs
// (never over an existing file unless `replace`). False with the system's words in `error`.
bool write_file_aside(const std::string& path, const std::string& text, bool replace,
                      std::string& error);

// Whether `text` is valid UTF-8.
bool is_utf8(std::string_view text);

// Sets j[key] to `path`; a path that is not UTF-8 gets its invalid bytes replaced there
// (U+FFFD) and its exact bytes, in hex, under key + "_bytes", so nothing is lost.
void put_path(nlohmann::ordered_json& j, const std::string& key, const std::string& path);

// Seconds since 1970 as UTC ISO 8601: "2023-11-14T22:13:20Z".
std::string utc_iso(int64_t seconds);

}  // namespace tvcli
