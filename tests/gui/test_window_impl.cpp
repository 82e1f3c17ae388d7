// The main window with the stand-in provider: which page comes first, what closing does on
// each page, the tray commands under a dialog, dialogs asked for by workers, new messages,
// and signing out while the stream's callback waits for the GUI thread.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <sstream>
#include <future>
#include <thread>

#include "gui/error.h"
#include "gui/pages/modal_dialog.h"
#include "model/agent_client.h"
#include "model/update_service.h"
#include "shell_fixture.h"

namespace agent::testing {
namespace {

using namespace varnelagent;

class WindowImplTest : public ShellTest {
protected:
    std::filesystem::path sid_file() const {
        return std::filesystem::path(details::wide_to_utf8(home().data_directory())) / "sid";
    }

    sandbox::Message push(const std::string& subject) {
        sandbox::Message message;
        message.subject = subject;
        message.organization = "ФНС России";
        message.body = "Требование о представлении пояснений";
        return server().push_message(message);
    }

    void signed_in() {
        write_config();
        remember_session();
        start();
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
        ASSERT_TRUE(pump_until([&] { return server().open_streams() == 1; }));
    }
};

TEST_F(WindowImplTest, AFirstRunShowsTheOverviewAndClosingLeadsToSignInThenOut) {
    start();
    ASSERT_TRUE(wait_page(OVERVIEW_PAGE));
    EXPECT_FALSE(shell_->tray().shown());
    post_close(shell_->handle());
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_FALSE(shell_->tray().shown());
    post_close(shell_->handle());
    EXPECT_TRUE(pump_until([&] { return ended_; }));
    EXPECT_EQ(server().open_streams(), 0u);
}

TEST_F(WindowImplTest, ARememberedSessionGoesStraightToTheNotificationsAndLivesInTheTray) {
    signed_in();
    EXPECT_TRUE(shell_->tray().shown());
    EXPECT_TRUE(shell_->client().update_service().is_checking());

    // Closing only hides; Open and the tray icon's own click bring it back.
    post_close(shell_->handle());
    ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
    EXPECT_EQ(page_kind(), NOTIFICATIONS_PAGE);
    command(ID_OPEN);
    EXPECT_TRUE(pump_until([&] { return shell_->window().visible(); }));
    shell_->window().hide();
    command(0);
    EXPECT_TRUE(pump_until([&] { return shell_->window().visible(); }));

    // A page link switches the page; closing it hides again.
    post_show_page(shell_->handle(), HELP_PAGE);
    ASSERT_TRUE(wait_page(HELP_PAGE));
    post_close(shell_->handle());
    ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));

    // Change user ends the session here and on the server.
    command(ID_CHANGE_USER);
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_FALSE(shell_->tray().shown());
    EXPECT_FALSE(shell_->client().has_session());
    EXPECT_FALSE(shell_->client().update_service().is_checking());
    EXPECT_FALSE(std::filesystem::exists(sid_file()));
    EXPECT_TRUE(pump_until([&] { return server().open_streams() == 0; }));
    bool closed_on_server = false;
    for (const auto& request : server().requests())
        closed_on_server |= request.method == "DELETE" && request.path.starts_with("/auth/sessions/");
    EXPECT_TRUE(closed_on_server);
}

TEST_F(WindowImplTest, TrayCommandsGiveWayToTheDialogShown) {
    signed_in();
    auto save_later = dialog_from_worker(Json::Value("res:save.html"));
    pages::ModalDialog* save = nullptr;
    ASSERT_TRUE(run_steps({
        on_dialog(SAVE_DIALOG,
                  [&](pages::ModalDialog& dialog) {
                      save = &dialog;
                      post_command(ID_EXIT);
                      post_command(ID_CHANGE_USER);
                      post_command(ID_OPEN);
                  }),
        pause(std::chrono::milliseconds(300)),
        [&] {
            EXPECT_FALSE(ended_);
            EXPECT_TRUE(save->alive());
            EXPECT_TRUE(shell_->client().has_session());
            answer(*save, Json::Value(false));
            return true;
        },
    }));
    ASSERT_TRUE(ready(save_later));
    EXPECT_EQ(save_later.get(), Json::Value(false));

    // An error dialog gives way to Exit: it closes and the program ends.
    auto error_later = dialog_from_worker(Json::Value("res:error.html"));
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog&) { post_command(ID_EXIT); })}));
    EXPECT_TRUE(pump_until([&] { return ended_; }));
    ASSERT_TRUE(ready(error_later));
    EXPECT_EQ(error_later.get(), Json::Value(false));
    EXPECT_TRUE(std::filesystem::exists(sid_file())) << "Exit keeps the session for the next start";
}

TEST_F(WindowImplTest, NewMessagesPopUpOnlyWhileHiddenAndNotSilent) {
    signed_in();
    // Shown: the list gets the message, no popup.
    push("Видно в списке");
    pump_for(std::chrono::milliseconds(500));
    EXPECT_EQ(shell_->current_dialog(), nullptr);

    // Hidden and silent: still no popup, but the tray counts what waits.
    post_close(shell_->handle());
    ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
    EXPECT_FALSE(shell_->tray().silent_check());
    command(ID_SILENT_MODE);
    ASSERT_TRUE(shell_->tray().silent_check());
    push("Тихо");
    ASSERT_TRUE(pump_until([&] { return shell_->tray().unread() == 1; }));
    EXPECT_EQ(shell_->tray().title(), "Варнел.Агент — 1 новое уведомление");
    EXPECT_EQ(shell_->current_dialog(), nullptr);

    // Hidden, not silent: the popup.
    command(ID_SILENT_MODE);
    push("Новое из налоговой");
    // Open from the tray closes the popup and shows the window.
    pages::ModalDialog* popup = nullptr;
    ASSERT_TRUE(run_steps({
        on_dialog(MESSAGE_POPUP,
                  [&](pages::ModalDialog& dialog) {
                      popup = &dialog;
                      EXPECT_TRUE(dialog.host_window()->visible());
                      EXPECT_FALSE(shell_->window().visible());
                      EXPECT_EQ(shell_->tray().unread(), 2);
                      dialog.host_window()->snapshot_png(artifact("popup_shell.png"));
                      post_command(ID_OPEN);
                  }),
    }));
    EXPECT_TRUE(pump_until([&] { return shell_->window().visible(); }));
    EXPECT_FALSE(popup->alive());
    EXPECT_EQ(shell_->tray().unread(), 0) << "the list is in sight again";
}

TEST_F(WindowImplTest, DialogsAskedForByWorkersRunWhileTheGuiSitsInANestedLoop) {
    signed_in();
    auto shown = std::async(std::launch::async, [handle = shell_->handle()] {
        return error::show_error_code(error::ERROR_PROXY, handle);
    });
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
        dialog.host_window()->snapshot_png(artifact("dialog_error_code4.png"));
        EXPECT_FALSE(shell_->current_page()->hide_allowed());
        answer(dialog, Json::Value(true));
    })}));
    ASSERT_TRUE(ready(shown));
    EXPECT_EQ(shown.get(), Json::Value(true));
    EXPECT_TRUE(shell_->current_page()->hide_allowed());
    EXPECT_FALSE(shell_->current_dialog()->alive());

    // A page link inside the dialog closes it and switches the main window.
    auto linked = std::async(std::launch::async, [handle = shell_->handle()] {
        return error::show_error_code(error::ERROR_PROXY, handle);
    });
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
        post_show_page(dialog.handle(), SETTINGS_PAGE);
    })}));
    ASSERT_TRUE(wait_page(SETTINGS_PAGE));
    ASSERT_TRUE(ready(linked));
    EXPECT_EQ(linked.get(), Json::Value(false));

    // The other dialogs, kept as pictures.
    Json::Value proxy(Json::objectValue);
    proxy["page"] = "res:proxy.html";
    proxy["proxy"] = error::proxy_to_value({winhttp::NamedProxy, L"proxy.example:3128", L"", L"", L"", L""});
    const std::pair<Json::Value, const char*> others[] = {
        {Json::Value("res:save.html"), "dialog_save.png"},
        {Json::Value("res:credentials.html"), "dialog_credentials.png"},
        {proxy, "dialog_proxy.png"},
    };
    for (const auto& [request, picture] : others) {
        auto result = dialog_from_worker(request);
        const PageKind kind = dialog_document(request) == "res:save.html" ? SAVE_DIALOG : MESSAGE_DIALOG;
        ASSERT_TRUE(run_steps({on_dialog(kind, [&, picture = picture](pages::ModalDialog& dialog) {
            dialog.host_window()->snapshot_png(artifact(picture));
            answer(dialog, Json::Value(false));
        })}));
        ASSERT_TRUE(ready(result));
    }
}

// The stream's callback waits for the GUI thread (a popup for a new message) at the very
// moment the GUI thread signs out, which stops the stream and waits for the callback.
TEST_F(WindowImplTest, SigningOutNeverWaitsForACallbackThatWaitsForIt) {
    signed_in();
    for (int round = 0; round < 8; ++round) {
        post_close(shell_->handle());
        ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
        push("Пока вы выходите " + std::to_string(round));
        // Not serving the loop: the stream's callback now waits for this thread.
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        command(ID_CHANGE_USER);
        ASSERT_TRUE(wait_page(AUTH_PAGE)) << "round " << round;
        EXPECT_FALSE(shell_->session_running());
        shell_->client().authenticate(details::utf8_to_wide(sandbox::Server::DEMO_LOGIN),
                                      details::utf8_to_wide(sandbox::Server::DEMO_PASSWORD), false);
        post_show_page(shell_->handle(), NOTIFICATIONS_PAGE, true);
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
        ASSERT_TRUE(pump_until([&] { return server().open_streams() == 1; }));
    }
}

// The page engine's process dies (a crash, the out-of-memory killer): the window comes back
// with a fresh page of the same kind instead of staying blank.
TEST_F(WindowImplTest, AnEngineThatDiesUnderThePageIsReplaced) {
    signed_in();
    const auto* before = shell_->current_page();
    pid_t engine = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        const std::string comm = read_text(entry.path() / "comm");
        const std::string stat = read_text(entry.path() / "stat");
        const auto close = stat.rfind(')');
        if (comm.rfind("WebKitWebProces", 0) != 0 || close == std::string::npos)
            continue;
        std::istringstream rest(stat.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid())
            engine = std::stoi(entry.path().filename().string());
    }
    ASSERT_NE(engine, 0) << "no web process of ours";
    ::kill(engine, SIGKILL);
    EXPECT_TRUE(pump_until([&] {
        auto* page = shell_->current_page();
        return page != before && page && page->kind() == NOTIFICATIONS_PAGE && page->host_window()->loaded();
    }));
    EXPECT_TRUE(shell_->window().visible());
}

// The desktop's session ends (SIGTERM) at the moment the stream's callback waits for the
// GUI thread: the program ends at once, keeping the session for the next start.
TEST_F(WindowImplTest, TerminatingNeverWaitsForACallbackThatWaitsForIt) {
    write_config();
    remember_session();
    for (int round = 0; round < 4; ++round) {
        ended_ = false;
        const std::size_t streams = server().streams_opened();
        start();
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
        // The server learns of the previous round's stream only when it next writes to it.
        ASSERT_TRUE(pump_until([&] { return server().streams_opened() > streams; }));
        post_close(shell_->handle());
        ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
        push("Сеанс рабочего стола кончается " + std::to_string(round));
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        shell_->terminate();
        EXPECT_TRUE(ended_);
        EXPECT_FALSE(shell_->session_running());
        shell_.reset();
        EXPECT_TRUE(std::filesystem::exists(sid_file()));
    }
}

}  // namespace
}  // namespace agent::testing
