// The little of the X server that the window test's driver needs to stand in for a window
// manager under Xvfb: which top-level window is on top, and giving a window the focus.
// Kept apart so that Xlib's macros meet no other header.
#pragma once

#include <cstdint>
#include <vector>

namespace tvtest::x11 {

// The topmost mapped top-level window that a window manager would manage (menus and other
// override-redirect windows excluded); 0 when there is none or no X display.
uint64_t TopWindow();
// Gives the window the keyboard focus, as a window manager does for a window it maps.
void FocusWindow(uint64_t window);
// True when the keyboard focus is on the window or inside it.
bool HasFocus(uint64_t window);
// What the screen shows in the rectangle, as rows of RGB bytes; empty when it cannot be read.
std::vector<uint8_t> CaptureScreen(int x, int y, int width, int height);

}  // namespace tvtest::x11
