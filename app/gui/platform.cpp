#include "app/gui/platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <system_error>
#include <vector>

#include "app/recording_search.h"
#include "common/platform.h"

#ifndef TORVANE_DATA_FROM_BIN
#define TORVANE_DATA_FROM_BIN "../share/torvane"
#endif

namespace tv::gui {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kEscapeBase = 0xDC00;  // U+DC80..U+DCFF carry one undecodable byte each

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

// Length of the well-formed UTF-8 sequence at the start of text, 0 when it is not one.
size_t DecodeOne(std::string_view text, char32_t& out) {
    const auto byte = [&](size_t i) { return static_cast<uint8_t>(text[i]); };
    const uint8_t b0 = byte(0);
    if (b0 < 0x80) {
        out = b0;
        return 1;
    }
    size_t len = 0;
    char32_t c = 0;
    char32_t min = 0;
    if (b0 >= 0xC2 && b0 <= 0xDF) {
        len = 2, c = b0 & 0x1F, min = 0x80;
    } else if (b0 >= 0xE0 && b0 <= 0xEF) {
        len = 3, c = b0 & 0x0F, min = 0x800;
    } else if (b0 >= 0xF0 && b0 <= 0xF4) {
        len = 4, c = b0 & 0x07, min = 0x10000;
    } else {
        return 0;
    }
    if (text.size() < len) return 0;
    for (size_t i = 1; i < len; ++i) {
        if ((byte(i) & 0xC0) != 0x80) return 0;
        c = (c << 6) | (byte(i) & 0x3F);
    }
    if (c < min || c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) return 0;
    out = c;
    return len;
}

}  // namespace

std::string NarrowText(std::wstring_view wide) {
    std::string out;
    out.reserve(wide.size());
    for (size_t i = 0; i < wide.size(); ++i) {
        auto c = static_cast<char32_t>(wide[i]);
        // Windows' wide text is UTF-16: a surrogate pair is one character.
        if (sizeof(wchar_t) == 2 && c >= 0xD800 && c <= 0xDBFF && i + 1 < wide.size() &&
            wide[i + 1] >= 0xDC00 && wide[i + 1] <= 0xDFFF) {
            c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<char32_t>(wide[++i]) - 0xDC00);
            AppendUtf8(out, c);
        } else if (c >= kEscapeBase + 0x80 && c <= kEscapeBase + 0xFF) {
            out += static_cast<char>(c - kEscapeBase);
        } else if ((c >= 0xD800 && c <= 0xDFFF) || c > 0x10FFFF) {
            AppendUtf8(out, kReplacement);
        } else {
            AppendUtf8(out, c);
        }
    }
    return out;
}

std::wstring WideText(std::string_view narrow) {
    std::wstring out;
    out.reserve(narrow.size());
    while (!narrow.empty()) {
        char32_t c = 0;
        size_t used = DecodeOne(narrow, c);
        if (used == 0) {
            c = kEscapeBase + static_cast<uint8_t>(narrow[0]);
            used = 1;
        }
        if (sizeof(wchar_t) == 2 && c > 0xFFFF) {
            out += static_cast<wchar_t>(0xD800 + ((c - 0x10000) >> 10));
            out += static_cast<wchar_t>(0xDC00 + ((c - 0x10000) & 0x3FF));
        } else {
            out += static_cast<wchar_t>(c);
        }
        narrow.remove_prefix(used);
    }
    return out;
}

std::vector<std::filesystem::path> RecordingsIn(const std::vector<std::filesystem::path>& chosen) {
    std::vector<std::filesystem::path> found;
    for (const std::filesystem::path& path : chosen) {
        std::error_code ec;
        if (!std::filesystem::is_directory(path, ec)) {
            if (tv::is_recording_name(path)) found.push_back(path);
            continue;
        }
        for (const auto& [recording, below] : tv::scan_folder(path).recordings)
            found.push_back(recording);
    }
    return found;
}

std::filesystem::path ExecutablePath() {
    return tv::platform::path_of(tv::platform::executable_path());
}

std::filesystem::path ExecutableFolder() {
    const std::filesystem::path exe = ExecutablePath();
    if (exe.empty() || !exe.has_parent_path()) return std::filesystem::path(".");
    return exe.parent_path();
}

std::filesystem::path InstalledDataFolder(const std::filesystem::path& exeFolder) {
    return (exeFolder / TORVANE_DATA_FROM_BIN).lexically_normal();
}

std::filesystem::path ChooseLanguageFile(const std::filesystem::path& exeFolder, bool besideExists,
                                         bool installedExists) {
    if (!besideExists && installedExists) {
        return InstalledDataFolder(exeFolder) / "Language.ini";
    }
    return exeFolder / "Language.ini";
}

std::filesystem::path LanguageFilePath(const std::filesystem::path& exeFolder) {
    std::error_code ec;
    const bool beside = std::filesystem::is_regular_file(exeFolder / "Language.ini", ec);
    const bool installed =
        std::filesystem::is_regular_file(InstalledDataFolder(exeFolder) / "Language.ini", ec);
    return ChooseLanguageFile(exeFolder, beside, installed);
}

std::filesystem::path SettingsFilePath(const std::filesystem::path& exeFolder) {
    std::error_code ec;
    const std::filesystem::path beside = exeFolder / "Collocate.dat";
    const bool portable = std::filesystem::exists(exeFolder / "portable", ec) ||
                          (std::filesystem::is_regular_file(beside, ec) &&
                           tv::platform::writable(tv::platform::utf8_of(beside).c_str()));
    const std::string folder = tv::platform::settings_folder();
    if (portable || folder.empty()) return beside;
    return tv::platform::path_of(folder) / "Collocate.dat";
}

std::filesystem::path DefaultSettingsFilePath(const std::filesystem::path& exeFolder,
                                              const std::filesystem::path& settingsFile) {
    std::error_code ec;
    const std::filesystem::path beside = exeFolder / "Collocate.dat";
    if (beside == settingsFile || !std::filesystem::is_regular_file(beside, ec)) return {};
    return beside;
}

}  // namespace tv::gui
