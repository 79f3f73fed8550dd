// Platform services of the desktop program: where the executable lives, where its files go,
// and the conversion between wide text (what the window toolkit hands out) and narrow text
// (the bytes that file names and the settings file hold).
#pragma once

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace tv::gui {

// Narrow text is UTF-8, the multibyte form of every locale a desktop uses today. The
// conversion is lossless both ways: bytes that are not UTF-8 (possible in Linux file names)
// travel through wide text as U+DC80..U+DCFF and come back as the same bytes.
std::string NarrowText(std::wstring_view wide);
std::wstring WideText(std::string_view narrow);

// The recordings among chosen or dropped paths: files named .ifv (in any case) as given, and
// for a folder every such file below it, in name order. Other files are passed over.
std::vector<std::filesystem::path> RecordingsIn(const std::vector<std::filesystem::path>& chosen);

// Full path of the running program, empty when the system does not tell.
std::filesystem::path ExecutablePath();
// Folder of the running program; the current folder when the path is unknown.
std::filesystem::path ExecutableFolder();

// Language.ini beside the program (a build tree or a portable copy), else in the installed
// data folder; when neither exists, the path beside the program (lookups then find nothing).
std::filesystem::path LanguageFilePath(const std::filesystem::path& exeFolder);
// The same choice with the existence checks supplied, for callers that know better.
std::filesystem::path ChooseLanguageFile(const std::filesystem::path& exeFolder, bool besideExists,
                                         bool installedExists);
// Installed data folder as seen from the program's folder (bin/../share/torvane).
std::filesystem::path InstalledDataFolder(const std::filesystem::path& exeFolder);

// Where the settings live. A portable copy keeps them beside the program: a file named
// "portable" sits there, or a Collocate.dat that the user may write. Otherwise they go to the
// user's settings folder (~/.config/torvane, %APPDATA%\Torvane), so an installed program
// never writes into its own folder.
std::filesystem::path SettingsFilePath(const std::filesystem::path& exeFolder);
// A Collocate.dat beside the program that is not the settings file itself (one shipped with a
// read-only program): its values are the defaults that the user's file overrides. Empty when
// there is none.
std::filesystem::path DefaultSettingsFilePath(const std::filesystem::path& exeFolder,
                                              const std::filesystem::path& settingsFile);

}  // namespace tv::gui
