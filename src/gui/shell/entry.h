#pragma once

namespace varnelagent {

// The program: one copy per user session, the main window and its loop. Returns the exit
// code: 0 when the program ended, also after a fatal start-up error (shown in a message
// box titled "ERROR") and when another copy was running (it is asked to show itself).
int run_agent(int argc, char** argv);

}  // namespace varnelagent
