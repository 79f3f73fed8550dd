// Interface languages: texts looked up by key in section "Lang<n>" of Language.ini.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tv::gui {

// Longest text a lookup returns, in characters; longer ones are cut.
inline constexpr size_t kLanguageTextLimit = 258;

// The text for key in section "Lang<language>" of the file, read anew on every call. Section
// and key names compare without regard to ASCII case; the first match counts. A missing
// file, section or key gives the empty text.
std::string GetLanguageText(const std::filesystem::path& languageFile, int32_t language,
                            std::string_view key);

// The first `limit` characters of UTF-8 text; continuation bytes go with the character
// before them, so a character is never split.
std::string CutToCharacters(std::string_view text, size_t limit);

}  // namespace tv::gui
