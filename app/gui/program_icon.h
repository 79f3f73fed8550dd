// The program's icon, drawn at any size from the same shapes as data/torvane.svg.
#pragma once

#include <wx/bitmap.h>
#include <wx/iconbndl.h>

namespace tv::gui {

wxBitmap ProgramIcon(int size);
wxIconBundle ProgramIcons();

}  // namespace tv::gui
