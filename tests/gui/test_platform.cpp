// Platform services: text conversion, the program's own path and where its files live.
#include "app/gui/platform.h"

#include <gtest/gtest.h>

#include <cstdlib>

#include "support/test_support.h"

namespace fs = std::filesystem;
using namespace tv::gui;

namespace {

TEST(NarrowText, IsUtf8AndRoundTripsEveryCharacter) {
    const std::wstring wide = L"D:/录像/錄影 café \U0001F3A5.ifv";
    const std::string narrow = NarrowText(wide);
    EXPECT_EQ(narrow,
              "D:/\xE5\xBD\x95\xE5\x83\x8F/\xE9\x8C\x84\xE5\xBD\xB1 caf\xC3\xA9 "
              "\xF0\x9F\x8E\xA5.ifv");
    EXPECT_EQ(WideText(narrow), wide);
}

TEST(NarrowText, BytesThatAreNotUtf8SurviveTheWayThroughWideText) {
    // Latin-1 names, a cut sequence, an overlong '/', an encoded surrogate, a stray tail byte.
    const std::string names[] = {"/tmp/caf\xE9.ifv",   "/tmp/\xE5\xBD", "/tmp/\xC0\xAF",
                                 "/tmp/\xED\xA0\x80x", "\x80",          std::string("a\0b", 3)};
    for (const std::string& name : names) {
        const std::wstring wide = WideText(name);
        EXPECT_EQ(NarrowText(wide), name);
    }
    EXPECT_EQ(WideText("caf\xE9"), std::wstring(L"caf") + wchar_t(0xDCE9));
}

TEST(NarrowText, WideTextThatHasNoUtf8FormBecomesTheReplacementCharacter) {
    const std::wstring lone{wchar_t(0xD800), L'x', wchar_t(0x110000)};
    EXPECT_EQ(NarrowText(lone), "\xEF\xBF\xBDx\xEF\xBF\xBD");
}

TEST(ExecutablePath, NamesThisProgram) {
    const fs::path exe = ExecutablePath();
    ASSERT_FALSE(exe.empty());
    EXPECT_TRUE(exe.is_absolute());
    EXPECT_EQ(exe.filename(), "gui_platform_test");
    EXPECT_EQ(ExecutableFolder(), exe.parent_path());
}

TEST(FileLocations, LanguageFileBesideTheProgramComesFirst) {
    const fs::path root = tvtest::scratch_dir("language_locations");
    const fs::path bin = root / "prefix with space" / "bin";
    const fs::path share = root / "prefix with space" / "share" / "torvane";
    fs::create_directories(bin);
    fs::create_directories(share);

    EXPECT_EQ(InstalledDataFolder(bin), share);
    EXPECT_EQ(LanguageFilePath(bin), bin / "Language.ini");  // neither exists

    tvtest::write_file(share / "Language.ini", {'[', ']'});
    EXPECT_EQ(LanguageFilePath(bin), share / "Language.ini");

    tvtest::write_file(bin / "Language.ini", {'[', ']'});
    EXPECT_EQ(LanguageFilePath(bin), bin / "Language.ini");
}

TEST(FileLocations, OnlyAPortableCopyWritesBesideItself) {
    const fs::path dir = tvtest::scratch_dir("settings_location");
    const fs::path bin = dir / "bin";
    fs::create_directories(bin);
    setenv("HOME", (dir / "home").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir / "config").c_str(), 1);
    const fs::path user = dir / "config" / "torvane" / "Collocate.dat";

    // A writable folder alone is not enough: the user's folder, nothing beside to read.
    EXPECT_EQ(SettingsFilePath(bin), user);
    EXPECT_EQ(DefaultSettingsFilePath(bin, user), fs::path());
    // Unset, empty or relative (invalid), XDG_CONFIG_HOME leaves the home folder's.
    for (const char* xdg : {"", "rel/conf"}) {
        setenv("XDG_CONFIG_HOME", xdg, 1);
        EXPECT_EQ(SettingsFilePath(bin), dir / "home" / ".config" / "torvane" / "Collocate.dat");
    }
    unsetenv("XDG_CONFIG_HOME");
    EXPECT_EQ(SettingsFilePath(bin), dir / "home" / ".config" / "torvane" / "Collocate.dat");

    // The marker, or a settings file there that may be written, makes the copy portable.
    tvtest::write_file(bin / "portable", {});
    EXPECT_EQ(SettingsFilePath(bin), bin / "Collocate.dat");
    fs::remove(bin / "portable");
    tvtest::write_file(bin / "Collocate.dat", {'<', 'X', '/', '>'});
    EXPECT_EQ(SettingsFilePath(bin), bin / "Collocate.dat");
    EXPECT_EQ(DefaultSettingsFilePath(bin, bin / "Collocate.dat"), fs::path());

    // One that is not the settings file (shipped beside a read-only program) gives defaults;
    // one that nobody may write is such a default, for root too.
    EXPECT_EQ(DefaultSettingsFilePath(bin, user), bin / "Collocate.dat");
    fs::permissions(bin / "Collocate.dat", fs::perms::owner_read | fs::perms::group_read);
    EXPECT_EQ(SettingsFilePath(bin), dir / "home" / ".config" / "torvane" / "Collocate.dat");
}

}  // namespace
