#include "app/gui/program_icon.h"

#include <wx/dcmemory.h>
#include <wx/graphics.h>
#include <wx/icon.h>
#include <wx/image.h>

#include <memory>

namespace tv::gui {

wxBitmap ProgramIcon(int size) {
    wxImage image(size, size);
    image.InitAlpha();
    std::fill_n(image.GetAlpha(), size * size, static_cast<unsigned char>(0));
    wxBitmap bitmap(image, 32);
    {
        wxMemoryDC dc(bitmap);
        std::unique_ptr<wxGraphicsContext> gc(wxGraphicsContext::Create(dc));
        if (!gc) return bitmap;
        gc->Scale(size / 64.0, size / 64.0);
        gc->SetPen(*wxTRANSPARENT_PEN);

        // Film strip.
        gc->SetBrush(wxBrush(wxColour(0x2b, 0x3a, 0x4a)));
        gc->DrawRoundedRectangle(4, 10, 40, 44, 4);
        gc->SetBrush(wxBrush(wxColour(0xe8, 0xee, 0xf4)));
        for (const double y : {14.0, 24.0, 34.0, 44.0}) {
            gc->DrawRoundedRectangle(8, y, 5, 5, 1);
            gc->DrawRoundedRectangle(35, y, 5, 5, 1);
        }
        gc->SetBrush(wxBrush(wxColour(0x4f, 0x9f, 0xd8)));
        gc->DrawRoundedRectangle(16, 16, 16, 32, 2);

        // Arrow out of the strip.
        wxGraphicsPath arrow = gc->CreatePath();
        arrow.MoveToPoint(30, 22);
        arrow.AddLineToPoint(50, 22);
        arrow.AddLineToPoint(50, 13);
        arrow.AddLineToPoint(62, 32);
        arrow.AddLineToPoint(50, 51);
        arrow.AddLineToPoint(50, 42);
        arrow.AddLineToPoint(30, 42);
        arrow.CloseSubpath();
        gc->SetBrush(wxBrush(wxColour(0xf2, 0x9b, 0x30)));
        gc->SetPen(wxPen(*wxWHITE, 2));
        gc->DrawPath(arrow);
    }
    return bitmap;
}

wxIconBundle ProgramIcons() {
    wxIconBundle icons;
    for (const int size : {16, 32, 48, 64}) {
        wxIcon icon;
        icon.CopyFromBitmap(ProgramIcon(size));
        icons.AddIcon(icon);
    }
    return icons;
}

}  // namespace tv::gui
