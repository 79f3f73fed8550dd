// The settings file: its exact shape on disk, the reading rules and the failure cases.
#include "app/gui/settings.h"

#include <gtest/gtest.h>

#include <climits>
#include <string>

#include "support/test_support.h"

namespace fs = std::filesystem;
using tv::gui::AppSettings;
using tv::gui::AtoiValue;
using tv::gui::g_settingsPath;
using tv::gui::LoadSettings;
using tv::gui::SaveSettings;
using tv::gui::Settings;
using tvtest::read_text;
using tvtest::write_text;

namespace {

class SettingsFile : public ::testing::Test {
  protected:
    void SetUp() override {
        dir_ = tvtest::test_dir();
        g_settingsPath = dir_ / "Collocate.dat";
        tv::gui::g_defaultSettingsPath.clear();
        AppSettings = Settings{};
    }
    fs::path dir_;
};

TEST_F(SettingsFile, DefaultsAreSavedAsTheThreeLevelDocument) {
    SaveSettings();
    EXPECT_EQ(read_text(g_settingsPath),
              "<XML>\n"
              "    <CollocateXML>\n"
              "        <Collocate Language=\"0\" BrowsePath=\"\" Format=\"0\" StartTime=\"0\" "
              "StartDirTime=\"0\" gpsoverlay=\"0\"/>\n"
              "    </CollocateXML>\n"
              "</XML>\n");
}

TEST_F(SettingsFile, EveryValueSurvivesASaveAndALoad) {
    AppSettings = Settings{3, "/home/user/录像 files", 7, -5, 12, 1};
    SaveSettings();
    EXPECT_NE(read_text(g_settingsPath).find("StartTime=\"-5\""), std::string::npos);

    AppSettings = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 3);
    EXPECT_EQ(AppSettings.BrowsePath, "/home/user/录像 files");
    EXPECT_EQ(AppSettings.Format, 7);
    EXPECT_EQ(AppSettings.StartTime, -5);
    EXPECT_EQ(AppSettings.StartDirTime, 12);
    EXPECT_EQ(AppSettings.gpsoverlay, 1);
}

TEST_F(SettingsFile, ReservedCharactersAreEscapedAndReadBackUnchanged) {
    AppSettings.BrowsePath = "/data/a&b<c>\"d\"";
    SaveSettings();
    const std::string text = read_text(g_settingsPath);
    EXPECT_NE(text.find("&amp;"), std::string::npos) << text;
    EXPECT_NE(text.find("&lt;"), std::string::npos) << text;
    EXPECT_EQ(text.find("a&b"), std::string::npos) << text;

    AppSettings.BrowsePath.clear();
    LoadSettings();
    EXPECT_EQ(AppSettings.BrowsePath, "/data/a&b<c>\"d\"");
}

TEST_F(SettingsFile, TheLastElementCarryingAnAttributeWins) {
    write_text(g_settingsPath,
               "<XML>\n"
               "  <CollocateXML><Collocate Language=\"1\" Format=\"4\" BrowsePath=\"/first\"/>"
               "</CollocateXML>\n"
               "  <CollocateXML><Collocate Language=\"3\" StartTime=\"9\"/></CollocateXML>\n"
               "</XML>\n");
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 3);
    EXPECT_EQ(AppSettings.StartTime, 9);
    // Attributes that only the first element carries keep its values.
    EXPECT_EQ(AppSettings.Format, 4);
    EXPECT_EQ(AppSettings.BrowsePath, "/first");
}

TEST_F(SettingsFile, ElementNamesPlayNoPartButTheShapeDoes) {
    write_text(g_settingsPath,
               "<Root><Group><Item Language=\"2\" gpsoverlay=\"5\"/></Group></Root>");
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 2);
    EXPECT_EQ(AppSettings.gpsoverlay, 5);

    // Attributes on the root or on the second level are not looked at.
    AppSettings = Settings{};
    write_text(g_settingsPath, "<XML Language=\"1\"><CollocateXML Language=\"1\"/></XML>");
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 0);
}

TEST_F(SettingsFile, NumbersFollowTheAtoiRules) {
    write_text(g_settingsPath,
               "<XML><CollocateXML><Collocate Language=\" 12abc\" Format=\"abc\" "
               "StartTime=\"-5\" StartDirTime=\"+7\" gpsoverlay=\"99999999999\"/>"
               "</CollocateXML></XML>");
    AppSettings.Format = 42;
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 12);
    EXPECT_EQ(AppSettings.Format, 0);
    EXPECT_EQ(AppSettings.StartTime, -5);
    EXPECT_EQ(AppSettings.StartDirTime, 7);
    EXPECT_EQ(AppSettings.gpsoverlay, INT_MAX);
}

TEST(SettingsNumbers, FormatNumbersStandForTheOutputTypes) {
    EXPECT_STREQ(tv::gui::FormatExtension(0), "avi");
    EXPECT_STREQ(tv::gui::FormatExtension(1), "mkv");
    EXPECT_STREQ(tv::gui::FormatExtension(2), "mp4");
    EXPECT_STREQ(tv::gui::FormatExtension(7), "avi");
    EXPECT_EQ(tv::gui::FormatOfExtension("MP4"), 2);
    EXPECT_EQ(tv::gui::FormatOfExtension("mkv"), 1);
    EXPECT_EQ(tv::gui::FormatOfExtension("webm"), 0);
}

TEST(SettingsNumbers, AtoiSaturatesInsteadOfOverflowing) {
    EXPECT_EQ(AtoiValue("2147483647"), INT_MAX);
    EXPECT_EQ(AtoiValue("2147483648"), INT_MAX);
    EXPECT_EQ(AtoiValue("-2147483648"), INT_MIN);
    EXPECT_EQ(AtoiValue("-99999999999999999999999"), INT_MIN);
    EXPECT_EQ(AtoiValue("\t\n 3"), 3);
    EXPECT_EQ(AtoiValue("- 3"), 0);
    EXPECT_EQ(AtoiValue(""), 0);
    EXPECT_EQ(AtoiValue(nullptr), 0);
}

TEST_F(SettingsFile, MissingEmptyAndMalformedFilesKeepTheValues) {
    const Settings before{1, "/kept", 2, 3, 4, 5};
    const auto expectKept = [&](const char* what) {
        EXPECT_EQ(AppSettings.Language, 1) << what;
        EXPECT_EQ(AppSettings.BrowsePath, "/kept") << what;
        EXPECT_EQ(AppSettings.gpsoverlay, 5) << what;
    };

    AppSettings = before;
    LoadSettings();  // no file at all
    expectKept("missing");

    write_text(g_settingsPath, "");
    LoadSettings();
    expectKept("empty");

    for (const char* text :
         {"<XML><CollocateXML><Collocate Language=\"3\"", "not xml at all",
          "<XML><CollocateXML><Collocate Language=\"3\"/></Wrong></XML>", "\xff\xfe<\x00X\x00"}) {
        write_text(g_settingsPath, text);
        LoadSettings();
        expectKept(text);
    }

    // A folder in place of the file reads nothing either.
    fs::remove(g_settingsPath);
    fs::create_directory(g_settingsPath);
    LoadSettings();
    expectKept("folder");
}

TEST_F(SettingsFile, AFileBesideTheProgramGivesDefaultsThatTheUsersFileOverrides) {
    tv::gui::g_defaultSettingsPath = dir_ / "shipped.dat";
    write_text(tv::gui::g_defaultSettingsPath,
               "<XML><CollocateXML><Collocate Language=\"1\" Format=\"2\"/></CollocateXML></XML>");
    LoadSettings();  // no user file yet
    EXPECT_EQ(AppSettings.Language, 1);
    EXPECT_EQ(AppSettings.Format, 2);

    write_text(g_settingsPath,
               "<XML><CollocateXML><Collocate Language=\"3\"/></CollocateXML></XML>");
    AppSettings = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 3);
    EXPECT_EQ(AppSettings.Format, 2);
    // Saving writes the user's file only.
    SaveSettings();
    EXPECT_EQ(read_text(tv::gui::g_defaultSettingsPath),
              "<XML><CollocateXML><Collocate Language=\"1\" Format=\"2\"/></CollocateXML></XML>");
}

TEST_F(SettingsFile, TheNextSaveReplacesABrokenFile) {
    write_text(g_settingsPath, "<XML><CollocateXML><Coll");
    AppSettings.Language = 1;
    SaveSettings();
    AppSettings = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 1);
}

TEST_F(SettingsFile, SaveCreatesTheConfigurationFolder) {
    g_settingsPath = dir_ / "config" / "torvane" / "Collocate.dat";
    AppSettings.Language = 3;
    SaveSettings();
    ASSERT_TRUE(fs::exists(g_settingsPath));
    AppSettings = Settings{};
    LoadSettings();
    EXPECT_EQ(AppSettings.Language, 3);
}

TEST_F(SettingsFile, AFailedSaveIsSilent) {
    write_text(dir_ / "plain-file", "x");
    g_settingsPath = dir_ / "plain-file" / "sub" / "Collocate.dat";
    SaveSettings();  // neither throws nor crashes
    EXPECT_FALSE(fs::exists(g_settingsPath));
}

}  // namespace
