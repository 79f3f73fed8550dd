#include "app/gui/x11_windows.h"

#include <X11/Xlib.h>

#include <memory>

namespace tv::gui::automation {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

Display* Connection() {
    static std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    return display.get();
}

}  // namespace

uint64_t TopWindow() {
    Display* display = Connection();
    if (display == nullptr) return 0;
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count) == 0) {
        return 0;
    }
    uint64_t top = 0;
    // Children come bottom to top.
    for (unsigned int i = count; i-- > 0 && top == 0;) {
        XWindowAttributes attributes;
        if (XGetWindowAttributes(display, children[i], &attributes) != 0 &&
            attributes.map_state == IsViewable && !attributes.override_redirect) {
            top = children[i];
        }
    }
    if (children != nullptr) XFree(children);
    return top;
}

void FocusWindow(uint64_t window) {
    Display* display = Connection();
    if (display == nullptr || window == 0) return;
    XRaiseWindow(display, static_cast<Window>(window));
    XSetInputFocus(display, static_cast<Window>(window), RevertToParent, CurrentTime);
    XSync(display, False);
}

}  // namespace tv::gui::automation

namespace tv::gui::automation {

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
        Window root = 0;
        Window parent = 0;
        Window* children = nullptr;
        unsigned int count = 0;
        if (XQueryTree(display, focus, &root, &parent, &children, &count) == 0) return false;
        if (children != nullptr) XFree(children);
        focus = parent;
    }
    return false;
}

}  // namespace tv::gui::automation
