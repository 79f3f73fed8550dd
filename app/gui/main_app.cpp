// Start-up: find the program's folder, apply the skin, load the settings and run the main
// window. When the window ends, the program ends.
#include <wx/app.h>

#include <filesystem>
#include <vector>

#include "app/gui/main_dialog.h"
#include "app/gui/platform.h"
#include "app/gui/settings.h"
#include "app/gui/skin.h"
#include "app/gui/window_events.h"
#include "common/platform.h"

class CMainApp : public wxApp {
  public:
    bool OnInit() override;
    // The main window has run and ended in OnInit; there is no message loop of our own.
    int OnRun() override { return 0; }

  private:
    bool InitInstance();
};

wxIMPLEMENT_APP(CMainApp);

bool CMainApp::OnInit() {
    InitInstance();
    return true;  // lets OnRun end the program with status 0
}

bool CMainApp::InitInstance() {
    const std::filesystem::path folder = tv::gui::ExecutableFolder();

    // The skin comes before any window.
    tv::gui::CSkinManager& skin = tv::gui::SkinManager();
    skin.SetApplyOptions(skin.GetApplyOptions() | 1);
    skin.LoadSkin(tv::platform::utf8_of(folder / "Styles" / "Default.dat").c_str(), nullptr);

    // The settings hold the language, so they come before the main window reads its texts.
    tv::gui::g_settingsPath = tv::gui::SettingsFilePath(folder);
    tv::gui::g_defaultSettingsPath =
        tv::gui::DefaultSettingsFilePath(folder, tv::gui::g_settingsPath);
    tv::gui::LoadSettings();

    {
        CMainDialog dialog(nullptr);
        // Recordings named on the command line (a file manager's "Open with") are chosen.
        std::vector<std::filesystem::path> named;
        for (int i = 1; i < argc; ++i)
            named.push_back(tv::platform::path_of(tv::gui::NarrowText(argv[i].ToStdWstring())));
        if (!named.empty()) dialog.SetSources(named);
        SetTopWindow(&dialog);
        tv::gui::window_events::MainWindowRunning(&dialog);
        dialog.ShowModal();
        tv::gui::window_events::MainWindowEnded();
        SetTopWindow(nullptr);
    }  // destroying the window saves the settings
    return false;
}
