#include "app/gui/main_dialog.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/menu.h>
#include <wx/msgdlg.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/utils.h>

#include <algorithm>
#include <system_error>

#include "app/gui/about_dialog.h"
#include "app/gui/dialog_layout.h"
#include "app/gui/job_messages.h"
#include "app/gui/language.h"
#include "app/gui/platform.h"
#include "app/gui/program_icon.h"
#include "app/gui/progress_poller.h"
#include "app/gui/resource.h"
#include "app/gui/settings.h"
#include "app/gui/window_events.h"

using tv::gui::AppSettings;

namespace {

// Text from the language file for display: bytes that are not UTF-8 show as U+FFFD.
wxString FromNarrow(const std::string& text) {
    std::wstring wide = tv::gui::WideText(text);
    for (wchar_t& c : wide) {
        if (c >= 0xDC80 && c <= 0xDCFF) c = 0xFFFD;
    }
    return wxString(wide);
}

std::string ToNarrow(const wxString& text) {
    return tv::gui::NarrowText(text.ToStdWstring());
}

wxString Utf8(const char* text) {
    return wxString::FromUTF8(text);
}

// The language popup (menu resource IDR_LANGUAGE_MENU), items in their order.
struct LanguageItem {
    int command;
    const char* resourceText;
    const char* key;  // translated text; none for the spare item
    int32_t language;
};
constexpr LanguageItem kLanguageItems[] = {
    {ID_LANG_SIMPLIFIED, "简体中文", "MenuChina", 0},
    {ID_LANG_ENGLISH, "English", "MenuEnglish", 1},
    {ID_LANG_TRADITIONAL, "繁体中文", "MenuChinaT", 3},
    {ID_LANG_SPARE, "", nullptr, 2},
};

// GTK menus cannot show an item without any text; one space looks the same.
wxString MenuText(const wxString& text) {
    return text.empty() ? wxString(" ") : text;
}

const char* kAboutItemText = "关于 Torvane(&A)...";

// Runs on the worker thread. The job publishes its own end; should it fail to get that far,
// the window must still learn that it ended.
void RunJob(const std::string& source, const std::string& output, tv::ConversionProgress& progress,
            tv::JobReport& report) {
    try {
        // The save dialog has asked before an existing file is replaced.
        tv::ConversionOptions options;
        options.replace_existing = true;
        report = tv::ConversionJob(source, output, progress, options);
    } catch (...) {
        progress.m_outcome.store(static_cast<int32_t>(tv::JobOutcome::Running));
        progress.m_jobEnded.store(true, std::memory_order_release);
    }
}

// Dropping a recording on the window chooses it as the source.
class SourceDropTarget : public wxFileDropTarget {
  public:
    explicit SourceDropTarget(CMainDialog* dialog) : m_dialog(dialog) {}
    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override {
        // A drop waits, as the browse buttons do, until the running job has ended.
        if (m_dialog->JobRunning()) return false;
        for (const wxString& file : files) {
            if (wxFileName(file).GetExt().Lower() == "ifv") {
                m_dialog->SetSourcePath(file);
                return true;
            }
        }
        return false;
    }

  private:
    CMainDialog* m_dialog;
};

}  // namespace

CMainDialog::CMainDialog(wxWindow* parent) : m_timer(this, PROGRESS_TIMER_ID) {
    m_languageFile = tv::gui::LanguageFilePath(tv::gui::ExecutableFolder());

    // Template IDD_MAIN: caption, system menu, modal frame.
    Create(parent, IDD_MAIN, "Torvane", wxDefaultPosition, wxDefaultSize, wxDEFAULT_DIALOG_STYLE);
    SetIcons(tv::gui::ProgramIcons());
    SetFont(tv::gui::DialogFont());
    CreateControls();

    m_timer.Start(300);
    ApplyLanguage();
    SetDropTarget(new SourceDropTarget(this));
    Centre();
}

CMainDialog::~CMainDialog() {
    m_timer.Stop();
    // Normally the job has been stopped and collected when the window closed; this covers
    // any other way out, so the job never outlives the record it writes.
    if (m_worker.joinable()) {
        m_progressRecord.m_stopRequested.store(true);
        m_worker.join();
    }
    tv::gui::SaveSettings();
}

void CMainDialog::CreateControls() {
    const tv::gui::DialogLayout layout(this);
    // Created in the template's tab order.
    m_sourceField = new wxTextCtrl(this, IDC_SOURCE_PATH, wxEmptyString, wxDefaultPosition,
                                   wxDefaultSize, wxTE_READONLY);
    m_sourceLabel = new wxStaticText(this, IDC_SOURCE_LABEL, Utf8("原始ifv文件："),
                                     wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
    m_outputLabel = new wxStaticText(this, IDC_OUTPUT_LABEL, "AVI file after conversion",
                                     wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
    m_outputField = new wxTextCtrl(this, IDC_OUTPUT_PATH, wxEmptyString, wxDefaultPosition,
                                   wxDefaultSize, wxTE_READONLY);
    m_browseSource = new wxButton(this, IDC_BROWSE_SOURCE, "...", wxDefaultPosition, wxDefaultSize,
                                  wxBU_EXACTFIT);
    m_browseOutput = new wxButton(this, IDC_BROWSE_OUTPUT, "...", wxDefaultPosition, wxDefaultSize,
                                  wxBU_EXACTFIT);
    m_startButton = new wxButton(this, IDC_START, Utf8("开始转换"));
    m_progress = new wxGauge(this, IDC_PROGRESS, 100);
    m_languageButton = new wxButton(this, IDC_LANGUAGE, "Language", wxDefaultPosition,
                                    wxDefaultSize, wxBU_EXACTFIT);

    layout.Place(m_sourceField, 142, 17, 166, 16);
    layout.Place(m_sourceLabel, 7, 19, 126, 16);
    layout.Place(m_outputLabel, 7, 40, 126, 16);
    layout.Place(m_outputField, 141, 39, 167, 16);
    layout.Place(m_browseSource, 319, 14, 24, 18);
    layout.Place(m_browseOutput, 319, 39, 24, 18);
    layout.Place(m_startButton, 277, 91, 63, 23);
    layout.Place(m_progress, 7, 67, 336, 16);
    layout.Place(m_languageButton, 17, 97, 42, 18);
    SetClientSize(layout.Size(361, 127));
}

std::string CMainDialog::LanguageText(const char* key) const {
    return tv::gui::GetLanguageText(m_languageFile, AppSettings.Language, key);
}

std::string CMainDialog::UiText(const char* key) const {
    std::string text = LanguageText(key);
    if (text.empty()) {
        if (const char* english = tv::gui::EnglishText(key)) text = english;
    }
    return text;
}

wxString CMainDialog::GetLanguageText(const char* key) const {
    return FromNarrow(LanguageText(key));
}

void CMainDialog::ApplyLanguage() {
    // A language without a text (the spare one, a number without a section, no file at all)
    // shows the built-in English rather than a blank control.
    m_sourceLabel->SetLabel(FromNarrow(UiText("STSource")));
    m_outputLabel->SetLabel(FromNarrow(UiText("STConversionAVI")));
    m_startButton->SetLabel(FromNarrow(UiText("BtConversion")));
    m_languageButton->SetLabel(FromNarrow(UiText("BtLanguage")));
}

wxString CMainDialog::RecordingWildcard() const {
    // Recorders write to FAT sticks, whose names often come in capitals: any case matches.
    return FromNarrow(UiText("StRecordingTypes")) + "|*.[iI][fF][vV]|" +
           FromNarrow(UiText("StAllFiles")) + "|*";
}

void CMainDialog::ShowJobRunning(bool running) {
    // The paths belong to the job while it runs.
    m_browseSource->Enable(!running);
    m_browseOutput->Enable(!running);
}

void CMainDialog::SetSourcePath(const wxString& path) {
    m_sourcePath = path;
    m_sourceField->ChangeValue(path);
}

void CMainDialog::OnBrowseSource(wxCommandEvent&) {
    // The dialog starts where the last recording was chosen.
    wxFileDialog dialog(this, wxFileSelectorPromptStr, FromNarrow(AppSettings.BrowsePath),
                        wxEmptyString, RecordingWildcard(), wxFD_OPEN | wxFD_FILE_MUST_EXIST);
    tv::gui::window_events::Note("dialog open-source");
    if (dialog.ShowModal() != wxID_OK) return;
    SetSourcePath(dialog.GetPath());
    AppSettings.BrowsePath = ToNarrow(wxFileName(dialog.GetPath()).GetPath());
}

void CMainDialog::OnBrowseOutput(wxCommandEvent&) {
    // Propose the recording's name with .avi, in the recording's folder.
    wxString folder;
    wxString name;
    if (!m_sourcePath.empty()) {
        const wxFileName source(m_sourcePath);
        folder = source.GetPath();
        name = source.GetName() + ".avi";
    }
    wxFileDialog dialog(this, wxFileSelectorPromptStr, folder, name, "avi File (*.avi)|*.avi",
                        wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    tv::gui::window_events::Note("dialog save-output");
    if (dialog.ShowModal() != wxID_OK) return;

    wxFileName chosen(dialog.GetPath());
    if (!chosen.HasExt()) {
        // The default extension; the dialog asked about replacing the name as typed, so ask
        // again for the name that will really be written.
        chosen.SetExt("avi");
        if (chosen.FileExists()) {
            std::string question = UiText("MessageReplaceQuestion");
            question = tv::gui::FillPlaceholder(question, "{file}", ToNarrow(chosen.GetFullName()));
            tv::gui::window_events::Note("question replace");
            if (wxMessageBox(FromNarrow(question), wxTheApp->GetAppName(),
                             wxYES_NO | wxNO_DEFAULT | wxICON_WARNING, this) != wxYES) {
                return;
            }
        }
    }
    m_outputPath = chosen.GetFullPath();
    m_outputField->ChangeValue(m_outputPath);
}

void CMainDialog::OnStart(wxCommandEvent&) {
    if (m_sourceField->GetValue().empty() || m_outputField->GetValue().empty()) return;
    if (m_worker.joinable()) return;  // one job at a time

    tv::gui::ResetProgress(m_progressRecord);
    // A disabled button loses the keyboard focus; without a new home for it, Escape and
    // Enter would reach nothing in this window while the job runs.
    m_focusParkedForJob = wxWindow::FindFocus() == m_startButton || !wxWindow::FindFocus();
    m_startButton->Disable();
    ShowJobRunning(true);
    if (m_focusParkedForJob) m_sourceField->SetFocus();
    tv::gui::window_events::Note("job start");
    try {
        m_jobReport = tv::JobReport{};
        m_worker = std::thread(RunJob, ToNarrow(m_sourcePath), ToNarrow(m_outputPath),
                               std::ref(m_progressRecord), std::ref(m_jobReport));
    } catch (const std::system_error&) {
        // No thread, no job: report it as a job that could not run.
        m_startButton->Enable();
        ShowJobRunning(false);
        m_startButton->SetFocus();
        tv::gui::PollActions failed;
        failed.jobEnded = true;
        ShowJobEnd(failed);
    }
}

void CMainDialog::OnTimer(wxTimerEvent& event) {
    if (event.GetId() != PROGRESS_TIMER_ID) {
        event.Skip();
        return;
    }
    const tv::gui::PollActions actions = tv::gui::PollProgress(m_progressRecord);
    if (actions.setRange) m_progress->SetRange(std::max(actions.range, 1));
    if (actions.setPosition) {
        m_progress->SetValue(std::clamp(actions.position, 0, m_progress->GetRange()));
    }
    if (actions.jobEnded) {
        WaitForJob();
        // The job's own report adds what the record does not carry: why the system failed.
        tv::gui::PollActions ended = actions;
        ended.report.system_error = m_jobReport.system_error;
        ended.report.avi_error = m_jobReport.avi_error;
        m_startButton->Enable();
        ShowJobRunning(false);
        if (m_focusParkedForJob &&
            (!wxWindow::FindFocus() || wxWindow::FindFocus() == m_sourceField)) {
            m_startButton->SetFocus();
        }
        m_focusParkedForJob = false;
        // The message box runs its own loop; it is shown from the event loop rather than
        // from inside this timer's callback.
        CallAfter([this, ended] {
            ShowJobEnd(ended);
            m_progress->SetValue(0);
        });
    }
}

void CMainDialog::ShowJobEnd(const tv::gui::PollActions& actions) {
    const tv::gui::OutcomeMessage message = tv::gui::MessageForOutcome(actions.report.outcome);
    const std::string text =
        tv::gui::OutcomeMessageText(message, LanguageText(message.key), actions.report);
    long icon = wxICON_INFORMATION;
    if (message.level == tv::gui::MessageLevel::Warning) icon = wxICON_WARNING;
    if (message.level == tv::gui::MessageLevel::Error) icon = wxICON_ERROR;
    tv::gui::window_events::JobEndMessage(message.key, text);
    wxMessageBox(FromNarrow(text), wxTheApp->GetAppName(), wxOK | icon, this);
}

void CMainDialog::OnLanguageButton(wxCommandEvent&) {
    wxMenu menu;
    for (const LanguageItem& item : kLanguageItems) {
        // The spare item only once its section holds a translation, under that one's name.
        if (item.key == nullptr) {
            if (!tv::gui::LanguageHasTexts(m_languageFile, item.language)) continue;
            std::string name = tv::gui::GetLanguageText(m_languageFile, item.language, "MenuSpare");
            if (name.empty()) name = "Lang" + std::to_string(item.language);
            menu.AppendCheckItem(item.command, FromNarrow(name));
            continue;
        }
        menu.AppendCheckItem(item.command, MenuText(Utf8(item.resourceText)));
    }
    // Languages 0..3 relabel the translated items and mark the current one; other numbers
    // leave the resource's texts, unmarked.
    const int32_t language = AppSettings.Language;
    if (language >= 0 && language <= 3) {
        for (const LanguageItem& item : kLanguageItems) {
            if (item.key == nullptr) continue;
            menu.SetLabel(item.command, MenuText(FromNarrow(UiText(item.key))));
            menu.Check(item.command, item.language == language);
        }
    }
    const wxRect button = m_languageButton->GetRect();
    tv::gui::window_events::LanguageMenu(menu);
    PopupMenu(&menu, button.GetLeft(), button.GetBottom() + 1);
}

void CMainDialog::OnLanguageCommand(wxCommandEvent& event) {
    for (const LanguageItem& item : kLanguageItems) {
        if (item.command == event.GetId()) AppSettings.Language = item.language;
    }
    ApplyLanguage();
    tv::gui::window_events::LanguageChosen(AppSettings.Language);
}

void CMainDialog::OnAbout(wxCommandEvent&) {
    CAboutDialog about(this);
    tv::gui::window_events::Note("dialog about");
    about.ShowModal();
}

void CMainDialog::OnContextMenu(wxContextMenuEvent&) {
    // GTK windows have no system menu; the About item lives here and on F1.
    wxMenu menu;
    menu.Append(IDM_ABOUTBOX, Utf8(kAboutItemText));
    PopupMenu(&menu);
}

void CMainDialog::OnCharHook(wxKeyEvent& event) {
    // Keys meant for a dialog that this window opened are that dialog's business.
    wxWindow* focus = wxWindow::FindFocus();
    if (focus != nullptr && wxGetTopLevelParent(focus) != this) {
        event.Skip();
        return;
    }
    switch (event.GetKeyCode()) {
        case WXK_F1: {
            wxCommandEvent about(wxEVT_MENU, IDM_ABOUTBOX);
            OnAbout(about);
            return;
        }
        case WXK_ESCAPE:
            EndByKey(wxID_CANCEL);
            return;
        case WXK_RETURN:
        case WXK_NUMPAD_ENTER:
            // A focused button takes Enter as its own press; anywhere else Enter starts.
            if (wxDynamicCast(focus, wxButton) != nullptr) break;
            if (!JobRunning()) {
                wxCommandEvent start(wxEVT_BUTTON, IDC_START);
                OnStart(start);
            }
            return;
        default:
            break;
    }
    event.Skip();
}

void CMainDialog::EndByKey(int returnCode) {
    if (!StopJobForClosing()) return;
    EndModal(returnCode);
}

void CMainDialog::OnClose(wxCloseEvent& event) {
    if (event.CanVeto()) {
        if (!StopJobForClosing()) {
            event.Veto();
            return;
        }
    } else {
        m_progressRecord.m_stopRequested.store(true);
        WaitForJob();
    }
    tv::gui::SaveSettings();
    event.Skip();  // the dialog's own close handling ends the modal run
}

bool CMainDialog::JobRunning() const {
    return m_worker.joinable() && !m_progressRecord.m_jobEnded.load(std::memory_order_acquire);
}

bool CMainDialog::StopJobForClosing() {
    if (JobRunning()) {
        // The end message of a job that finishes meanwhile waits until this is answered.
        m_timer.Stop();
        const std::string question = UiText("MessageStopQuestion");
        tv::gui::window_events::Note("question stop");
        const int answer = wxMessageBox(FromNarrow(question), wxTheApp->GetAppName(),
                                        wxYES_NO | wxNO_DEFAULT | wxICON_QUESTION, this);
        if (answer != wxYES) {
            m_timer.Start(300);
            return false;
        }
        m_progressRecord.m_stopRequested.store(true);
    }
    WaitForJob();
    return true;
}

void CMainDialog::WaitForJob() {
    if (!m_worker.joinable()) return;
    if (m_progressRecord.m_jobEnded.load(std::memory_order_acquire)) {
        m_worker.join();  // the job has published its end; the thread is returning
        return;
    }
    // Stopping takes one frame plus the finalisation of the AVI.
    wxBusyCursor busy;
    m_worker.join();
}

// clang-format off
wxBEGIN_EVENT_TABLE(CMainDialog, wxDialog)
    EVT_BUTTON(IDC_BROWSE_SOURCE, CMainDialog::OnBrowseSource)
    EVT_BUTTON(IDC_BROWSE_OUTPUT, CMainDialog::OnBrowseOutput)
    EVT_BUTTON(IDC_START, CMainDialog::OnStart)
    EVT_TIMER(PROGRESS_TIMER_ID, CMainDialog::OnTimer)
    EVT_BUTTON(IDC_LANGUAGE, CMainDialog::OnLanguageButton)
    EVT_MENU_RANGE(ID_LANG_SIMPLIFIED, ID_LANG_TRADITIONAL, CMainDialog::OnLanguageCommand)
    EVT_MENU(IDM_ABOUTBOX, CMainDialog::OnAbout)
    EVT_CONTEXT_MENU(CMainDialog::OnContextMenu)
    EVT_CHAR_HOOK(CMainDialog::OnCharHook)
    EVT_CLOSE(CMainDialog::OnClose)
wxEND_EVENT_TABLE()
