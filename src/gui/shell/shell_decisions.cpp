#include "gui/shell/shell_decisions.h"

namespace varnelagent::decisions {

Announcement announce(const ShellState& state) {
    if (state.window_visible || state.silent_mode)
        return Announcement::None;
    if (state.desktop_notices)
        return Announcement::DesktopNotices;
    if (state.do_not_disturb)
        return Announcement::None;
    return Announcement::Popup;
}

bool counts_unread(const ShellState& state) {
    return !state.window_visible && state.session_running;
}

bool refused_notices_to_popup(const ShellState& state) {
    return state.session_running && !state.window_visible && !state.silent_mode && !state.do_not_disturb;
}

CloseAction close(const ShellState& state) {
    if (!state.page)
        return state.parked ? CloseAction::Hide : CloseAction::Exit;
    if (*state.page == OVERVIEW_PAGE)
        return CloseAction::ShowSignIn;
    if (*state.page == AUTH_PAGE)
        return CloseAction::Exit;
    return CloseAction::Hide;
}

DialogFirst command_under_dialog(const ShellState& state, unsigned command) {
    if (!state.dialog)
        return DialogFirst::Proceed;
    const PageKind dialog = *state.dialog;
    if (command == ID_OPEN || command == 0)
        return dialog == MESSAGE_POPUP ? DialogFirst::ClosePopup : DialogFirst::Ignore;
    if (command == ID_CHANGE_USER || command == ID_EXIT) {
        if (dialog == SAVE_DIALOG)
            return DialogFirst::Ignore;
        return dialog == MESSAGE_POPUP ? DialogFirst::ClosePopup : DialogFirst::CloseDialogAndRepeat;
    }
    return DialogFirst::Proceed;
}

bool may_release_engine(const ShellState& state) {
    return !state.dialog;
}

}  // namespace varnelagent::decisions
