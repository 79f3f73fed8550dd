#include "x11_windows.h"

#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace tvtest::x11 {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

Display* Connection() {
    static std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    return display.get();
}

// XQueryTree: the window's parent and its children, bottom to top; false when it fails.
bool QueryTree(Display* display, Window window, Window& parent, std::vector<Window>& children) {
    Window root = 0;
    Window* list = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, window, &root, &parent, &list, &count) == 0) return false;
    children.assign(list, list + count);
    if (list != nullptr) XFree(list);
    return true;
}

}  // namespace

uint64_t TopWindow() {
    Display* display = Connection();
    if (display == nullptr) return 0;
    Window parent = 0;
    std::vector<Window> children;
    if (!QueryTree(display, DefaultRootWindow(display), parent, children)) return 0;
    for (auto child = children.rbegin(); child != children.rend(); ++child) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, *child, &attributes) != 0 &&
            attributes.map_state == IsViewable && !attributes.override_redirect) {
            return *child;
        }
    }
    return 0;
}

void FocusWindow(uint64_t window) {
    Display* display = Connection();
    if (display == nullptr || window == 0) return;
    XRaiseWindow(display, static_cast<Window>(window));
    XSetInputFocus(display, static_cast<Window>(window), RevertToParent, CurrentTime);
    XSync(display, False);
}

bool HasFocus(uint64_t window) {
    Display* display = Connection();
    if (display == nullptr || window == 0) return false;
    Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    const Window rootWindow = DefaultRootWindow(display);
    // Walk up from the focus to the root.
    for (int depth = 0; focus != 0 && focus != PointerRoot && depth < 64; ++depth) {
        if (focus == window) return true;
        if (focus == rootWindow) return false;
        Window parent = 0;
        std::vector<Window> children;
        if (!QueryTree(display, focus, parent, children)) return false;
        focus = parent;
    }
    return false;
}

std::vector<uint8_t> CaptureScreen(int x, int y, int width, int height) {
    Display* display = Connection();
    if (display == nullptr || width <= 0 || height <= 0) return {};
    XImage* image =
        XGetImage(display, DefaultRootWindow(display), x, y, static_cast<unsigned>(width),
                  static_cast<unsigned>(height), AllPlanes, ZPixmap);
    if (image == nullptr) return {};
    // Channel positions from the visual's masks (Xvfb at 24 bits: 0xff0000, 0xff00, 0xff).
    const auto shiftOf = [](unsigned long mask) {
        int shift = 0;
        while (mask != 0 && (mask & 1) == 0) mask >>= 1, ++shift;
        return shift;
    };
    const int red = shiftOf(image->red_mask);
    const int green = shiftOf(image->green_mask);
    const int blue = shiftOf(image->blue_mask);
    std::vector<uint8_t> rgb;
    rgb.reserve(static_cast<size_t>(width) * height * 3);
    for (int row = 0; row < height; ++row) {
        for (int column = 0; column < width; ++column) {
            const unsigned long pixel = XGetPixel(image, column, row);
            rgb.push_back(static_cast<uint8_t>(pixel >> red));
            rgb.push_back(static_cast<uint8_t>(pixel >> green));
            rgb.push_back(static_cast<uint8_t>(pixel >> blue));
        }
    }
    XDestroyImage(image);
    return rgb;
}

}  // namespace tvtest::x11
