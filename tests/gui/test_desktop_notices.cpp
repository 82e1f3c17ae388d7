// New messages in the desktop's notification centre, in the real shell against the stand-in
// provider and a notification service of the tests' own on the session bus: three notices
// and then one grouped, plain text out of markup, the actions, withdrawal of what was read,
// the popup whenever the service does not take a notice (absent, refusing, slow, gone), a
// hanging icon, and the desktop's do-not-disturb.
#include <gio/gio.h>
#include <webkit2/webkit2.h>

#include <json/reader.h>
#include <json/value.h>

#include <algorithm>

#include "../model/recording_browser.h"
#include "gui/pages/message_popup.h"
#include "model/message_service.h"
#include "notice_service.h"
#include "page_probe.h"
#include "shell_fixture.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using namespace std::chrono_literals;

// The shell and the test share the process's settings backend: the test turns GNOME's
// banners off the way the desktop would, and nothing touches the user's own settings.
const bool memory_settings = [] { return g_setenv("GSETTINGS_BACKEND", "memory", TRUE); }();

constexpr char SENDER[] = "ИФНС России № 46 по г. Москве";
constexpr char GROUP_TITLE[] = "Варнел.Агент";

class DesktopNoticesTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        ASSERT_TRUE(memory_settings);
        MessageService::clear_read_queue_for_testing();
        service = std::make_unique<NoticeService>();
    }

    void TearDown() override {
        shell_.reset();
        service.reset();
        ShellTest::TearDown();
    }

    // The demo user signed in, the list shown and then hidden (the window in the tray).
    void signed_in(bool desktop_notifications = true) {
        write_config(desktop_notifications ? "desktop_notifications = 1\n" : "");
        remember_session();
        start();
        browser = std::make_shared<RecordingBrowser>();
        shell_->client().uri_service().set_browser(browser);
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
        ASSERT_TRUE(pump_until([&] { return server().open_streams() == 1; }));
        ASSERT_TRUE(pump_until([&] { return eval("document.body.dataset.ready") == "true"; }));
        post_close(shell_->handle());
        ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
    }

    sandbox::Message push(const std::string& subject, const std::string& link = {}, const std::string& icon = {}) {
        sandbox::Message message;
        message.subject = subject;
        message.organization = SENDER;
        message.body = "Поступило требование о представлении пояснений.\nВторая строка.";
        message.link = link;
        message.icon = icon;
        return server().push_message(message);
    }

    // The notice whose body begins with the subject, once the service shows it.
    std::optional<NoticeService::Notice> notice(const std::string& subject) {
        std::optional<NoticeService::Notice> found;
        pump_until([&] {
            for (const auto& shown : service->shown())
                if (shown.body.rfind(subject, 0) == 0)
                    found = shown;
            return found.has_value();
        });
        return found;
    }

    bool showing(const std::string& subject) const {
        const auto shown = service->shown();
        return std::any_of(shown.begin(), shown.end(), [&](const auto& n) { return n.body.rfind(subject, 0) == 0; });
    }

    bool popup_up() const {
        auto* dialog = shell_->current_dialog();
        return dialog != nullptr && dialog->alive() && dialog->kind() == MESSAGE_POPUP;
    }
    // The list (hidden behind) has taken the message: the batch has been dealt with.
    bool listed(const std::string& subject) {
        return eval("document.querySelector('#List .message__title')?.textContent") == subject;
    }

    std::size_t popup_held() const {
        auto* popup = dynamic_cast<pages::MessagePopup*>(shell_->current_dialog());
        return popup != nullptr && popup->alive() ? popup->held() : 0;
    }

    std::vector<std::string> sent_reads() {
        std::vector<std::string> ids;
        for (const auto& request : server().requests("/api/v1/messages/reads")) {
            Json::Value body;
            Json::Reader().parse(request.body, body);
            for (const auto& id : body)
                ids.push_back(id.asString());
        }
        return ids;
    }

    // A script expression's value in the main window's document.
    Json::Value eval(const std::string& expression) {
        return evaluate(shell_->window().web_view(), expression, true);
    }

    std::unique_ptr<NoticeService> service;
    std::shared_ptr<RecordingBrowser> browser;
};

TEST_F(DesktopNoticesTest, ThreeNoticesThenOneGroupedInPlainTextAndNoPopup) {
    service->start();
    signed_in();
    // Markup and control characters from the server are text, never markup; the icon is
    // the message's own.
    sandbox::Message odd;
    odd.subject = "<b>Счёт</b> & \x07оплата \x1b[31m\u202eсрочно";
    odd.organization = "ООО «Ромашка»\t<Филиал>\r\n";
    odd.body = "<i>Первая</i>&nbsp;строка: [ссылка](http://x.example/a) &lt;тег&gt;<br>вторая";
    odd.icon = "bank";
    server().push_message(odd);
    const auto first = notice("&lt;b&gt;Счёт");
    ASSERT_TRUE(first);
    EXPECT_EQ(first->summary, "ООО «Ромашка» <Филиал>");
    EXPECT_EQ(first->body, "&lt;b&gt;Счёт&lt;/b&gt; &amp; оплата [31mсрочно\nПервая строка: ссылка &lt;тег&gt;");
    EXPECT_EQ(first->app_name, "Варнел.Агент");
    EXPECT_EQ(first->image_width, 32) << "the sandbox's own icon";
    // Without a link there is nothing to open: only the list and "Прочитано".
    EXPECT_EQ(first->actions, (std::vector<std::string>{"default", "Открыть список", "read", "Прочитано"}));

    // A burst: two more notices of their own, the rest counted in one notice updated in place.
    for (int i = 0; i < 200; ++i)
        push("Пачка " + std::to_string(i), server().base_url() + "/account?m=" + std::to_string(i));
    ASSERT_TRUE(pump_until(
        [&] {
            const auto shown = service->shown();
            return shown.size() == 4 && std::any_of(shown.begin(), shown.end(), [](const auto& notice) {
                       return notice.summary == GROUP_TITLE && notice.body == "198 новых уведомлений";
                   });
        },
        30s));
    const auto shown = service->shown();
    EXPECT_EQ(std::count_if(shown.begin(), shown.end(), [](const auto& n) { return n.summary == SENDER; }), 2);
    EXPECT_EQ(service->notices().size(), 4u) << "the grouped notice is replaced, not repeated";
    for (const auto& notice : shown) {
        if (notice.summary == SENDER) {
            EXPECT_EQ(notice.body.rfind("Пачка ", 0), 0u);
            EXPECT_NE(notice.body.find("\nПоступило требование о представлении пояснений."), std::string::npos);
            EXPECT_EQ(notice.body.find("Вторая строка"), std::string::npos) << "only the first line";
            EXPECT_EQ(notice.actions.size(), 6u) << "with a link: Открыть";
        }
    }
    EXPECT_FALSE(popup_up());
    EXPECT_TRUE(pump_until([&] { return shell_->tray().unread() == 201; }));
}

TEST_F(DesktopNoticesTest, TheActionsReadOpenSignedInAndShowTheList) {
    service->start();
    signed_in();
    const auto to_open = push("Открой меня", server().base_url() + "/account?message=1");
    const auto to_read = push("Прочти меня", server().base_url() + "/account?message=2");
    const auto opened = notice("Открой меня");
    const auto read = notice("Прочти меня");
    ASSERT_TRUE(opened && read);
    ASSERT_TRUE(pump_until([&] { return shell_->tray().unread() == 2; }));

    // "Открыть": marked read on the server at once, and the link opens signed in.
    service->invoke(opened->id, "open");
    ASSERT_TRUE(pump_until([&] { return sent_reads() == std::vector<std::string>{to_open.id}; }));
    ASSERT_TRUE(pump_until([&] { return browser->opened().size() == 1; }));
    EXPECT_EQ(details::wide_to_utf8(browser->opened()[0]), to_open.link);
    EXPECT_EQ(browser->cookies().size(), 2u) << "opened signed in";
    EXPECT_TRUE(pump_until([&] { return shell_->tray().unread() == 1; }));

    // "Прочитано": marked read, nothing opened.
    service->invoke(read->id, "read");
    ASSERT_TRUE(pump_until([&] { return sent_reads().size() == 2; }));
    EXPECT_EQ(sent_reads()[1], to_read.id);
    EXPECT_TRUE(pump_until([&] { return shell_->tray().unread() == 0; }));
    EXPECT_EQ(browser->opened().size(), 1u);
    EXPECT_TRUE(service->shown().empty());

    // The notice itself: the list, in sight.
    push("Покажи список");
    const auto listed = notice("Покажи список");
    ASSERT_TRUE(listed);
    service->invoke(listed->id, "default");
    EXPECT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    EXPECT_EQ(sent_reads().size(), 2u);
}

TEST_F(DesktopNoticesTest, NoticesOfMessagesReadElsewhereAreWithdrawn) {
    service->start();
    signed_in();
    std::vector<sandbox::Message> pushed;
    for (const char* subject : {"Первое", "Второе", "Третье", "Четвёртое", "Пятое"}) {
        pushed.push_back(push(subject));
        ASSERT_TRUE(pump_until([&] { return service->notify_calls() >= std::min<std::size_t>(pushed.size(), 4); }));
    }
    ASSERT_TRUE(pump_until([&] {
        const auto shown = service->shown();
        return shown.size() == 4 && shown.back().body == "2 новых уведомления";
    }));
    const std::uint32_t group = service->shown().back().id;

    // Read in the list: its notice goes; read among the grouped, the count goes down in place.
    command(ID_OPEN);
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    eval("view.read_message('" + pushed[0].id + "')");
    EXPECT_TRUE(pump_until([&] { return !showing("Первое") && service->shown().size() == 3; }));
    eval("view.read_message('" + pushed[4].id + "')");
    EXPECT_TRUE(pump_until([&] {
        const auto shown = service->shown();
        return std::any_of(shown.begin(), shown.end(),
                           [&](const auto& n) { return n.id == group && n.body == "1 новое уведомление"; });
    }));
    eval("view.read_message('" + pushed[3].id + "')");
    EXPECT_TRUE(pump_until([&] { return service->shown().size() == 2; }));

    // Signing out takes away what is left: it belongs to the user who leaves.
    post_command(ID_CHANGE_USER);
    EXPECT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_TRUE(pump_until([&] { return service->shown().empty(); }));
}

TEST_F(DesktopNoticesTest, WhatTheServiceDoesNotTakeGoesToThePopup) {
    signed_in();
    // No service on the bus.
    push("Без службы");
    ASSERT_TRUE(pump_until([&] { return popup_held() == 1; }));

    // A service that refuses.
    service->start();
    service->set_refusing(true);
    push("Отказ");
    ASSERT_TRUE(pump_until([&] { return popup_held() == 2; }));
    EXPECT_EQ(service->notify_calls(), 1u);

    // One that answers too late: the popup after the call's time-out, and the GUI thread
    // goes on meanwhile.
    service->set_refusing(false);
    service->set_delay(std::chrono::milliseconds(DesktopNotices::CALL_TIMEOUT_MS * 2));
    struct Ticks {
        std::chrono::steady_clock::time_point last = std::chrono::steady_clock::now();
        std::chrono::milliseconds longest{0};
    } ticks;
    const guint ticker = g_timeout_add(
        20,
        +[](gpointer data) -> gboolean {
            auto& ticks = *static_cast<Ticks*>(data);
            const auto now = std::chrono::steady_clock::now();
            ticks.longest = std::max(ticks.longest, std::chrono::duration_cast<std::chrono::milliseconds>(now - ticks.last));
            ticks.last = now;
            return G_SOURCE_CONTINUE;
        },
        &ticks);
    const auto asked = std::chrono::steady_clock::now();
    push("Медленно");
    ASSERT_TRUE(pump_until([&] { return popup_held() == 3; }));
    g_source_remove(ticker);
    EXPECT_GE(std::chrono::steady_clock::now() - asked, std::chrono::milliseconds(DesktopNotices::CALL_TIMEOUT_MS));
    EXPECT_LT(ticks.longest, 2s) << "a call that waited would stop the loop for the whole time-out";

    // A hanging icon does not hold the notice back: the program's icon stands in.
    service->set_delay(0ms);
    sandbox::Fault hang;
    hang.path = "/static/icons/hang.png";
    hang.delay = 6s;
    hang.count = -1;
    server().add_fault(hang);
    const auto started = std::chrono::steady_clock::now();
    push("Иконка зависла", "", "hang");
    const auto hung = notice("Иконка зависла");
    ASSERT_TRUE(hung);
    EXPECT_LT(std::chrono::steady_clock::now() - started, 5s);
    EXPECT_EQ(hung->image_width, 128) << "the program's icon";
    push("Вторая");
    ASSERT_TRUE(notice("Вторая"));
    EXPECT_EQ(popup_held(), 3u);

    // The service goes while its notices are open: their messages come to the popup.
    service->stop();
    EXPECT_TRUE(pump_until([&] { return popup_held() == 5; }));
    server().clear_faults();
}

TEST_F(DesktopNoticesTest, AQuietDesktopGetsNoPopupButTheTrayCounts) {
    NoticeService::Options quiet;
    quiet.inhibited = false;
    service->start(quiet);
    signed_in(false);
    ASSERT_FALSE(shell_->notices().inhibited());
    push("Видно");
    ASSERT_TRUE(pump_until([&] { return popup_held() == 1; }));
    shell_->current_dialog()->on_close_request();
    EXPECT_EQ(service->notify_calls(), 0u) << "the box is off: the popup, not the desktop";

    // The service's own do-not-disturb.
    service->set_inhibited(true);
    ASSERT_TRUE(pump_until([&] { return shell_->notices().inhibited(); }));
    push("Тихо");
    EXPECT_TRUE(pump_until([&] { return listed("Тихо"); }));
    EXPECT_FALSE(popup_up());
    EXPECT_EQ(shell_->tray().unread(), 2);
    service->set_inhibited(false);
    ASSERT_TRUE(pump_until([&] { return !shell_->notices().inhibited(); }));

    // GNOME's banners turned off.
    GSettings* gnome = g_settings_new("org.gnome.desktop.notifications");
    g_settings_set_boolean(gnome, "show-banners", FALSE);
    EXPECT_TRUE(pump_until([&] { return shell_->notices().inhibited(); }));
    push("Тихо у GNOME");
    EXPECT_TRUE(pump_until([&] { return listed("Тихо у GNOME"); }));
    EXPECT_FALSE(popup_up());
    EXPECT_EQ(shell_->tray().unread(), 3);
    g_settings_reset(gnome, "show-banners");
    EXPECT_TRUE(pump_until([&] { return !shell_->notices().inhibited(); }));
    g_object_unref(gnome);
    push("Снова видно");
    EXPECT_TRUE(pump_until([&] { return popup_held() == 1; }));
}

}  // namespace
}  // namespace agent::testing
