#include "app/gui/main_dialog.h"

#include <wx/app.h>
#include <wx/button.h>
#include <wx/dirdlg.h>
#include <wx/dnd.h>
#include <wx/filedlg.h>
#include <wx/filename.h>
#include <wx/gauge.h>
#include <wx/listctrl.h>
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
#include "common/platform.h"

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

// Paths go to wide text and back without loss (bytes that are not UTF-8 included), and to
// the system through UTF-8 whatever its code page.
std::filesystem::path PathOf(const wxString& text) {
    return tv::platform::path_of(ToNarrow(text));
}

wxString PathText(const std::filesystem::path& path) {
    return wxString(tv::gui::WideText(tv::platform::utf8_of(path)));
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
            tv::ConversionOptions options, tv::JobReport& report) {
    try {
        report = tv::ConversionJob(source, output, progress, options);
    } catch (...) {
        progress.m_outcome.store(static_cast<int32_t>(tv::JobOutcome::Running));
        progress.m_jobEnded.store(true, std::memory_order_release);
    }
}

// Dropping recordings or folders on the window chooses them.
class SourceDropTarget : public wxFileDropTarget {
  public:
    explicit SourceDropTarget(CMainDialog* dialog) : m_dialog(dialog) {}
    bool OnDropFiles(wxCoord, wxCoord, const wxArrayString& files) override {
        // A drop waits, as the browse buttons do, until the running job has ended.
        if (m_dialog->JobRunning()) return false;
        std::vector<std::filesystem::path> paths;
        for (const wxString& file : files) paths.push_back(PathOf(file));
        return m_dialog->SetSources(paths);
    }

  private:
    CMainDialog* m_dialog;
};

// The output proposed for a recording: its name with the remembered type, in `folder` or
// beside it.
wxString OutputFor(const wxString& source, const wxString& folder) {
    wxFileName output(source);
    output.SetExt(tv::gui::FormatExtension(AppSettings.Format));
    if (!folder.empty()) output.SetPath(folder);
    return output.GetFullPath();
}

bool PutInPlace(tv::JobOutcome outcome) {
    return outcome == tv::JobOutcome::Converted || outcome == tv::JobOutcome::Partial;
}

}  // namespace

CMainDialog::CMainDialog(wxWindow* parent) : m_timer(this, PROGRESS_TIMER_ID) {
    m_languageFile = tv::gui::LanguageFilePath(tv::gui::ExecutableFolder());

    // Template IDD_MAIN: caption, system menu, modal frame; it may be made wider.
    Create(parent, IDD_MAIN, "Torvane", wxDefaultPosition, wxDefaultSize,
           wxDEFAULT_DIALOG_STYLE | wxRESIZE_BORDER);
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
    // Created in the template's tab order; the additions come after it.
    m_sourceField = new wxTextCtrl(this, IDC_SOURCE_PATH);
    m_sourceLabel = new wxStaticText(this, IDC_SOURCE_LABEL, Utf8("原始ifv文件："),
                                     wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
    m_outputLabel = new wxStaticText(this, IDC_OUTPUT_LABEL, "AVI file after conversion",
                                     wxDefaultPosition, wxDefaultSize, wxST_NO_AUTORESIZE);
    m_outputField = new wxTextCtrl(this, IDC_OUTPUT_PATH);
    m_browseSource = new wxButton(this, IDC_BROWSE_SOURCE, "...", wxDefaultPosition, wxDefaultSize,
                                  wxBU_EXACTFIT);
    m_browseOutput = new wxButton(this, IDC_BROWSE_OUTPUT, "...", wxDefaultPosition, wxDefaultSize,
                                  wxBU_EXACTFIT);
    m_startButton = new wxButton(this, IDC_START, Utf8("开始转换"));
    m_progress = new wxGauge(this, IDC_PROGRESS, 100);
    m_languageButton = new wxButton(this, IDC_LANGUAGE, "Language", wxDefaultPosition,
                                    wxDefaultSize, wxBU_EXACTFIT);
    m_numbers = new wxStaticText(this, IDC_PROGRESS_TEXT, wxEmptyString, wxDefaultPosition,
                                 wxDefaultSize, wxST_NO_AUTORESIZE);
    m_queueList = new wxListCtrl(this, IDC_QUEUE, wxDefaultPosition, wxDefaultSize,
                                 wxLC_REPORT | wxLC_SINGLE_SEL | wxBORDER_SUNKEN);
    for (int column = 0; column < 3; ++column) m_queueList->AppendColumn(wxEmptyString);
    m_clearButton = new wxButton(this, IDC_CLEAR_QUEUE, wxEmptyString);
    m_queueList->Hide();
    m_clearButton->Hide();

    const tv::gui::DialogLayout layout(this);
    m_baseClient = layout.Size(361, 127);
    SetClientSize(m_baseClient);
    SetMinClientSize(m_baseClient);
    SetMaxClientSize(wxSize(wxDefaultCoord, m_baseClient.GetHeight()));
    PlaceControls();
}

void CMainDialog::PlaceControls() {
    if (m_baseClient == wxSize()) return;
    const tv::gui::DialogLayout layout(this);
    // Room beyond the template's width goes to the path fields, the bar and the list; the
    // buttons on the right keep their distance to the right edge.
    const int extra = std::max(0, GetClientSize().GetWidth() - m_baseClient.GetWidth());
    enum Stretch { Keep, Widen, Shift };
    const auto place = [&](wxWindow* control, int x, int y, int width, int height, Stretch how) {
        layout.Place(control, x, y, width, height);
        wxRect rect = control->GetRect();
        if (how == Widen) rect.width += extra;
        if (how == Shift) rect.x += extra;
        control->SetSize(rect);
    };
    place(m_sourceField, 142, 17, 166, 16, Widen);
    place(m_sourceLabel, 7, 19, 126, 16, Keep);
    place(m_outputLabel, 7, 40, 126, 16, Keep);
    place(m_outputField, 141, 39, 167, 16, Widen);
    place(m_browseSource, 319, 14, 24, 18, Shift);
    place(m_browseOutput, 319, 39, 24, 18, Shift);
    place(m_startButton, 277, 91, 63, 23, Shift);
    place(m_progress, 7, 67, 336, 16, Widen);
    place(m_languageButton, 17, 97, 42, 18, Keep);
    place(m_numbers, 7, 85, 262, 10, Widen);
    place(m_queueList, 7, 122, 336, 86, Widen);
    place(m_clearButton, 277, 213, 63, 18, Shift);
    if (m_queueList->IsShown()) {
        const int width = std::max(m_queueList->GetClientSize().GetWidth(), 100);
        m_queueList->SetColumnWidth(0, width * 2 / 5);
        m_queueList->SetColumnWidth(1, width * 2 / 5);
        m_queueList->SetColumnWidth(2, width - 2 * (width * 2 / 5));
    }
}

void CMainDialog::OnSize(wxSizeEvent& event) {
    PlaceControls();
    event.Skip();
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
    // A language without a text (the spare one, a number without a section, no Language.ini)
    // shows the built-in English rather than a blank control.
    m_sourceLabel->SetLabel(FromNarrow(UiText("STSource")));
    m_outputLabel->SetLabel(FromNarrow(UiText("STConversionAVI")));
    m_startButton->SetLabel(FromNarrow(UiText(JobRunning() ? "BtStop" : "BtConversion")));
    m_languageButton->SetLabel(FromNarrow(UiText("BtLanguage")));
    m_clearButton->SetLabel(FromNarrow(UiText("BtClearList")));
    const char* const columns[] = {"StColumnRecording", "StColumnOutput", "StColumnOutcome"};
    for (int column = 0; column < 3; ++column) {
        wxListItem heading;
        heading.SetMask(wxLIST_MASK_TEXT);
        heading.SetText(FromNarrow(UiText(columns[column])));
        m_queueList->SetColumn(column, heading);
    }
    for (size_t row = 0; row < m_queue.size() && QueueMode(); ++row) {
        m_queueList->SetItem(static_cast<long>(row), 2, FromNarrow(RowText(m_queue[row])));
    }
}

wxString CMainDialog::RecordingWildcard() const {
    // Recorders write to FAT sticks, whose names often come in capitals: any case matches.
    return FromNarrow(UiText("StRecordingTypes")) + "|*.[iI][fF][vV]|" +
           FromNarrow(UiText("StAllFiles")) + "|*";
}

void CMainDialog::ShowJobRunning(bool running) {
    // The paths belong to the job while it runs; the start button stops it.
    wxWindow* focus = wxWindow::FindFocus();
    m_browseSource->Enable(!running);
    m_browseOutput->Enable(!running);
    m_clearButton->Enable(!running);
    m_sourceField->SetEditable(!running);
    m_outputField->SetEditable(!running);
    m_startButton->SetLabel(FromNarrow(UiText(running ? "BtStop" : "BtConversion")));
    if (focus != nullptr && !focus->IsEnabled()) m_startButton->SetFocus();
}

void CMainDialog::SetPathField(wxTextCtrl* field, const wxString& text) {
    field->ChangeValue(text);
    // A long path shows its end: the file's name.
    field->SetInsertionPointEnd();
    field->ShowPosition(field->GetLastPosition());
}

void CMainDialog::SetSourcePath(const wxString& path) {
    m_sourcePath = path;
    SetPathField(m_sourceField, path);
    m_outputPath = OutputFor(path, wxEmptyString);
    m_outputConfirmed = false;
    SetPathField(m_outputField, m_outputPath);
}

bool CMainDialog::SetSources(const std::vector<std::filesystem::path>& chosen) {
    const std::vector<std::filesystem::path> recordings = tv::gui::RecordingsIn(chosen);
    if (recordings.empty()) return false;
    m_queue.clear();
    if (recordings.size() == 1) {
        ShowQueue();
        SetSourcePath(PathText(recordings.front()));
        return true;
    }
    wxString shown;
    for (const std::filesystem::path& recording : recordings) {
        QueueRow row;
        row.source = PathText(recording);
        m_queue.push_back(row);
        shown += (shown.empty() ? "" : "; ") + m_queue.back().source;
    }
    m_sourcePath = shown;
    SetPathField(m_sourceField, shown);
    FillQueueOutputs();
    ShowQueue();
    return true;
}

void CMainDialog::FillQueueOutputs() {
    for (QueueRow& row : m_queue) row.output = OutputFor(row.source, m_queueFolder);
    m_outputPath = m_queueFolder;
    SetPathField(m_outputField, m_queueFolder);
}

void CMainDialog::ShowQueue() {
    const bool shown = QueueMode();
    m_queueList->DeleteAllItems();
    for (size_t i = 0; i < m_queue.size() && shown; ++i) {
        const long item = m_queueList->InsertItem(static_cast<long>(i), m_queue[i].source);
        m_queueList->SetItem(item, 1, m_queue[i].output);
        m_queueList->SetItem(item, 2, FromNarrow(RowText(m_queue[i])));
    }
    if (shown != m_queueList->IsShown()) {
        // The list and its button below the template's controls; the window grows for them.
        // Keys would reach nothing from a control that goes away.
        wxWindow* focus = wxWindow::FindFocus();
        if (!shown && (focus == m_queueList || focus == m_clearButton)) m_sourceField->SetFocus();
        m_queueList->Show(shown);
        m_clearButton->Show(shown);
        const int height = shown ? tv::gui::DialogLayout(this).Size(361, 237).GetHeight()
                                 : m_baseClient.GetHeight();
        SetMinClientSize(wxSize(m_baseClient.GetWidth(), height));
        SetMaxClientSize(wxSize(wxDefaultCoord, height));
        SetClientSize(wxSize(GetClientSize().GetWidth(), height));
    }
    PlaceControls();
    if (shown) tv::gui::window_events::Note(("queue " + std::to_string(m_queue.size())).c_str());
}

std::string CMainDialog::RowText(const QueueRow& row) const {
    std::string text = UiText(row.state);
    // A failure says why, in the words of the end message.
    if (std::string_view(row.state) == "StQueueFailed") {
        const tv::gui::OutcomeMessage message = tv::gui::MessageForOutcome(row.outcome);
        text += ": " + tv::gui::OutcomeMessageText(message, LanguageText(message.key), row.report);
    }
    return text;
}

void CMainDialog::SetRowState(size_t row, const char* key) {
    m_queue[row].state = key;
    m_queueList->SetItem(static_cast<long>(row), 1, m_queue[row].output);
    m_queueList->SetItem(static_cast<long>(row), 2, FromNarrow(RowText(m_queue[row])));
    tv::gui::window_events::Note(("row " + std::to_string(row) + " " + key).c_str());
}

void CMainDialog::OnClearQueue(wxCommandEvent&) {
    if (JobRunning()) return;
    m_queue.clear();
    m_queueFolder.clear();
    m_sourcePath.clear();
    m_outputPath.clear();
    m_sourceField->ChangeValue(wxEmptyString);
    m_outputField->ChangeValue(wxEmptyString);
    ShowQueue();
    tv::gui::window_events::Note("queue cleared");
}

void CMainDialog::OnSourceText(wxCommandEvent&) {
    // A path typed or pasted takes the place of what was chosen, a queue included.
    m_sourcePath = m_sourceField->GetValue();
    if (QueueMode()) {
        m_queue.clear();
        ShowQueue();
    }
}

void CMainDialog::OnOutputText(wxCommandEvent&) {
    m_outputPath = m_outputField->GetValue();
    m_outputConfirmed = false;
    if (QueueMode()) {
        m_queueFolder = m_outputPath;
        for (QueueRow& row : m_queue) row.output = OutputFor(row.source, m_queueFolder);
    }
}

void CMainDialog::OnBrowseSource(wxCommandEvent&) {
    // The dialog starts where the last recording was chosen.
    wxFileDialog dialog(this, wxFileSelectorPromptStr, FromNarrow(AppSettings.BrowsePath),
                        wxEmptyString, RecordingWildcard(),
                        wxFD_OPEN | wxFD_FILE_MUST_EXIST | wxFD_MULTIPLE);
    tv::gui::window_events::Note("dialog open-source");
    if (dialog.ShowModal() != wxID_OK) return;
    wxArrayString paths;
    dialog.GetPaths(paths);
    if (paths.empty()) return;
    std::vector<std::filesystem::path> chosen;
    for (const wxString& path : paths) chosen.push_back(PathOf(path));
    AppSettings.BrowsePath = ToNarrow(wxFileName(paths[0]).GetPath());
    // What the dialog hands back counts as chosen, whatever its name.
    if (chosen.size() == 1 && tv::gui::RecordingsIn(chosen).empty()) {
        m_queue.clear();
        ShowQueue();
        SetSourcePath(paths[0]);
        return;
    }
    SetSources(chosen);
}

void CMainDialog::OnBrowseOutput(wxCommandEvent&) {
    if (QueueMode()) {
        // Several recordings: one folder for all their outputs.
        wxString start = m_queueFolder;
        if (start.empty()) start = wxFileName(m_queue.front().source).GetPath();
        wxDirDialog dialog(this, wxDirSelectorPromptStr, start);
        tv::gui::window_events::Note("dialog output-folder");
        if (dialog.ShowModal() != wxID_OK) return;
        m_queueFolder = dialog.GetPath();
        FillQueueOutputs();
        ShowQueue();
        return;
    }
    // Propose the current output, else the recording's name with the remembered type.
    wxString proposal = m_outputPath;
    if (proposal.empty() && !m_sourcePath.empty()) proposal = OutputFor(m_sourcePath, "");
    const wxFileName proposed(proposal);
    const wxString types = FromNarrow(UiText("StFileTypes"));
    wxFileDialog dialog(this, wxFileSelectorPromptStr, proposed.GetPath(), proposed.GetFullName(),
                        types, wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
    dialog.SetFilterIndex(tv::gui::FormatOfExtension(tv::gui::FormatExtension(AppSettings.Format)));
    tv::gui::window_events::Note(("dialog save-output " + ToNarrow(types)).c_str());
    if (dialog.ShowModal() != wxID_OK) return;

    wxFileName chosen(dialog.GetPath());
    if (!chosen.HasExt()) {
        // The type chosen in the list; the dialog asked about replacing the name as typed,
        // so ask again for the name that will really be written.
        chosen.SetExt(tv::gui::FormatExtension(dialog.GetFilterIndex()));
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
    // The job writes what the extension says; the type is remembered for the next output.
    AppSettings.Format = tv::gui::FormatOfExtension(ToNarrow(chosen.GetExt()));
    m_outputPath = chosen.GetFullPath();
    SetPathField(m_outputField, m_outputPath);
    m_outputConfirmed = true;
}

void CMainDialog::OnStart(wxCommandEvent&) {
    if (JobRunning()) {
        // Stop: the job ends after the current frame and finishes its file.
        m_stopAsked = true;
        m_progressRecord.m_stopRequested.store(true);
        tv::gui::window_events::Note("job stop");
        return;
    }
    if (m_worker.joinable()) return;  // ended, not yet collected by the timer
    m_stopAsked = false;
    if (QueueMode()) {
        for (size_t row = 0; row < m_queue.size(); ++row) {
            m_queue[row].outcome = tv::JobOutcome::Running;
            SetRowState(row, "StQueueWaiting");
        }
        m_queueNext = 0;
        m_queueRunning = true;
        if (!StartNextRow()) EndQueue();
        return;
    }
    if (m_sourceField->GetValue().empty() || m_outputField->GetValue().empty()) return;
    // A proposed or typed output that exists: ask, as the save dialog would have.
    if (!m_outputConfirmed && wxFileName::Exists(m_outputPath)) {
        const std::string question =
            tv::gui::FillPlaceholder(UiText("MessageReplaceQuestion"), "{file}",
                                     ToNarrow(wxFileName(m_outputPath).GetFullName()));
        tv::gui::window_events::Note("question replace");
        if (wxMessageBox(FromNarrow(question), wxTheApp->GetAppName(),
                         wxYES_NO | wxNO_DEFAULT | wxICON_WARNING, this) != wxYES) {
            return;
        }
    }
    StartJob(m_sourcePath, m_outputPath, true);
}

bool CMainDialog::StartJob(const wxString& source, const wxString& output, bool replace) {
    tv::gui::ResetProgress(m_progressRecord);
    tv::ConversionOptions options;
    options.replace_existing = replace;
    tv::gui::window_events::JobStarting(options);
    std::error_code ec;
    m_recordingBytes = std::filesystem::file_size(PathOf(source), ec);
    if (ec) m_recordingBytes = 0;
    m_jobStart = std::chrono::steady_clock::now();
    m_jobOutput = output;
    m_jobReport = tv::JobReport{};
    try {
        m_worker = std::thread(RunJob, ToNarrow(source), ToNarrow(output),
                               std::ref(m_progressRecord), options, std::ref(m_jobReport));
    } catch (const std::system_error&) {
        // No thread, no job: report it as a job that could not run.
        tv::gui::PollActions failed;
        failed.jobEnded = true;
        ShowJobEnd(failed, output);
        return false;
    }
    ShowJobRunning(true);
    tv::gui::window_events::Note("job start");
    return true;
}

bool CMainDialog::StartNextRow() {
    while (m_queueNext < m_queue.size()) {
        const size_t row = m_queueNext++;
        // A queue never replaces a file: an output that exists is left alone.
        if (wxFileName::Exists(m_queue[row].output)) {
            SetRowState(row, "StQueueExists");
            continue;
        }
        SetRowState(row, "StQueueRunning");
        m_queueList->EnsureVisible(static_cast<long>(row));
        if (StartJob(m_queue[row].source, m_queue[row].output, false)) return true;
    }
    return false;
}

void CMainDialog::EndQueue() {
    m_queueRunning = false;
    ShowJobRunning(false);
    int converted = 0;
    wxString firstOutput;
    for (const QueueRow& row : m_queue) {
        if (!PutInPlace(row.outcome)) continue;
        ++converted;
        if (firstOutput.empty()) firstOutput = row.output;
    }
    std::string text = tv::gui::FillPlaceholder(UiText("StQueueSummary"), "{converted}",
                                                std::to_string(converted));
    text = tv::gui::FillPlaceholder(text, "{total}", std::to_string(m_queue.size()));
    CallAfter([this, text, firstOutput, converted] {
        OfferFolder(
            "StQueueSummary", text, firstOutput,
            converted == static_cast<int>(m_queue.size()) ? wxICON_INFORMATION : wxICON_WARNING);
        m_progress->SetValue(0);
        m_numbers->SetLabel(wxEmptyString);
    });
}

void CMainDialog::UpdateNumbers() {
    const int32_t total = m_progressRecord.m_totalFrames.load();
    if (total <= 0) return;
    const double elapsed =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - m_jobStart).count();
    const tv::gui::ProgressNumbers numbers =
        tv::gui::NumbersFor(m_progressRecord.m_doneFrames.load(), total, elapsed, m_recordingBytes);
    m_numbers->SetLabel(FromNarrow(tv::gui::FormatProgressNumbers(UiText("StProgress"), numbers)));
}

void CMainDialog::OnTimer(wxTimerEvent& event) {
    if (event.GetId() != PROGRESS_TIMER_ID) {
        event.Skip();
        return;
    }
    if (JobRunning()) UpdateNumbers();
    const tv::gui::PollActions actions = tv::gui::PollProgress(m_progressRecord);
    if (actions.setRange) m_progress->SetRange(std::max(actions.range, 1));
    if (actions.setPosition) {
        m_progress->SetValue(std::clamp(actions.position, 0, m_progress->GetRange()));
    }
    if (!actions.jobEnded) return;

    WaitForJob();
    // The job's own report adds what the record does not carry: why the system failed.
    tv::gui::PollActions ended = actions;
    ended.report.system_error = m_jobReport.system_error;
    ended.report.avi_error = m_jobReport.avi_error;
    ended.report.kept_part = m_jobReport.kept_part;
    if (m_queueRunning) {
        const size_t row = m_queueNext - 1;
        m_queue[row].outcome = ended.report.outcome;
        m_queue[row].report = ended.report;
        const char* key = "StQueueFailed";
        if (ended.report.outcome == tv::JobOutcome::Converted) key = "StQueueConverted";
        if (ended.report.outcome == tv::JobOutcome::Partial) key = "StQueuePartial";
        if (ended.report.outcome == tv::JobOutcome::Stopped) key = "StQueueStopped";
        SetRowState(row, key);
        if (m_stopAsked || !StartNextRow()) EndQueue();
        return;
    }
    ShowJobRunning(false);
    // The message box runs its own loop; it is shown from the event loop rather than from
    // inside this timer's callback.
    const wxString output = m_jobOutput;
    CallAfter([this, ended, output] {
        ShowJobEnd(ended, output);
        m_progress->SetValue(0);
        m_numbers->SetLabel(wxEmptyString);
    });
}

void CMainDialog::ShowJobEnd(const tv::gui::PollActions& actions, const wxString& output) {
    const tv::gui::OutcomeMessage message = tv::gui::MessageForOutcome(actions.report.outcome);
    const std::string text =
        tv::gui::OutcomeMessageText(message, LanguageText(message.key), actions.report);
    long icon = wxICON_INFORMATION;
    if (message.level == tv::gui::MessageLevel::Warning) icon = wxICON_WARNING;
    if (message.level == tv::gui::MessageLevel::Error) icon = wxICON_ERROR;
    OfferFolder(message.key, text, PutInPlace(actions.report.outcome) ? output : wxString(), icon);
}

void CMainDialog::OfferFolder(const char* key, std::string text, const wxString& output,
                              long icon) {
    if (output.empty()) {
        tv::gui::window_events::JobEndMessage(key, text);
        wxMessageBox(FromNarrow(text), wxTheApp->GetAppName(), wxOK | icon, this);
        return;
    }
    // Name the file written and offer to show it.
    text += "\n\n" + ToNarrow(output) + "\n\n" + UiText("MessageOpenFolder");
    tv::gui::window_events::JobEndMessage(key, text);
    if (wxMessageBox(FromNarrow(text), wxTheApp->GetAppName(), wxYES_NO | wxNO_DEFAULT | icon,
                     this) != wxYES) {
        return;
    }
    const wxString folder = wxFileName(output).GetPath();
    if (!tv::gui::window_events::OpenFolder(ToNarrow(folder))) wxLaunchDefaultApplication(folder);
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
    EVT_SIZE(CMainDialog::OnSize)
    EVT_TEXT(IDC_SOURCE_PATH, CMainDialog::OnSourceText)
    EVT_TEXT(IDC_OUTPUT_PATH, CMainDialog::OnOutputText)
    EVT_BUTTON(IDC_CLEAR_QUEUE, CMainDialog::OnClearQueue)
wxEND_EVENT_TABLE()
