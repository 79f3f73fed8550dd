// The About box.
#pragma once

#include <wx/dialog.h>

class CAboutDialog : public wxDialog {
  public:
    explicit CAboutDialog(wxWindow* parent);
};
