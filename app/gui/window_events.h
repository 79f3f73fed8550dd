// What the window tells an observer as it runs: the dialogs it opens, the questions it asks,
// the jobs it starts and the messages it shows. The program links the empty observer
// (window_events_none.cpp); the window test links a driver in its place that scripts the
// window and waits on these events.
#pragma once

#include <cstdint>
#include <string>

#include "app/conversion_job.h"

class wxMenu;
class wxTopLevelWindow;

namespace tv::gui::window_events {

// The main window is about to run modally, and has stopped running (it still exists).
void MainWindowRunning(wxTopLevelWindow* main);
void MainWindowEnded();
// A dialog or question is about to open, or a job started: "dialog about", "job start"...
void Note(const char* what);
// The language popup, filled and marked, is about to open.
void LanguageMenu(const wxMenu& menu);
void LanguageChosen(int32_t language);
// The message at the end of a job: its key in the language file and the text shown.
void JobEndMessage(const char* key, const std::string& text);
// A job is about to start with these options.
void JobStarting(tv::ConversionOptions& options);
// The user asked to see the folder of an output; true when the observer took care of it,
// else the desktop's file manager opens it.
bool OpenFolder(const std::string& folder);

}  // namespace tv::gui::window_events
