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
//
// The file's rules: one "name=value" (or "name:value") a line, white space around name and
// value dropped; "[name]" opens a section; lines that start with ';' or '#' are comments, and
// a ';' after white space ends a value; any other line is passed over. A leading UTF-8
// byte-order mark is ignored. Lines may be of any length.
std::string GetLanguageText(const std::filesystem::path& languageFile, int32_t language,
                            std::string_view key);

// Whether section "Lang<language>" of the file holds any text at all.
bool LanguageHasTexts(const std::filesystem::path& languageFile, int32_t language);

// The built-in English text of one of the window's keys, for a language that lacks it; null
// for keys that have none (the outcome messages keep theirs with the job's outcome table).
const char* EnglishText(std::string_view key);

// The first `limit` characters of UTF-8 text; continuation bytes go with the character
// before them, so a character is never split.
std::string CutToCharacters(std::string_view text, size_t limit);

}  // namespace tv::gui
