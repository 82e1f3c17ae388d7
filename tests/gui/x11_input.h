#pragma once

// Real pointer input through the X server (XTest), kept apart from the tests because the
// X headers' macros collide with GoogleTest's names.
namespace agent::testing {

void pointer_move_to(int x, int y);
void pointer_button(bool pressed);

}  // namespace agent::testing
