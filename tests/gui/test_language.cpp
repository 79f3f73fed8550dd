// Language lookups: sections by number, missing pieces, the length cut, long lines, and the
// built-in English behind them.
#include "app/gui/language.h"

#include <gtest/gtest.h>

#include <string>

#include "support/test_support.h"

namespace fs = std::filesystem;
using tv::gui::CutToCharacters;
using tv::gui::GetLanguageText;

namespace {

class LanguageFile : public ::testing::Test {
  protected:
    void SetUp() override { file_ = tvtest::test_dir() / "Language.ini"; }
    void Write(const std::string& text) { tvtest::write_text(file_, text); }
    std::string Text(int32_t language, const char* key) {
        return GetLanguageText(file_, language, key);
    }
    fs::path file_;
};

TEST_F(LanguageFile, TheLanguageNumberSelectsTheSection) {
    Write(
        "[Lang0]\nBtConversion=开始转换\n"
        "[Lang1]\nBtConversion=Start\n"
        "[Lang2]\nBtConversion=Spare\n"
        "[Lang3]\nBtConversion=開始轉換\n"
        "[Lang7]\nBtConversion=Seven\n"
        "[Lang-1]\nBtConversion=Minus one\n");
    EXPECT_EQ(Text(0, "BtConversion"), "开始转换");
    EXPECT_EQ(Text(1, "BtConversion"), "Start");
    EXPECT_EQ(Text(2, "BtConversion"), "Spare");
    EXPECT_EQ(Text(3, "BtConversion"), "開始轉換");
    // Numbers outside 0..3 read their own section, when a file has one.
    EXPECT_EQ(Text(7, "BtConversion"), "Seven");
    EXPECT_EQ(Text(-1, "BtConversion"), "Minus one");
    EXPECT_EQ(Text(4, "BtConversion"), "");
}

TEST_F(LanguageFile, MissingFileSectionOrKeyGiveTheEmptyText) {
    EXPECT_EQ(Text(1, "STSource"), "");  // no file yet
    Write("[Lang1]\nSTSource=Source\n[Lang2]\n");
    EXPECT_EQ(Text(0, "STSource"), "");    // no section
    EXPECT_EQ(Text(2, "STSource"), "");    // empty section
    EXPECT_EQ(Text(1, "BtLanguage"), "");  // no key
    EXPECT_EQ(Text(1, "STSourceX"), "");
    EXPECT_EQ(Text(1, "STSource"), "Source");
    // A key in another section is not taken.
    Write("[Lang0]\nSTSource=zero\n[Lang1]\nOther=x\n");
    EXPECT_EQ(Text(1, "STSource"), "");
    // A folder in place of the file.
    fs::remove(file_);
    fs::create_directory(file_);
    EXPECT_EQ(Text(1, "STSource"), "");
}

TEST_F(LanguageFile, ASectionHasTextsOnlyWithANonEmptyValue) {
    Write("[Lang2]\n; MenuSpare=x\nSTSource=\n[Lang3]\nstray line\nBtStop = Halt\n");
    EXPECT_FALSE(tv::gui::LanguageHasTexts(file_, 2));
    EXPECT_TRUE(tv::gui::LanguageHasTexts(file_, 3));
    EXPECT_FALSE(tv::gui::LanguageHasTexts(file_, 9));
    EXPECT_STREQ(tv::gui::EnglishText("BtConversion"), "Start conversion");
    EXPECT_EQ(tv::gui::EnglishText("NoSuchKey"), nullptr);
}

TEST_F(LanguageFile, TheFileIsReadAnewOnEveryLookup) {
    Write("[Lang1]\nBtLanguage=Language\n");
    EXPECT_EQ(Text(1, "BtLanguage"), "Language");
    Write("[Lang1]\nBtLanguage=Sprache\n");
    EXPECT_EQ(Text(1, "BtLanguage"), "Sprache");
}

TEST_F(LanguageFile, NamesIgnoreCaseAndTheFirstMatchCounts) {
    Write(
        "\xEF\xBB\xBF[lang1]\r\nstsource = first \r\nSTSource=second\r\n[LANG1]\nSTSource=third\n");
    EXPECT_EQ(Text(1, "STSource"), "first");
}

TEST_F(LanguageFile, IndentedLinesAreOrdinaryLinesNotContinuations) {
    Write("[Lang1]\nSTSource=Source\n    STConversionAVI=Target\n  stray words\nBtLanguage=L\n");
    EXPECT_EQ(Text(1, "STSource"), "Source");
    EXPECT_EQ(Text(1, "STConversionAVI"), "Target");
    EXPECT_EQ(Text(1, "BtLanguage"), "L");
}

TEST_F(LanguageFile, CommentsAreNotTexts) {
    Write("[Lang1]\n; STSource=commented\n# BtLanguage=commented\nSTSource=Source ; note\n");
    EXPECT_EQ(Text(1, "STSource"), "Source");
    EXPECT_EQ(Text(1, "BtLanguage"), "");
}

TEST_F(LanguageFile, LongTextsAreCutTo258Characters) {
    std::string ascii;
    for (int i = 0; i < 300; ++i) ascii += char('a' + i % 26);
    std::string cjk;
    for (int i = 0; i < 300; ++i) cjk += (i % 2) ? "转" : "換";
    Write("[Lang1]\nMessageAVIsucceed=" + ascii + "\nSTSource=" + cjk + "\nBtLanguage=after\n");

    EXPECT_EQ(Text(1, "MessageAVIsucceed"), ascii.substr(0, 258));
    EXPECT_EQ(Text(1, "STSource"), cjk.substr(0, 258 * 3));
    EXPECT_EQ(Text(1, "BtLanguage"), "after");

    const std::string exact(258, 'x');
    Write("[Lang1]\nSTSource=" + exact + "\n");
    EXPECT_EQ(Text(1, "STSource"), exact);
}

TEST_F(LanguageFile, LongLinesKeepTheirSpacesAndNeverLeakIntoOtherKeys) {
    // Spaces everywhere, so that any cut next to one would lose it.
    std::string spaced;
    for (int i = 0; i < 60; ++i) spaced += "a b ";
    spaced += "end";
    // The tail of a long comment, of a long line without '=' and of a long line whose text is
    // cut by an inline comment must not turn into keys or into someone else's text.
    const std::string filler(250, 'z');
    Write(
        "[Lang1]\n"
        "STSource=" +
        spaced +
        "\n"
        "MenuChinaT=" +
        filler + "   " + filler +
        "\n"
        "; " +
        filler + "BtLanguage=from comment\n" + filler +
        " BtLanguage=from line without separator\n"
        "BtConversion=short ;" +
        filler +
        " more\n"
        "[" +
        filler +
        "]\nMenuChina=from long section\n"
        "MenuEnglish=" +
        filler + "  " + filler + "\n");
    EXPECT_EQ(Text(1, "STSource"), spaced.substr(0, 258));
    EXPECT_EQ(Text(1, "BtLanguage"), "");
    EXPECT_EQ(Text(1, "BtConversion"), "short");
    EXPECT_EQ(Text(1, "MenuChinaT"), (filler + "   " + filler).substr(0, 258));
    // A long section name stays a section of its own.
    EXPECT_EQ(Text(1, "MenuChina"), "");
    EXPECT_EQ(Text(1, "MenuEnglish"), "");
}

TEST_F(LanguageFile, WhiteSpaceBeforeALongTextIsNotPartOfIt) {
    const std::string text(300, 't');
    Write("[Lang1]\nSTSource=" + std::string(400, ' ') + text + "\n");
    EXPECT_EQ(Text(1, "STSource"), text.substr(0, 258));
}

TEST_F(LanguageFile, ALongTextEndsWhereItsInlineCommentBegins) {
    const std::string head(230, 'h');
    Write("[Lang1]\nSTSource=" + head + " ;comment " + std::string(200, 'c') + "\n");
    EXPECT_EQ(Text(1, "STSource"), head);
}

TEST(CutToCharacters, CountsCharactersNotBytes) {
    EXPECT_EQ(CutToCharacters("abc", 2), "ab");
    EXPECT_EQ(CutToCharacters("abc", 3), "abc");
    EXPECT_EQ(CutToCharacters("转换中文", 2), "转换");
    EXPECT_EQ(CutToCharacters("a\U0001F3A5b", 2), "a\U0001F3A5");
    EXPECT_EQ(CutToCharacters("", 0), "");
}

}  // namespace

namespace {

// The file that ships with the program: every key the window asks for, in each language.
TEST(ShippedLanguageFile, HoldsEveryKeyInEachLanguageAndASpareSection) {
    const fs::path file = tvtest::source_dir() / "data" / "Language.ini";
    ASSERT_TRUE(fs::exists(file));
    const char* const keys[] = {"STSource",
                                "STConversionAVI",
                                "BtConversion",
                                "BtLanguage",
                                "MessageAVIsucceed",
                                "MenuChina",
                                "MenuEnglish",
                                "MenuChinaT",
                                "MessageAVIPartial",
                                "MessageSourceFailed",
                                "MessageOutputFailed",
                                "MessageWriteFailed",
                                "MessageNoFrames",
                                "MessageStopped",
                                "MessageFailed",
                                "MessageOutputIsSource",
                                "MessageNotPutInPlace",
                                "MessageStopQuestion",
                                "MessageReplaceQuestion",
                                "BtStop",
                                "BtClearList",
                                "StProgress",
                                "StFileTypes",
                                "StRecordingTypes",
                                "StAllFiles",
                                "StColumnRecording",
                                "StColumnOutput",
                                "StColumnOutcome",
                                "StQueueWaiting",
                                "StQueueRunning",
                                "StQueueConverted",
                                "StQueuePartial",
                                "StQueueFailed",
                                "StQueueStopped",
                                "StQueueExists",
                                "StQueueSummary",
                                "MessageOpenFolder"};
    for (const int32_t language : {0, 1, 3}) {
        for (const char* key : keys) {
            EXPECT_NE(GetLanguageText(file, language, key), "") << "Lang" << language << " " << key;
        }
        // The numbers go where the message says they go.
        const std::string partial = GetLanguageText(file, language, "MessageAVIPartial");
        EXPECT_NE(partial.find("{skipped}"), std::string::npos) << language;
        EXPECT_NE(partial.find("{total}"), std::string::npos) << language;
        EXPECT_NE(GetLanguageText(file, language, "MessageWriteFailed").find("{written}"),
                  std::string::npos);
        // The type list keeps the order AVI, Matroska, MP4 that Format counts in.
        const std::string types = GetLanguageText(file, language, "StFileTypes");
        EXPECT_LT(types.find("|*.avi"), types.find("|*.mkv")) << types;
        EXPECT_LT(types.find("|*.mkv"), types.find("|*.mp4")) << types;
    }
    // Every text of the window's own has built-in English behind it (the outcome messages
    // keep theirs in the job's table).
    for (const char* key : keys) {
        EXPECT_TRUE(tv::gui::EnglishText(key) != nullptr ||
                    std::string_view(key).starts_with("Message"))
            << key;
    }
    EXPECT_NE(tv::gui::EnglishText("MessageOpenFolder"), nullptr);
    EXPECT_EQ(GetLanguageText(file, 1, "MessageAVIsucceed"), "The AVI file has been created.");
    EXPECT_EQ(GetLanguageText(file, 0, "BtConversion"), "开始转换");
    EXPECT_EQ(GetLanguageText(file, 3, "BtConversion"), "開始轉換");
    // The spare language holds nothing yet.
    for (const char* key : keys) EXPECT_EQ(GetLanguageText(file, 2, key), "") << key;
    const auto bytes = tvtest::read_file(file);
    EXPECT_NE(std::string(bytes.begin(), bytes.end()).find("\n[Lang2]\n"), std::string::npos);
}

}  // namespace
