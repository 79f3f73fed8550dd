// Drives the test build of the window the way a person would: real mouse clicks and key
// presses through the X server, into the real dialogs. It takes the place of the program's
// empty window observer (app/gui/window_events.h) and runs the script that the environment
// names (TORVANE_AUTOMATION); test_window.cpp writes the scripts.
//
// Script: one command a line, run in order; '#' starts a comment.
//   click <control id>          move the pointer to the control and click it
//   rclick <control id>         the same with the right button
//   key <name>...               return, escape, tab, space, up, down, f1, ctrl+l, ctrl+a,
//                               alt+y, alt+n, backspace, delete; several at once
//   close                       closes the main window as its close box does
//   drop <path> [<path>...]     hands the paths to the window's drop target, as a drop does
//   slow-job <ms>               the jobs started from now on take this long for each frame
//   type <text>                 types the text
//   sleep <ms>
//   wait-note <prefix>          waits until the window has noted a line with this prefix
//   wait-active                 waits until the main window has the focus (giving it back
//                               after a dialog, as a window manager would)
//   wait-dialog                 waits until another window (a dialog) is on top; focuses it
//   wait-value <id> <text>      waits until the control shows the text
//   wait-match <id> <regex>     waits until what the control shows matches the regex
//   resize <width>              gives the main window this client width
//   screenshot <file.png>       saves a picture of the main window
//   screenshot-screen <file>    saves a picture of the whole screen
//   log <text>                  writes the text to the log
// Each executed command and each of the window's events goes to the log
// (TORVANE_AUTOMATION_LOG) as a note: "dialog about", "message <key> <text>",
// "menu language <id><+ marked|- unmarked><text>...", "language <number>",
// "open-folder <folder>" (the folder is not really opened). A command that
// waits longer than 60 s ends the program with status 3, after a picture of the screen to
// TORVANE_AUTOMATION_TIMEOUT_SHOT when that is set.
#include "app/gui/window_events.h"

#include <unistd.h>

#include <wx/button.h>
#include <wx/dnd.h>
#include <wx/image.h>
#include <wx/menu.h>
#include <wx/textctrl.h>
#include <wx/timer.h>
#include <wx/toplevel.h>
#include <wx/uiaction.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <fstream>
#include <memory>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "app/gui/platform.h"
#include "x11_windows.h"

namespace tv::gui::window_events {

namespace {

namespace x11 = tvtest::x11;

using Clock = std::chrono::steady_clock;

std::atomic<int> g_frameDelayMs{0};

class Runner : public wxTimer {
  public:
    Runner(wxTopLevelWindow* main, std::vector<std::string> script, const std::string& logPath)
        : m_main(main), m_script(std::move(script)), m_log(logPath, std::ios::app) {}

    void Record(const std::string& line) { m_log << line << std::endl; }

    void AddNote(const std::string& note) {
        Record("note " + note);
        m_notes.push_back(note);
    }

    void Notify() override {
        if (m_next >= m_script.size()) {
            Stop();
            return;
        }
        if (!m_stepStarted) {
            m_stepStarted = true;
            m_stepStart = Clock::now();
            Record("> " + m_script[m_next]);
        }
        if (Step(m_script[m_next])) {
            ++m_next;
            m_stepStarted = false;
        } else if (Clock::now() - m_stepStart > std::chrono::seconds(60)) {
            // What the screen showed, to tell what held the step up.
            const char* shot = std::getenv("TORVANE_AUTOMATION_TIMEOUT_SHOT");
            if (shot != nullptr) Screenshot(wxRect(wxPoint(0, 0), wxGetDisplaySize()), shot);
            Record("timeout: " + m_script[m_next]);
            m_log.flush();
            _exit(3);
        }
    }

  private:
    // Runs one command; false while it still waits.
    bool Step(const std::string& line) {
        std::istringstream in(line);
        std::string command;
        in >> command;
        std::string rest;
        std::getline(in >> std::ws, rest);

        if (command == "click" || command == "rclick") {
            wxWindow* control = wxWindow::FindWindowById(std::atoi(rest.c_str()), m_main);
            if (control == nullptr || !control->IsShownOnScreen()) return false;
            wxUIActionSimulator input;
            input.MouseMove(control->GetScreenRect().GetPosition() +
                            control->GetScreenRect().GetSize() / 2);
            input.MouseClick(command == "click" ? wxMOUSE_BTN_LEFT : wxMOUSE_BTN_RIGHT);
            return true;
        }
        if (command == "close") {
            // As the close box does; from the event loop, so that a question it asks does
            // not block this script.
            wxTopLevelWindow* main = m_main;
            main->CallAfter([main] { main->Close(); });
            return true;
        }
        if (command == "drop") {
            // What a file dropped on the window hands over (the drag itself is the desktop's).
            auto* target = dynamic_cast<wxFileDropTarget*>(m_main->GetDropTarget());
            wxArrayString files;
            std::istringstream paths(rest);
            for (std::string path; paths >> path;) files.Add(wxString::FromUTF8(path));
            Record(std::string("dropped ") +
                   (target != nullptr && target->OnDropFiles(0, 0, files) ? "taken" : "refused"));
            return true;
        }
        if (command == "key") {
            // Several keys go at once, so that nothing the toolkit does when idle comes between.
            std::istringstream names(rest);
            for (std::string name; names >> name;) Key(name);
            return true;
        }
        if (command == "slow-job") {
            g_frameDelayMs.store(std::atoi(rest.c_str()));
            return true;
        }
        if (command == "resize") {
            m_main->SetClientSize(std::atoi(rest.c_str()), m_main->GetClientSize().GetHeight());
            return true;
        }
        if (command == "type") {
            wxUIActionSimulator().Text(rest.c_str());
            return true;
        }
        if (command == "sleep") {
            return Clock::now() - m_stepStart >= std::chrono::milliseconds(std::atoi(rest.c_str()));
        }
        if (command == "wait-note") {
            for (auto it = m_notes.begin(); it != m_notes.end(); ++it) {
                if (it->rfind(rest, 0) == 0) {
                    m_notes.erase(m_notes.begin(), it + 1);
                    return true;
                }
            }
            return false;
        }
        if (command == "wait-active") {
            if (m_main->IsActive() && m_mainWindow == 0) m_mainWindow = x11::TopWindow();
            if (m_main->IsActive() && x11::HasFocus(m_mainWindow)) return true;
            // Without a window manager nobody hands the focus back after a dialog closed.
            if (m_mainWindow != 0 && Clock::now() - m_stepStart > std::chrono::milliseconds(500)) {
                x11::FocusWindow(m_mainWindow);
            }
            return false;
        }
        if (command == "wait-dialog") {
            const uint64_t top = x11::TopWindow();
            if (top == 0 || top == m_mainWindow) return false;
            x11::FocusWindow(top);
            return true;
        }
        if (command == "wait-value" || command == "wait-match") {
            std::istringstream fields(rest);
            int id = 0;
            fields >> id;
            std::string expected;
            std::getline(fields >> std::ws, expected);
            wxWindow* control = wxWindow::FindWindowById(id, m_main);
            if (control == nullptr) return false;
            wxString shown = control->GetLabel();
            if (auto* text = wxDynamicCast(control, wxTextCtrl)) shown = text->GetValue();
            if (command == "wait-value") return shown.utf8_string() == expected;
            return std::regex_search(shown.utf8_string(), std::regex(expected));
        }
        if (command == "screenshot") {
            m_main->Update();
            Screenshot(m_main->GetScreenRect(), rest);
            return true;
        }
        if (command == "screenshot-screen") {
            Screenshot(wxRect(wxPoint(0, 0), wxGetDisplaySize()), rest);
            return true;
        }
        if (command == "log") return true;
        Record("unknown command: " + line);
        return true;
    }

    bool Key(const std::string& name) {
        static const struct {
            const char* name;
            int code;
            int modifiers;
        } kKeys[] = {{"return", WXK_RETURN, wxMOD_NONE}, {"escape", WXK_ESCAPE, wxMOD_NONE},
                     {"tab", WXK_TAB, wxMOD_NONE},       {"space", WXK_SPACE, wxMOD_NONE},
                     {"up", WXK_UP, wxMOD_NONE},         {"down", WXK_DOWN, wxMOD_NONE},
                     {"f1", WXK_F1, wxMOD_NONE},         {"ctrl+l", 'L', wxMOD_CONTROL},
                     {"ctrl+a", 'A', wxMOD_CONTROL},     {"alt+y", 'Y', wxMOD_ALT},
                     {"alt+n", 'N', wxMOD_ALT},          {"backspace", WXK_BACK, wxMOD_NONE},
                     {"delete", WXK_DELETE, wxMOD_NONE}};
        for (const auto& key : kKeys) {
            if (name == key.name) {
                wxUIActionSimulator().Char(key.code, key.modifiers);
                return true;
            }
        }
        Record("unknown key: " + name);
        return true;
    }

    void Screenshot(const wxRect& area, const std::string& path) {
        // Straight from the X server: what a person would see.
        std::vector<uint8_t> rgb =
            x11::CaptureScreen(area.GetX(), area.GetY(), area.GetWidth(), area.GetHeight());
        if (rgb.empty()) {
            Record("screenshot failed: " + path);
            return;
        }
        wxImage picture(area.GetWidth(), area.GetHeight(), rgb.data(), true);
        if (!picture.SaveFile(wxString::FromUTF8(path), wxBITMAP_TYPE_PNG)) {
            Record("screenshot failed: " + path);
        }
    }

    wxTopLevelWindow* m_main;
    std::vector<std::string> m_script;
    std::ofstream m_log;
    std::deque<std::string> m_notes;
    uint64_t m_mainWindow = 0;  // the main window's X window, learnt once it is active
    size_t m_next = 0;
    bool m_stepStarted = false;
    Clock::time_point m_stepStart;
};

std::unique_ptr<Runner> g_runner;

}  // namespace

void MainWindowRunning(wxTopLevelWindow* main) {
    const char* scriptPath = std::getenv("TORVANE_AUTOMATION");
    if (scriptPath == nullptr || scriptPath[0] == '\0') return;
    std::vector<std::string> script;
    std::ifstream in(scriptPath);
    for (std::string line; std::getline(in, line);) {
        const size_t start = line.find_first_not_of(" \t");
        if (start == std::string::npos || line[start] == '#') continue;
        script.push_back(line.substr(start));
    }
    const char* logPath = std::getenv("TORVANE_AUTOMATION_LOG");
    wxImage::AddHandler(new wxPNGHandler);
    g_runner = std::make_unique<Runner>(main, std::move(script),
                                        logPath != nullptr ? logPath : "/dev/stderr");
    g_runner->Start(100);
}

void MainWindowEnded() {
    g_runner.reset();
}

void Note(const char* what) {
    if (g_runner) g_runner->AddNote(what);
}

void LanguageMenu(const wxMenu& menu) {
    std::string state = "menu language";
    for (const wxMenuItem* item : menu.GetMenuItems()) {
        state.append(" ").append(std::to_string(item->GetId()));
        state.append(item->IsChecked() ? "+" : "-");
        state.append(NarrowText(menu.GetLabel(item->GetId()).ToStdWstring()));
    }
    Note(state.c_str());
}

void LanguageChosen(int32_t language) {
    Note(("language " + std::to_string(language)).c_str());
}

void JobEndMessage(const char* key, const std::string& text) {
    Note((std::string("message ") + key + " " + text).c_str());
}

void JobStarting(tv::ConversionOptions& options) {
    const int delay = g_frameDelayMs.load();
    if (delay <= 0) return;
    // Slows the real job down, frame by frame, so that it can be watched and stopped.
    options.on_frame = [delay](const SourceMedia*, const SourceFrame&) {
        std::this_thread::sleep_for(std::chrono::milliseconds(delay));
    };
}

bool OpenFolder(const std::string& folder) {
    Note(("open-folder " + folder).c_str());
    return true;
}

}  // namespace tv::gui::window_events
