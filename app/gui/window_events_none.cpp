// The program observes nothing of its own window.
#include "app/gui/window_events.h"

namespace tv::gui::window_events {

void MainWindowRunning(wxTopLevelWindow*) {}
void MainWindowEnded() {}
void Note(const char*) {}
void LanguageMenu(const wxMenu&) {}
void LanguageChosen(int32_t) {}
void JobEndMessage(const char*, const std::string&) {}
void JobStarting(tv::ConversionOptions&) {}
bool OpenFolder(const std::string&) {
    return false;
}

}  // namespace tv::gui::window_events
