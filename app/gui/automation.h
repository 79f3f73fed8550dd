// A test hook that drives the real window the way a person would: real mouse clicks and key
// presses through the X server, into the real dialogs. It runs only when the environment
// names a script (TORVANE_AUTOMATION); the Xvfb test uses it.
//
// Script: one command a line, run in order; '#' starts a comment.
//   click <control id>          move the pointer to the control and click it
//   rclick <control id>         the same with the right button
//   key <name>                  return, escape, tab, space, up, down, f1, ctrl+l, ctrl+a,
//                               alt+y, alt+n
//   close                       closes the main window as its close box does
//   drop <path>                 hands the path to the window's drop target, as a drop does
//   type <text>                 types the text
//   sleep <ms>
//   wait-note <prefix>          waits until the window has noted a line with this prefix
//   wait-active                 waits until the main window has the focus (giving it back
//                               after a dialog, as a window manager would)
//   wait-dialog                 waits until another window (a dialog) is on top; focuses it
//   wait-value <id> <text>      waits until the control shows the text
//   screenshot <file.png>       saves a picture of the main window
//   screenshot-screen <file>    saves a picture of the whole screen
//   log <text>                  writes the text to the log
// Each executed command and each note goes to the log (TORVANE_AUTOMATION_LOG). A command
// that waits longer than 60 s ends the program with status 3.
#pragma once

#include <string>

class wxTopLevelWindow;

namespace tv::gui::automation {

// Starts the script for the main window when the environment asks for one.
void Start(wxTopLevelWindow* main);
// Records what the window did (a dialog opened, a message shown); no-op without a script.
void Note(const std::string& line);
// Ends the script (before the main window goes away).
void Finish();

}  // namespace tv::gui::automation
