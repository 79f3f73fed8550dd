#include "app/gui/about_dialog.h"

#include <wx/button.h>
#include <wx/statbmp.h>
#include <wx/stattext.h>

#include "app/gui/dialog_layout.h"
#include "app/gui/program_icon.h"
#include "app/gui/resource.h"

CAboutDialog::CAboutDialog(wxWindow* parent) {
    // Template IDD_ABOUT: 235 x 55 dialog units, not translated.
    Create(parent, IDD_ABOUT, wxString::FromUTF8("关于 Torvane"), wxDefaultPosition, wxDefaultSize,
           wxDEFAULT_DIALOG_STYLE);
    SetFont(tv::gui::DialogFont());

    const tv::gui::DialogLayout layout(this);
    new wxStaticBitmap(this, wxID_ANY, tv::gui::ProgramIcon(32), layout.Point(11, 17));
    new wxStaticText(this, wxID_ANY, wxString::FromUTF8("Torvane " TORVANE_VERSION_TEXT " 版"),
                     layout.Point(40, 10), layout.Size(119, 8));
    auto* ok = new wxButton(this, wxID_OK, wxString::FromUTF8("确定"), layout.Point(178, 7),
                            layout.Size(50, 14));
    ok->SetDefault();
    ok->SetFocus();
    SetClientSize(layout.Size(235, 55));
    CentreOnParent();
}
