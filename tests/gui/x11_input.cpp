#include "x11_input.h"

#include <gdk/gdkx.h>

#include <X11/extensions/XTest.h>

namespace agent::testing {

namespace {
Display* display() {
    return gdk_x11_display_get_xdisplay(gdk_display_get_default());
}
}  // namespace

void pointer_move_to(int x, int y) {
    XTestFakeMotionEvent(display(), -1, x, y, CurrentTime);
    XFlush(display());
}

void pointer_button(bool pressed) {
    XTestFakeButtonEvent(display(), 1, pressed ? True : False, CurrentTime);
    XFlush(display());
}

}  // namespace agent::testing
