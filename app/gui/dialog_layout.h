// Placing controls by dialog units, the way the dialog templates give their positions.
#pragma once

#include <wx/font.h>
#include <wx/gdicmn.h>
#include <wx/window.h>

namespace tv::gui {

// The templates ask for a 9-point Song face; the first of these that the system has is used,
// else the desktop's own face at 9 points (Chinese text then comes from font fallback).
wxFont DialogFont();

class DialogLayout {
  public:
    // Units follow the dialog's font, so set that first.
    explicit DialogLayout(wxWindow* dialog) : m_dialog(dialog) {}

    wxPoint Point(int x, int y) const { return m_dialog->ConvertDialogToPixels(wxPoint(x, y)); }
    wxSize Size(int width, int height) const {
        return m_dialog->ConvertDialogToPixels(wxSize(width, height));
    }

    // Puts a control on its template rectangle. A theme whose controls need more height
    // than the template gives them gets it, centred on the rectangle, rather than clipped.
    void Place(wxWindow* control, int x, int y, int width, int height) const;

  private:
    wxWindow* m_dialog;
};

}  // namespace tv::gui
