// The settings file Collocate.dat: six values kept across runs in a small XML document.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>
#include <string_view>

namespace tv::gui {

struct Settings {
    int32_t Language = 0;    // interface language: section Lang<n> of Language.ini
    std::string BrowsePath;  // narrow text; carried through unchanged
    int32_t Format = 0;      // the rest are carried through unchanged
    int32_t StartTime = 0;
    int32_t StartDirTime = 0;
    int32_t gpsoverlay = 0;
};

// Process-wide values and the file they live in (set once at start-up).
extern Settings AppSettings;
extern std::filesystem::path g_settingsPath;
// Defaults read before g_settingsPath (a file shipped beside the program); empty for none.
extern std::filesystem::path g_defaultSettingsPath;

// Fills AppSettings from g_defaultSettingsPath, then from g_settingsPath. A missing, empty or
// malformed file leaves the values as they are; nothing is reported.
void LoadSettings();
// Writes AppSettings to g_settingsPath, replacing the file and creating its folder when
// needed. A failed save is silent.
void SaveSettings();

// The output types that Format remembers: 0 AVI, 1 Matroska, 2 MP4, by their extensions.
// Other numbers stand for AVI.
const char* FormatExtension(int32_t format);
// The Format number of an extension ("mkv", in any case); AVI for any other.
int32_t FormatOfExtension(std::string_view extension);

// The C library's atoi rules (leading white space, optional sign, decimal digits; anything
// else gives 0), saturating at the 32-bit limits instead of overflowing.
int32_t AtoiValue(const char* text);

}  // namespace tv::gui
