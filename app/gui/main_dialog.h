// The main window: choose a recording and an output file, start the conversion, follow it
// on the progress bar and learn how it ended.
#pragma once

#include <wx/dialog.h>
#include <wx/timer.h>

#include <filesystem>
#include <string>
#include <thread>

#include "app/conversion_job.h"

class wxButton;
class wxGauge;
class wxStaticText;
class wxTextCtrl;

namespace tv::gui {
struct PollActions;
}

class CMainDialog : public wxDialog {
  public:
    explicit CMainDialog(wxWindow* parent);
    ~CMainDialog() override;

    // The text for key in the current language (empty when the file has none).
    wxString GetLanguageText(const char* key) const;
    // Relabels the translated controls from the current language.
    void ApplyLanguage();

    // Sets the recording, as the source browse button does.
    void SetSourcePath(const wxString& path);
    // A job has started and not yet been collected.
    bool JobRunning() const;

  private:
    void CreateControls();

    void OnBrowseSource(wxCommandEvent& event);
    void OnBrowseOutput(wxCommandEvent& event);
    void OnStart(wxCommandEvent& event);
    void OnTimer(wxTimerEvent& event);
    void OnLanguageButton(wxCommandEvent& event);
    void OnLanguageCommand(wxCommandEvent& event);
    void OnAbout(wxCommandEvent& event);
    void OnContextMenu(wxContextMenuEvent& event);
    void OnCharHook(wxKeyEvent& event);
    void OnClose(wxCloseEvent& event);

    // Asks whether a running job may be stopped; when it may, stops it and waits for it.
    // False when the user wants the job to go on.
    bool StopJobForClosing();
    void WaitForJob();
    // Ends the modal run the way Enter and Escape do, after StopJobForClosing agrees.
    void EndByKey(int returnCode);
    std::string LanguageText(const char* key) const;
    // The text, or the built-in English when the language has none.
    std::string UiText(const char* key) const;
    wxString RecordingWildcard() const;
    // What may be used while a job runs, and what waits for its end.
    void ShowJobRunning(bool running);
    void ShowJobEnd(const tv::gui::PollActions& actions);

    wxGauge* m_progress = nullptr;
    wxTextCtrl* m_sourceField = nullptr;
    wxTextCtrl* m_outputField = nullptr;
    wxStaticText* m_sourceLabel = nullptr;
    wxStaticText* m_outputLabel = nullptr;
    wxButton* m_browseSource = nullptr;
    wxButton* m_browseOutput = nullptr;
    wxButton* m_startButton = nullptr;
    wxButton* m_languageButton = nullptr;

    std::filesystem::path m_languageFile;
    wxString m_sourcePath;
    wxString m_outputPath;

    // The counters and the outcome that the job publishes; the timer polls them.
    tv::ConversionProgress m_progressRecord;
    std::thread m_worker;
    tv::JobReport m_jobReport;         // written by the worker, read after joining it
    bool m_focusParkedForJob = false;  // the focus left the start button for the job
    wxTimer m_timer;

    wxDECLARE_EVENT_TABLE();
};
