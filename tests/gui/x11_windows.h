#pragma once

#include <string>

// What the X server shows, read with plain Xlib (the program under test is another process).
namespace agent::testing {

// Whether a window with exactly this title is mapped on the display.
bool window_titled(const std::string& title);
// A real key press and release of Return in the window with this title.
void press_return(const std::string& title);

}  // namespace agent::testing
