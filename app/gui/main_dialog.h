// The main window: choose a recording and an output file, start the conversion, follow it
// on the progress bar and learn how it ended.
#pragma once

#include <wx/dialog.h>
#include <wx/timer.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "app/conversion_job.h"

class wxButton;
class wxGauge;
class wxListCtrl;
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

    // Sets the recording, as the source browse button does, and proposes the output beside it.
    void SetSourcePath(const wxString& path);
    // Takes chosen or dropped files and folders: one recording for the simple window, several
    // (a folder stands for the recordings below it) for the queue. False when none was found.
    bool SetSources(const std::vector<std::filesystem::path>& chosen);
    // A job has started and not yet been collected.
    bool JobRunning() const;

  private:
    void CreateControls();
    // Puts the controls on their template places, stretched to the window's width.
    void PlaceControls();
    void OnSize(wxSizeEvent& event);
    void OnSourceText(wxCommandEvent& event);
    void OnOutputText(wxCommandEvent& event);
    void OnClearQueue(wxCommandEvent& event);

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
    void ShowJobEnd(const tv::gui::PollActions& actions, const wxString& output);
    // Offers to open the folder of a finished output after `text`.
    void OfferFolder(const char* key, std::string text, const wxString& output, long icon);
    bool StartJob(const wxString& source, const wxString& output, bool replace);
    void UpdateNumbers();
    void SetPathField(wxTextCtrl* field, const wxString& text);

    // The queue: shown when more than one recording is chosen.
    struct QueueRow {
        wxString source;
        wxString output;
        tv::JobOutcome outcome = tv::JobOutcome::Running;  // Running: not converted yet
        const char* state = "StQueueWaiting";              // language key of its state
        tv::JobReport report;                              // how its job ended
    };
    bool QueueMode() const { return m_queue.size() > 1; }
    void ShowQueue();
    void FillQueueOutputs();
    void SetRowState(size_t row, const char* key);
    std::string RowText(const QueueRow& row) const;
    // Starts the next row that can be converted; false when none is left.
    bool StartNextRow();
    void EndQueue();

    wxGauge* m_progress = nullptr;
    wxTextCtrl* m_sourceField = nullptr;
    wxTextCtrl* m_outputField = nullptr;
    wxStaticText* m_sourceLabel = nullptr;
    wxStaticText* m_outputLabel = nullptr;
    wxButton* m_browseSource = nullptr;
    wxButton* m_browseOutput = nullptr;
    wxButton* m_startButton = nullptr;
    wxButton* m_languageButton = nullptr;
    wxStaticText* m_numbers = nullptr;
    wxListCtrl* m_queueList = nullptr;
    wxButton* m_clearButton = nullptr;

    std::filesystem::path m_languageFile;
    wxString m_sourcePath;
    wxString m_outputPath;
    // The user has confirmed the output through the save dialog (which asks before an
    // existing file is replaced); a proposed or typed one is asked about at the start.
    bool m_outputConfirmed = false;
    std::vector<QueueRow> m_queue;
    wxString m_queueFolder;  // outputs go here; empty: beside each recording
    size_t m_queueNext = 0;
    bool m_queueRunning = false;
    bool m_stopAsked = false;

    // The counters and the outcome that the job publishes; the timer polls them.
    tv::ConversionProgress m_progressRecord;
    std::thread m_worker;
    tv::JobReport m_jobReport;  // written by the worker, read after joining it
    wxString m_jobOutput;       // what the running job writes
    std::chrono::steady_clock::time_point m_jobStart;
    uint64_t m_recordingBytes = 0;
    wxSize m_baseClient;  // the template's size
    wxTimer m_timer;

    wxDECLARE_EVENT_TABLE();
};
