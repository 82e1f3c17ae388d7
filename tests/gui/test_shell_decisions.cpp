// The main window's rules on their own: no display, no page engine, no server.
#include <gtest/gtest.h>

#include "gui/shell/shell_decisions.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using namespace varnelagent::decisions;

// Signed in, hidden in the tray with the list as its page: where most events find the shell.
ShellState in_the_tray() {
    ShellState state;
    state.session_running = true;
    state.page = NOTIFICATIONS_PAGE;
    return state;
}

TEST(ShellDecisions, NewMessagesGoToThePopupTheDesktopOrNowhere) {
    struct Case {
        const char* name;
        bool visible, silent, desktop, quiet;
        Announcement expected;
    };
    const Case cases[] = {
        {"hidden", false, false, false, false, Announcement::Popup},
        {"shown: the list has them", true, false, false, false, Announcement::None},
        {"shown, desktop chosen", true, false, true, false, Announcement::None},
        {"silent mode", false, true, false, false, Announcement::None},
        {"silent mode beats the desktop", false, true, true, false, Announcement::None},
        {"desktop chosen", false, false, true, false, Announcement::DesktopNotices},
        {"desktop chosen, it asks for quiet: its own rules", false, false, true, true, Announcement::DesktopNotices},
        {"do not disturb: no popup", false, false, false, true, Announcement::None},
    };
    for (const Case& c : cases) {
        ShellState state = in_the_tray();
        state.window_visible = c.visible;
        state.silent_mode = c.silent;
        state.desktop_notices = c.desktop;
        state.do_not_disturb = c.quiet;
        EXPECT_EQ(announce(state), c.expected) << c.name;
    }
    // The engine let go changes nothing: the popup brings it back.
    ShellState released = in_the_tray();
    released.page.reset();
    released.parked = NOTIFICATIONS_PAGE;
    EXPECT_EQ(announce(released), Announcement::Popup);
}

TEST(ShellDecisions, TheTrayCountsOnlyWhatArrivesUnseen) {
    ShellState state = in_the_tray();
    EXPECT_TRUE(counts_unread(state));
    state.silent_mode = true;  // silent means no popup, not nothing to read
    EXPECT_TRUE(counts_unread(state));
    state.window_visible = true;
    EXPECT_FALSE(counts_unread(state));
    state.window_visible = false;
    state.session_running = false;  // a batch still on its way after sign-out
    EXPECT_FALSE(counts_unread(state));
}

TEST(ShellDecisions, WhatTheDesktopRefusedReachesThePopupOnlyIfItStillMay) {
    ShellState state = in_the_tray();
    state.desktop_notices = true;
    EXPECT_TRUE(refused_notices_to_popup(state));
    ShellState shown = state;
    shown.window_visible = true;  // opened while the desktop answered
    EXPECT_FALSE(refused_notices_to_popup(shown));
    ShellState silent = state;
    silent.silent_mode = true;  // switched on while the desktop answered
    EXPECT_FALSE(refused_notices_to_popup(silent));
    ShellState quiet = state;
    quiet.do_not_disturb = true;
    EXPECT_FALSE(refused_notices_to_popup(quiet));
    ShellState ended = state;
    ended.session_running = false;
    EXPECT_FALSE(refused_notices_to_popup(ended));
}

TEST(ShellDecisions, TheCloseButtonHidesSignedInAndLeavesOtherwise) {
    ShellState state;
    state.window_visible = true;
    for (PageKind kind : {NOTIFICATIONS_PAGE, HELP_PAGE, SETTINGS_PAGE}) {
        state.page = kind;
        EXPECT_EQ(close(state), CloseAction::Hide) << kind;
    }
    state.page = OVERVIEW_PAGE;
    EXPECT_EQ(close(state), CloseAction::ShowSignIn);
    state.page = AUTH_PAGE;
    EXPECT_EQ(close(state), CloseAction::Exit);
    state.page.reset();
    EXPECT_EQ(close(state), CloseAction::Exit);
    state.parked = SETTINGS_PAGE;  // the page was let go: still signed in
    EXPECT_EQ(close(state), CloseAction::Hide);
}

TEST(ShellDecisions, TrayCommandsUnderADialogOrThePopup) {
    struct Case {
        std::optional<PageKind> dialog;
        unsigned command;
        DialogFirst expected;
    };
    const Case cases[] = {
        {std::nullopt, ID_OPEN, DialogFirst::Proceed},
        {std::nullopt, ID_EXIT, DialogFirst::Proceed},
        {MESSAGE_POPUP, 0, DialogFirst::ClosePopup},
        {MESSAGE_POPUP, ID_OPEN, DialogFirst::ClosePopup},
        {MESSAGE_POPUP, ID_CHANGE_USER, DialogFirst::ClosePopup},
        {MESSAGE_POPUP, ID_EXIT, DialogFirst::ClosePopup},
        {MESSAGE_POPUP, ID_SILENT_MODE, DialogFirst::Proceed},
        {MESSAGE_DIALOG, ID_OPEN, DialogFirst::Ignore},
        {MESSAGE_DIALOG, 0, DialogFirst::Ignore},
        {MESSAGE_DIALOG, ID_CHANGE_USER, DialogFirst::CloseDialogAndRepeat},
        {MESSAGE_DIALOG, ID_EXIT, DialogFirst::CloseDialogAndRepeat},
        {MESSAGE_DIALOG, ID_INSTRUCTION, DialogFirst::Proceed},
        {MESSAGE_DIALOG, ID_SILENT_MODE, DialogFirst::Proceed},
        // The save question holds unsaved work: it is answered first.
        {SAVE_DIALOG, ID_EXIT, DialogFirst::Ignore},
        {SAVE_DIALOG, ID_CHANGE_USER, DialogFirst::Ignore},
        {SAVE_DIALOG, ID_OPEN, DialogFirst::Ignore},
    };
    for (const Case& c : cases) {
        ShellState state = in_the_tray();
        state.dialog = c.dialog;
        EXPECT_EQ(command_under_dialog(state, c.command), c.expected)
            << "dialog " << (c.dialog ? int(*c.dialog) : -1) << ", command " << c.command;
    }
}

TEST(ShellDecisions, ThePageEngineStaysWhileAnythingIsOnTheScreen) {
    ShellState state = in_the_tray();
    EXPECT_TRUE(may_release_engine(state));
    for (PageKind dialog : {MESSAGE_POPUP, MESSAGE_DIALOG, SAVE_DIALOG}) {
        state.dialog = dialog;
        EXPECT_FALSE(may_release_engine(state)) << dialog;
    }
}

}  // namespace
}  // namespace agent::testing
