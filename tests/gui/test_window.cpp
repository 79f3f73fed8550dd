// The real window under Xvfb, driven through real mouse clicks and key presses (see
// window_driver.cpp): the file dialogs, conversions to each type and their messages, Stop and
// the numbers under the bar, the queue, the language popup and its fallbacks, the About box,
// and what happens to a running job when the window closes.
#include <gtest/gtest.h>

#include <unistd.h>

#include <initializer_list>
#include <regex>
#include <sstream>
#include <string>

#include "app/gui/language.h"
#include "support/test_support.h"

namespace fs = std::filesystem;
using tvtest::read_text;
using tvtest::shell_quote;
using tvtest::write_text;

namespace {

// The first bytes of a file, as text.
std::string Head(const fs::path& path, size_t count) {
    return read_text(path).substr(0, count);
}

// One automation command a line.
std::string Lines(std::initializer_list<std::string> lines) {
    std::string script;
    for (const std::string& line : lines) {
        script += line;
        if (!line.empty() && line.back() != '\n') script += '\n';
    }
    return script;
}

int CountLines(const std::string& text, const std::string& prefix) {
    std::istringstream in(text);
    int count = 0;
    for (std::string line; std::getline(in, line);) count += line.rfind(prefix, 0) == 0;
    return count;
}

bool HasLine(const std::string& text, const std::string& line) {
    return CountLines(text, line) > 0;
}

class Window : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(tvtest::have_program("xvfb-run")) << "xvfb-run is missing";
        // The test build of the window: the program's code with the driver as its observer.
        const fs::path program = TORVANE_TEST_WINDOW;
        ASSERT_TRUE(fs::exists(program)) << program;

        dir_ = tvtest::test_dir();
        // A copy of the program in a folder of its own keeps its settings file there; under
        // the program's name, which titles its message boxes.
        app_ = dir_ / "app";
        for (const fs::path& folder : {app_, dir_ / "recordings", dir_ / "home"}) {
            fs::create_directories(folder);
        }
        // The window sees the recordings under a short neutral path, which is what the
        // screenshots in docs/ show, rather than the build folder's.
        rec_ = fs::temp_directory_path() / ("recordings-" + std::to_string(getpid()));
        fs::remove(rec_);
        fs::create_directory_symlink(dir_ / "recordings", rec_);
        fs::copy_file(program, app_ / "torvane");
        fs::copy_file(tvtest::source_dir() / "data" / "Language.ini", app_ / "Language.ini");
        // A portable copy: its settings stay in its folder.
        write_text(app_ / "portable", "");
    }

    void TearDown() override {
        std::error_code ec;
        fs::remove(rec_, ec);
    }

    struct Run {
        int status = -1;
        std::string log;     // commands and the window's notes
        std::string output;  // what the program and xvfb-run printed
    };

    Run RunWindow(const std::string& script, const std::string& environment = "",
                  const std::string& arguments = "") {
        write_text(dir_ / "script.txt", script);
        const fs::path log = dir_ / "automation.log";
        const fs::path home = dir_ / "home";
        std::string command = "cd " + shell_quote(dir_.string());
        command += " && timeout 240 xvfb-run -a -s '-screen 0 1280x800x24' env";
        command += " HOME=" + shell_quote(home.string());
        command += " XDG_CONFIG_HOME=" + shell_quote((home / ".config").string());
        command += " XDG_DATA_HOME=" + shell_quote((home / ".local/share").string());
        command += " XDG_CACHE_HOME=" + shell_quote((home / ".cache").string());
        command += " GSETTINGS_BACKEND=memory NO_AT_BRIDGE=1 LANG=C.UTF-8 LC_ALL=C.UTF-8";
        // The copy finds the core library where the build put it.
        command += " LD_LIBRARY_PATH=" + shell_quote(tvtest::lib_dir().string());
        command += " TORVANE_AUTOMATION=" + shell_quote((dir_ / "script.txt").string());
        command += " TORVANE_AUTOMATION_LOG=" + shell_quote(log.string());
        command +=
            " TORVANE_AUTOMATION_TIMEOUT_SHOT=" + shell_quote((dir_ / "timeout.png").string());
        command += " " + environment + " " + shell_quote((app_ / "torvane").string());
        command += " " + arguments;

        Run run;
        // xvfb-run -a may lose a race for a display number with a parallel test: try again.
        for (int attempt = 0; attempt < 3; ++attempt) {
            fs::remove(log);
            const tvtest::CommandResult result = tvtest::run_command(command);
            run.status = result.status;
            run.output = result.out + result.err;
            run.log = fs::exists(log) ? read_text(log) : "";
            if (run.output.find("Xvfb failed to start") == std::string::npos) break;
        }
        return run;
    }

    // Chooses the recording through the open dialog: Ctrl+L, the path, Enter.
    // A name typed into a file dialog, then Return. The dialog may complete the name from its
    // folder ("result" to "result.avi", selected) once it has a moment: Delete takes that back,
    // with Return at once after it.
    static std::string TypeName(const std::string& name) {
        return Lines({"type " + name, "sleep 300", "key delete return"});
    }

    static std::string ChooseSource(const fs::path& path) {
        return Lines({"click 1002", "wait-note dialog open-source", "wait-dialog", "sleep 700",
                      "key ctrl+l", "sleep 300", TypeName(path.string()),
                      "wait-value 1000 " + path.string(), "wait-active"});
    }

    // Opens the save dialog; `typed` replaces the proposed name unless it is empty.
    static std::string OpenSaveDialog(const std::string& typed) {
        return Lines({"click 1003", "wait-note dialog save-output", "wait-dialog", "sleep 700",
                      typed.empty() ? "key return" : Lines({"key ctrl+a", TypeName(typed)})});
    }

    static std::string ChooseOutput(const std::string& typed, const fs::path& expected) {
        return Lines(
            {OpenSaveDialog(typed), "wait-value 1001 " + expected.string(), "wait-active"});
    }

    // Answers the message box or question that the window announced with `note`, after the
    // screenshot command if one is given.
    static std::string Answer(const std::string& note, const std::string& key,
                              const std::string& screenshot = "") {
        return Lines({"wait-note " + note, "wait-dialog", "sleep 300", screenshot, "key " + key});
    }

    // Picks a language from the popup with `presses` of the arrow `key`; `number` is the one
    // the window then notes.
    static std::string ChooseLanguage(const std::string& key, int presses, int number) {
        std::string moves;
        for (int i = 0; i < presses; ++i) moves += "key " + key + "\n";
        return Lines({"click 1008", "wait-note menu language", "sleep 300", moves, "key return",
                      "wait-note language " + std::to_string(number)});
    }

    std::string Lang0(const char* key) const {
        return tv::gui::GetLanguageText(app_ / "Language.ini", 0, key);
    }

    static void CheckScreenshot(const fs::path& picture, const std::string& docsName) {
        ASSERT_TRUE(fs::exists(picture));
        const auto bytes = tvtest::read_file(picture);
        ASSERT_GT(bytes.size(), 8u);
        EXPECT_EQ(std::string(bytes.begin() + 1, bytes.begin() + 4), "PNG");
        // TORVANE_UPDATE_DOCS=1 refreshes the pictures that the README shows.
        if (const char* update = std::getenv("TORVANE_UPDATE_DOCS"); update && *update == '1') {
            fs::copy_file(picture, tvtest::source_dir() / "docs" / docsName,
                          fs::copy_options::overwrite_existing);
        }
    }

    const fs::path kSample = tvtest::source_dir() / "data" / "samples" / "sample.ifv";
    fs::path dir_;
    fs::path app_;
    fs::path rec_;
};

// The driver and its direct use of the X server stay out of the shipped program.
TEST(ShippedWindow, CarriesNoTestDriver) {
    const std::string program = read_text(TORVANE_WINDOW);
    ASSERT_FALSE(program.empty());
    EXPECT_EQ(program.find("TORVANE_AUTOMATION"), std::string::npos);
    const auto needed = tvtest::run_command("readelf -d " + shell_quote(TORVANE_WINDOW));
    ASSERT_EQ(needed.status, 0) << needed.err;
    EXPECT_NE(needed.out.find("libwx_"), std::string::npos) << needed.out;
    EXPECT_EQ(needed.out.find("[libX11."), std::string::npos) << needed.out;
}

TEST_F(Window, ConvertsTheSampleToEachTypeThroughTheRealDialogs) {
    ASSERT_TRUE(fs::exists(kSample)) << kSample;
    fs::copy_file(kSample, rec_ / "sample.ifv");
    const fs::path avi = rec_ / "sample.avi";
    const fs::path mkv = rec_ / "sample.mkv";
    const fs::path mp4 = rec_ / "sample.mp4";
    const auto convert = [](const std::string& answer) {
        return Lines({"click 1004", Answer("message", answer), "wait-active"});
    };

    const Run run = RunWindow(Lines({
        "wait-active",
        // Choosing the recording proposes the output beside it, as AVI.
        ChooseSource(rec_ / "sample.ifv"),
        "wait-value 1001 " + avi.string(),
        // The save dialog proposes the same.
        ChooseOutput("", avi),
        "screenshot " + (dir_ / "zh.png").string(),
        // "Yes": show the folder of the output.
        convert("alt+y"),
        // To English; the paths stay.
        ChooseLanguage("down", 2, 1),
        "wait-value 1004 Start conversion",
        "wait-value 1001 " + avi.string(),
        "sleep 300",
        "screenshot " + (dir_ / "en.png").string(),
        // Matroska and MP4, by the name's extension.
        ChooseOutput(mkv.string(), mkv),
        convert("return"),
        ChooseOutput(mp4.string(), mp4),
        convert("return"),
        // To Traditional Chinese.
        ChooseLanguage("up", 1, 3),
        "sleep 300",
        "screenshot " + (dir_ / "zh-tw.png").string(),
        // A dropped recording gets the type chosen last.
        "drop " + (rec_ / "sample.ifv").string(),
        "wait-value 1001 " + mp4.string(),
        "key escape",
    }));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    EXPECT_TRUE(HasLine(run.log, "note message MessageAVIsucceed " + Lang0("MessageAVIsucceed")))
        << run.log;
    // The end message names the output; "Yes" opened its folder.
    EXPECT_NE(run.log.find(avi.string() + "\n\n" + Lang0("MessageOpenFolder")), std::string::npos)
        << run.log;
    EXPECT_TRUE(HasLine(run.log, "note open-folder " + rec_.string())) << run.log;
    EXPECT_EQ(CountLines(run.log, "note open-folder"), 1) << run.log;
    // The type list offers the three types.
    EXPECT_TRUE(HasLine(run.log, "note dialog save-output " + Lang0("StFileTypes"))) << run.log;
    // The spare language has no texts in the shipped file: its item stays out of the popup.
    EXPECT_EQ(run.log.find("32773"), std::string::npos) << run.log;

    // Each file is what its extension says.
    EXPECT_EQ(Head(avi, 4), "RIFF");
    EXPECT_EQ(Head(avi, 12).substr(8), "AVI ");
    EXPECT_EQ(Head(mkv, 4), "\x1A\x45\xDF\xA3");
    EXPECT_EQ(Head(mp4, 8).substr(4), "ftyp");
    const std::string text = read_text(avi);
    for (const char* chunk : {"hdrl", "strl", "vids", "H264", "movi", "idx1"}) {
        EXPECT_NE(text.find(chunk), std::string::npos) << chunk;
    }
    if (tvtest::have_program("ffprobe")) {
        for (const fs::path& file : {avi, mkv, mp4}) {
            const auto probe = tvtest::run_command(
                "ffprobe -v error -show_entries stream=codec_type,codec_name -of csv=p=0 " +
                shell_quote(file.string()));
            EXPECT_EQ(probe.status, 0) << probe.err;
            EXPECT_NE(probe.out.find("h264,video"), std::string::npos) << file << probe.out;
        }
    }

    // The language, the type and the folder chosen are kept once the window has closed.
    const std::string settings = read_text(app_ / "Collocate.dat");
    EXPECT_NE(settings.find("Language=\"3\""), std::string::npos) << settings;
    EXPECT_NE(settings.find("Format=\"2\""), std::string::npos) << settings;
    EXPECT_NE(settings.find("BrowsePath=\"" + rec_.string() + "\""), std::string::npos) << settings;
    CheckScreenshot(dir_ / "zh.png", "screenshot-zh.png");
    CheckScreenshot(dir_ / "en.png", "screenshot-en.png");
    CheckScreenshot(dir_ / "zh-tw.png", "screenshot-zh-tw.png");
}

TEST_F(Window, StopEndsTheJobAndTheNumbersMove) {
    fs::copy_file(kSample, rec_ / "clip.ifv");
    const std::string script = Lines({
        "wait-active",
        "slow-job 40",
        "wait-value 1000 " + (rec_ / "clip.ifv").string(),
        "wait-value 1001 " + (rec_ / "clip.avi").string(),
        "click 1000",
        "key return",
        "wait-note job start",
        "wait-value 1004 " + Lang0("BtStop"),
        "wait-match 1009 ^[1-9][0-9]?% +[0-9]+ / 249 ",
        "wait-match 1009 ^[3-9][0-9]% ",
        "click 1004",
        Answer("message", "return", "screenshot " + (dir_ / "stopped.png").string()),
        "wait-active",
        "wait-value 1004 " + Lang0("BtConversion"),
        "key escape",
    });
    // The recording named on the command line, as a file manager's "Open with" does.
    const Run run = RunWindow(script, "", shell_quote((rec_ / "clip.ifv").string()));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    EXPECT_EQ(CountLines(run.log, "note job stop"), 1) << run.log;
    EXPECT_TRUE(HasLine(run.log, "note message MessageStopped")) << run.log;
    // The stopped file keeps the frames written, under the .part name the message gives.
    const fs::path part = rec_ / "clip.avi.part";
    EXPECT_NE(run.log.find(part.string()), std::string::npos) << run.log;
    EXPECT_FALSE(fs::exists(rec_ / "clip.avi"));
    EXPECT_EQ(Head(part, 4), "RIFF");
    if (tvtest::have_program("ffmpeg")) {
        const auto decode =
            tvtest::run_command("ffmpeg -v error -i " + shell_quote(part.string()) + " -f null -");
        EXPECT_EQ(decode.status, 0) << decode.err;
        EXPECT_EQ(decode.err, "");
    }
    CheckScreenshot(dir_ / "stopped.png", "screenshot-stopped.png");
}

TEST_F(Window, AQueueConvertsEachRecordingAndShowsItsOutcome) {
    // Four recordings below a folder, one in a folder of its own, one upper-case.
    fs::create_directories(rec_ / "cam2");
    fs::copy_file(kSample, rec_ / "cam1.ifv");
    fs::copy_file(kSample, rec_ / "cam2" / "CAM2.IFV");
    fs::copy_file(kSample, rec_ / "cam3.ifv");
    fs::copy_file(kSample, rec_ / "cam4.ifv");
    fs::create_directories(rec_ / "converted");
    write_text(rec_ / "converted" / "cam4.avi", "an older file");
    write_text(rec_ / "notes.txt", "not a recording");
    const Run run = RunWindow(Lines({
        "wait-active",
        // A folder stands for the recordings below it.
        "drop " + rec_.string(),
        "wait-note queue 4",
        // The outputs all go to one folder, typed in the output field.
        "click 1001",
        "type " + (rec_ / "converted").string(),
        "sleep 300",
        "resize 800",
        "click 1004",
        Answer("message", "return"),
        "wait-active",
        "sleep 300",
        "screenshot " + (dir_ / "queue.png").string(),
        "click 1011",
        "wait-note queue cleared",
        "wait-value 1000 ",
        "log stop",
        // Stop ends the running row and the queue; the rows after it wait.
        "slow-job 40",
        "drop " + (rec_ / "cam1.ifv").string() + " " + (rec_ / "cam3.ifv").string(),
        "click 1004",
        "wait-note row 0 StQueueRunning",
        "sleep 1000",
        "click 1004",
        Answer("message StQueueSummary", "return"),
        "wait-active",
        // One recording again: the simple window.
        "drop " + (rec_ / "cam1.ifv").string(),
        "wait-value 1001 " + (rec_ / "cam1.avi").string(),
        "key escape",
    }));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    const std::string stopped = run.log.substr(run.log.find("> log stop"));
    EXPECT_TRUE(HasLine(stopped, "note row 0 StQueueStopped")) << stopped;
    EXPECT_FALSE(HasLine(stopped, "note row 1 StQueueRunning")) << stopped;
    EXPECT_EQ(Head(rec_ / "cam1.avi.part", 4), "RIFF");
    EXPECT_FALSE(fs::exists(rec_ / "cam3.avi"));
    // Each row: waiting, converting, converted; a fourth's output exists and is left alone.
    EXPECT_EQ(CountLines(run.log.substr(0, run.log.find("> log stop")), "note row "), 11)
        << run.log;
    for (const char* row : {"note row 0 StQueueConverted", "note row 1 StQueueConverted",
                            "note row 2 StQueueConverted", "note row 3 StQueueExists"}) {
        EXPECT_TRUE(HasLine(run.log, row)) << row << run.log;
    }
    EXPECT_EQ(read_text(rec_ / "converted" / "cam4.avi"), "an older file");
    std::string summary =
        std::regex_replace(Lang0("StQueueSummary"), std::regex("\\{converted\\}"), "3");
    summary = std::regex_replace(summary, std::regex("\\{total\\}"), "4");
    EXPECT_TRUE(HasLine(run.log, "note message StQueueSummary " + summary)) << run.log;
    for (const char* name : {"cam1.avi", "CAM2.avi", "cam3.avi"}) {
        const fs::path avi = rec_ / "converted" / name;
        EXPECT_EQ(Head(avi, 4), "RIFF") << avi;
    }
    // The window took the width it was given (a PNG's width: bytes 16..19, big-endian).
    const auto png = tvtest::read_file(dir_ / "queue.png");
    ASSERT_GT(png.size(), 20u);
    EXPECT_EQ(png[16] << 24 | png[17] << 16 | png[18] << 8 | png[19], 800);
    CheckScreenshot(dir_ / "queue.png", "screenshot-queue.png");
}

TEST_F(Window, TellsWhyAConversionFailed) {
    write_text(rec_ / "broken.ifv", "not a recording at all");
    write_text(rec_ / "result.avi", "an older file");
    const Run run = RunWindow(Lines({
        "wait-active",
        ChooseSource(rec_ / "broken.ifv"),
        // The output proposed beside it; emptied, Start does nothing.
        "wait-value 1001 " + (rec_ / "broken.avi").string(),
        "click 1001",
        "key ctrl+a",
        "key backspace",
        "wait-value 1001 ",
        "click 1004",
        "sleep 700",
        // A name typed without extension gets .avi, and replacing that file is asked about.
        OpenSaveDialog((rec_ / "result").string()),
        Answer("question replace", "alt+y"),
        "wait-value 1001 " + (rec_ / "result.avi").string(),
        "wait-active",
        "click 1004",
        Answer("message", "return", "screenshot-screen " + (dir_ / "failure.png").string()),
        "wait-active",
        "key escape",
    }));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    EXPECT_EQ(CountLines(run.log, "note job start"), 1) << run.log;
    const std::string expected = Lang0("MessageSourceFailed");
    ASSERT_FALSE(expected.empty());
    EXPECT_TRUE(HasLine(run.log, "note message MessageSourceFailed " + expected)) << run.log;
    // A recording that cannot be opened leaves an existing output alone.
    EXPECT_EQ(read_text(rec_ / "result.avi"), "an older file");
    // No language switch: the default language was saved.
    EXPECT_NE(read_text(app_ / "Collocate.dat").find("Language=\"0\""), std::string::npos);
}

TEST_F(Window, UpperCaseNamesAreListedAndEnterStartsWithoutALanguageFile) {
    // No language file at all: every control keeps a text, the built-in English.
    fs::remove(app_ / "Language.ini");
    fs::copy_file(kSample, rec_ / "CAM01.IFV");
    write_text(rec_ / "notes.txt", "not a recording");
    write_text(rec_ / "CAM01.avi", "an older file");
    // The open dialog starts in the folder used last.
    write_text(app_ / "Collocate.dat", "<XML><CollocateXML><Collocate BrowsePath=\"" +
                                           rec_.string() + "\"/></CollocateXML></XML>");
    const Run run = RunWindow(Lines({
        "wait-active",
        "wait-value 1006 Original ifv file:",
        "wait-value 1007 AVI file after conversion:",
        "wait-value 1008 Language",
        // The recording is the only file listed: choose it from the list.
        "click 1002",
        "wait-note dialog open-source",
        "wait-dialog",
        "sleep 1000",
        "key down",
        "sleep 300",
        "key return",
        "wait-value 1000 " + (rec_ / "CAM01.IFV").string(),
        "wait-active",
        // Enter in a path field starts the conversion; the output proposed beside the
        // recording exists, so replacing it is asked about first: "No" (the default) keeps
        // it, "Yes" converts.
        "wait-value 1001 " + (rec_ / "CAM01.avi").string(),
        "click 1000",
        "key return",
        Answer("question replace", "return"),
        "wait-active",
        "sleep 300",
        "key return",
        Answer("question replace", "alt+y"),
        Answer("message", "return"),
        "wait-active",
        "wait-value 1004 Start conversion",
        "key escape",
    }));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    EXPECT_TRUE(HasLine(run.log, "note message MessageAVIsucceed The AVI file has been created."))
        << run.log;
    EXPECT_EQ(CountLines(run.log, "note question replace"), 2) << run.log;
    EXPECT_EQ(CountLines(run.log, "note job start"), 1) << run.log;
    EXPECT_EQ(Head(rec_ / "CAM01.avi", 4), "RIFF");
}

TEST_F(Window, BrowsingWaitsForTheJobAndClosingStopsItAndWaitsForIt) {
    fs::copy_file(kSample, rec_ / "clip.ifv");
    write_text(rec_ / "notes.txt", "not a recording");

    const Run run = RunWindow(Lines({
        "wait-active",
        "slow-job 60",
        // Dropped files: only a recording is taken.
        "drop " + (rec_ / "notes.txt").string(),
        "drop " + (rec_ / "clip.ifv").string(),
        "wait-value 1000 " + (rec_ / "clip.ifv").string(),
        ChooseOutput("", rec_ / "clip.avi"),
        "click 1004",
        "wait-note job start",
        "sleep 700",
        // The browse buttons and a drop wait for the job's end.
        "click 1002",
        "drop " + (rec_ / "clip.ifv").string(),
        "sleep 300",
        // Escape asks; "No" (the default) keeps the job and the window.
        "key escape",
        Answer("question stop", "return"),
        "wait-active",
        "sleep 500",
        // The close box asks too; "Yes" stops the job, waits for it and closes.
        "close",
        Answer("question stop", "alt+y"),
        "sleep 60000",
    }));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    EXPECT_EQ(CountLines(run.log, "dropped refused"), 2) << run.log;
    EXPECT_EQ(CountLines(run.log, "dropped taken"), 1) << run.log;
    EXPECT_EQ(CountLines(run.log, "note dialog open-source"), 0) << run.log;
    EXPECT_EQ(CountLines(run.log, "note job start"), 1) << run.log;
    EXPECT_EQ(CountLines(run.log, "note question stop"), 2) << run.log;
    // The window ended during the last command, not through a timeout.
    EXPECT_EQ(CountLines(run.log, "timeout"), 0) << run.log;
    // The job finished its file, kept as .part, before the window went away.
    EXPECT_FALSE(fs::exists(rec_ / "clip.avi"));
    EXPECT_EQ(Head(rec_ / "clip.avi.part", 4), "RIFF");
    EXPECT_TRUE(fs::exists(app_ / "Collocate.dat"));
}

TEST_F(Window, LanguagePopupAboutBoxAndContextMenu) {
    // A language number outside 0..3 from an edited settings file.
    write_text(
        app_ / "Collocate.dat",
        "<XML><CollocateXML><Collocate Language=\"7\" StartTime=\"-5\"/></CollocateXML></XML>");
    // A spare language that translates one text.
    std::string languages = read_text(app_ / "Language.ini");
    const size_t spare = languages.find("[Lang2]\n");
    ASSERT_NE(spare, std::string::npos);
    languages.insert(spare + 8, "MenuSpare=Deutsch\nBtConversion=Konvertierung starten\n");
    write_text(app_ / "Language.ini", languages);
    const Run run = RunWindow(Lines({
        "wait-active",
        // Language 7 has no section: English, not blank controls.
        "wait-value 1004 Start conversion",
        "wait-value 1006 Original ifv file:",
        "key f1",
        Answer("dialog about", "escape"),
        "wait-active",
        // The context menu's only item.
        "rclick 1006",
        "sleep 500",
        "key down",
        "key return",
        Answer("dialog about", "return"),
        "wait-active",
        // Language 7: the resource's texts, nothing marked. Then English.
        ChooseLanguage("down", 2, 1),
        "wait-active",
        // The last item: the spare language, which has one text of its own.
        ChooseLanguage("up", 1, 2),
        "wait-value 1004 Konvertierung starten",
        "wait-value 1006 Original ifv file:",
        "wait-value 1008 Language",
        "wait-active",
        "click 1008",
        "wait-note menu language",
        "sleep 300",
        "key escape",
        "wait-active",
        "key escape",
    }));
    ASSERT_EQ(run.status, 0) << run.log << run.output;
    EXPECT_EQ(CountLines(run.log, "note dialog about"), 2) << run.log;
    EXPECT_TRUE(HasLine(
        run.log, "note menu language 32771-简体中文 32772-English 32774-繁体中文 32773-Deutsch"))
        << run.log;
    EXPECT_TRUE(HasLine(
        run.log, "note menu language 32771-简体中文 32772+English 32774-繁體中文 32773-Deutsch"))
        << run.log;
    // In the spare language the items it does not translate keep their names; none is marked.
    EXPECT_TRUE(HasLine(
        run.log, "note menu language 32771-简体中文 32772-English 32774-繁體中文 32773-Deutsch"))
        << run.log;

    const std::string settings = read_text(app_ / "Collocate.dat");
    EXPECT_NE(settings.find("Language=\"2\""), std::string::npos) << settings;
    EXPECT_NE(settings.find("StartTime=\"-5\""), std::string::npos) << settings;
}

}  // namespace
