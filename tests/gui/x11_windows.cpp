#include "x11_windows.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

namespace agent::testing {

namespace {

struct DisplayCloser {
    void operator()(Display* display) const { XCloseDisplay(display); }
};

std::string title_of(Display* display, Window window) {
    Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom name = XInternAtom(display, "_NET_WM_NAME", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long after = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, name, 0, 1024, False, utf8, &type, &format, &count, &after, &data) ==
            Success &&
        data != nullptr) {
        title.assign(reinterpret_cast<char*>(data), count);
        XFree(data);
    }
    if (title.empty()) {
        char* name = nullptr;
        if (XFetchName(display, window, &name) && name != nullptr) {
            title = name;
            XFree(name);
        }
    }
    return title;
}

Window search(Display* display, Window window, const std::string& title) {
    XWindowAttributes attributes;
    if (XGetWindowAttributes(display, window, &attributes) && attributes.map_state == IsViewable &&
        title_of(display, window) == title)
        return window;
    Window root = 0;
    Window parent = 0;
    Window* children = nullptr;
    unsigned int count = 0;
    if (!XQueryTree(display, window, &root, &parent, &children, &count))
        return 0;
    Window found = 0;
    for (unsigned int i = 0; i < count && !found; ++i)
        found = search(display, children[i], title);
    if (children != nullptr)
        XFree(children);
    return found;
}

}  // namespace

bool window_titled(const std::string& title) {
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return false;
    return search(display.get(), DefaultRootWindow(display.get()), title) != 0;
}

void press_return(const std::string& title) {
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return;
    // Without a window manager the keyboard follows the pointer: put it over the window.
    const Window window = search(display.get(), DefaultRootWindow(display.get()), title);
    XWindowAttributes attributes;
    if (window != 0 && XGetWindowAttributes(display.get(), window, &attributes)) {
        int x = 0;
        int y = 0;
        Window child = 0;
        XTranslateCoordinates(display.get(), window, DefaultRootWindow(display.get()), attributes.width / 2,
                              attributes.height / 2, &x, &y, &child);
        XTestFakeMotionEvent(display.get(), -1, x, y, CurrentTime);
        XSync(display.get(), False);
    }
    const KeyCode code = XKeysymToKeycode(display.get(), XK_Return);
    XTestFakeKeyEvent(display.get(), code, True, CurrentTime);
    XTestFakeKeyEvent(display.get(), code, False, CurrentTime);
    XFlush(display.get());
}

}  // namespace agent::testing
