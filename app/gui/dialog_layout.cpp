#include "app/gui/dialog_layout.h"

#include <wx/fontenum.h>
#include <wx/settings.h>

#include <algorithm>

namespace tv::gui {

wxFont DialogFont() {
    static const char* const kSongFaces[] = {"SimSun", "NSimSun", "AR PL UMing CN",
                                             "AR PL SungtiL GB"};
    for (const char* face : kSongFaces) {
        if (wxFontEnumerator::IsValidFacename(face)) {
            return wxFont(wxFontInfo(9).FaceName(face));
        }
    }
    wxFont font = wxSystemSettings::GetFont(wxSYS_DEFAULT_GUI_FONT);
    font.SetPointSize(9);
    return font;
}

void DialogLayout::Place(wxWindow* control, int x, int y, int width, int height) const {
    wxPoint position = Point(x, y);
    wxSize size = Size(width, height);
    const int needed = control->GetBestSize().GetHeight();
    if (needed > size.GetHeight()) {
        position.y -= (needed - size.GetHeight()) / 2;
        size.SetHeight(needed);
    }
    control->SetSize(wxRect(position, size));
}

}  // namespace tv::gui
