#pragma once

#include <optional>

#include "gui/shell_messages.h"

// What the main window decides, apart from what it then does: given the state of the shell
// and an event, what happens. Nothing here touches a window, the page engine or the network,
// so the rules are tested without a display.
namespace varnelagent::decisions {

// What the shell is like at the moment of an event.
struct ShellState {
    bool window_visible = false;
    bool session_running = false;
    // The page of the main window, if one lives (none while the page engine is let go).
    std::optional<PageKind> page;
    // The page let go while hidden in the tray, made again when needed.
    std::optional<PageKind> parked;
    // The dialog or popup on the screen, if any.
    std::optional<PageKind> dialog;
    bool silent_mode = false;
    // The user chose the desktop's notification centre for new messages.
    bool desktop_notices = false;
    // The desktop asks for quiet (the notification service is inhibited, or GNOME's banners
    // are off).
    bool do_not_disturb = false;
};

// Where a batch of new messages is announced.
enum class Announcement { None, Popup, DesktopNotices };

// New messages: nothing while the window is shown (the list has them) or in silent mode;
// the desktop's notices when chosen (the service keeps them by its own rules even when it
// asks for quiet); otherwise the popup, unless the desktop asks for quiet.
Announcement announce(const ShellState& state);

// Whether the tray counts new messages as waiting unseen: while the window is hidden.
bool counts_unread(const ShellState& state);

// Messages the desktop's notices did not take go to the popup, if it still may appear: not
// once the window has been shown, nor in silent mode or while the desktop asks for quiet.
bool refused_notices_to_popup(const ShellState& state);

// The window's close button (WM_CLOSE).
enum class CloseAction { Hide, ShowSignIn, Exit };
CloseAction close(const ShellState& state);

// A tray command (WM_COMMAND) under a dialog or the popup.
enum class DialogFirst {
    // No dialog in the way: the command goes ahead.
    Proceed,
    // The command does nothing now (Open under a message dialog, Exit or Change user under
    // the save question).
    Ignore,
    // The popup closes, then the command goes ahead.
    ClosePopup,
    // The dialog closes, and the command comes again from the queue once the dialog's loop
    // has ended (leaving the page may ask a question in a dialog of its own).
    CloseDialogAndRepeat,
};
DialogFirst command_under_dialog(const ShellState& state, unsigned command);

// Whether the page engine may be let go now while the window hides in the tray: not while a
// popup or dialog is on the screen (the page's own unsaved work is asked of the page).
bool may_release_engine(const ShellState& state);

}  // namespace varnelagent::decisions
