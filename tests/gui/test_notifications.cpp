// The notifications page and the new-message popup in the real shell against the stand-in
// provider, driven with the pointer through the X server: the list in batches with date
// lines, read marks in elevens and on leaving, the greeting and the no-connection picture,
// failures while loading, the popup's three newest and its count, opening a message from
// the popup, new messages while shown, silent mode, the tray's unread mark, message HTML
// that must run nothing, and bursts. PNG screenshots of each window go to the artifacts.
#include <gdk/gdk.h>
#include <unistd.h>
#include <webkit2/webkit2.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include <json/reader.h>
#include <json/writer.h>

#include "../model/recording_browser.h"
#include "gui/pages/message_popup.h"
#include "gui/pages/notifications_page.h"
#include "model/message_archive.h"
#include "model/message_service.h"
#include "page_driver.h"
#include "page_probe.h"
#include "shell_fixture.h"
#include "tray_host.h"
#include "x11_input.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using namespace std::chrono_literals;

std::string js_string(const std::string& text) {
    Json::StreamWriterBuilder builder;
    builder["emitUTF8"] = true;
    return Json::writeString(builder, Json::Value(text));
}

sandbox::Fault answer_with(const std::string& path, int status) {
    sandbox::Fault fault;
    fault.path = path;
    fault.status = status;
    return fault;
}

class NotificationsTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        MessageService::clear_read_queue_for_testing();
    }

    void TearDown() override {
        shell_.reset();
        // The tray item leaves the bus asynchronously; the next test's item takes its path.
        pump_for(500ms);
        if (tray)
            tray.reset();
        ShellTest::TearDown();
    }

    // The demo user (45 messages) signed in, the list's first batch on screen; with a tray
    // host of the tests' own on the bus when the test reads the tray as a panel does.
    void signed_in(bool with_tray = false) {
        const std::string login = sandbox::Server::DEMO_LOGIN;
        const std::string password = sandbox::Server::DEMO_PASSWORD;
        if (with_tray) {
            tray = std::make_unique<TrayHost>();
            tray->start();
        }
        write_config();
        auto client = AgentClient::create(ConfigurationKeyValue::load(home().data_directory()));
        client->authenticate(details::utf8_to_wide(login), details::utf8_to_wide(password), true);
        client.reset();
        details::install_logger(nullptr);
        start();
        browser = std::make_shared<RecordingBrowser>();
        shell_->client().uri_service().set_browser(browser);
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
        ASSERT_TRUE(pump_until([&] { return server().open_streams() == 1; }));
        ASSERT_TRUE(pump_until([&] { return list("document.body.dataset.ready") == "true"; }));
        if (with_tray) {
            ASSERT_TRUE(pump_until([&] { return !tray->registrations().empty(); }));
        }
    }

    // Evaluates a script expression in the window's document; its value through JSON.
    static Json::Value eval(engine::HostWindow& window, const std::string& expression) {
        return evaluate(window.web_view(), expression, true);
    }

    std::string list(const std::string& expression) { return eval(shell_->window(), expression).asString(); }
    Json::Value list_value(const std::string& expression) { return eval(shell_->window(), expression); }

    pages::MessagePopup* popup() {
        auto* dialog = dynamic_cast<pages::MessagePopup*>(live(MESSAGE_POPUP));
        return dialog != nullptr && eval(*dialog->host_window(), "document.body.dataset.ready") == "true" ? dialog
                                                                                                         : nullptr;
    }
    Json::Value in_popup(const std::string& expression) { return eval(*popup()->host_window(), expression); }

    bool popup_holds(std::size_t count) {
        return pump_until([&] {
            auto* shown = popup();
            return shown != nullptr && shown->held() == count;
        });
    }

    // Where on the screen the middle of the element is, once it has been scrolled into sight.
    static std::pair<int, int> aim(engine::HostWindow& window, const std::string& element) {
        eval(window, element + ".scrollIntoView({block: 'center', behavior: 'instant'})");
        pump_for(150ms);
        const Json::Value centre =
            eval(window, "(() => { const box = " + element +
                             ".getBoundingClientRect(); return [box.left + box.width / 2, box.top + box.height / 2]; })()");
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gtk_widget_get_window(GTK_WIDGET(window.gtk_window())), &x, &y);
        pointer_move_to(x + centre[0].asInt(), y + centre[1].asInt());
        pump_for(50ms);
        return {x + centre[0].asInt(), y + centre[1].asInt()};
    }
    // The button pressed and released there; nothing waits, so a dialog it opens can run.
    static void press(std::pair<int, int> point) {
        pointer_move_to(point.first, point.second);
        pointer_button(true);
        pointer_button(false);
    }
    // Where the window is on the X server (the toolkit's own idea of it may lag behind).
    static engine::Rect on_screen(engine::HostWindow& window) {
        GdkWindow* gdk = gtk_widget_get_window(GTK_WIDGET(window.gtk_window()));
        int x = 0;
        int y = 0;
        gdk_window_get_origin(gdk, &x, &y);
        return {x, y, x + gdk_window_get_width(gdk), y + gdk_window_get_height(gdk)};
    }
    static bool at_corner(engine::HostWindow& window) {
        const engine::Rect area = window.work_area();
        const engine::Rect rect = on_screen(window);
        return rect.right == area.right && rect.bottom == area.bottom;
    }

    // A real click in the middle of the element that the expression finds in the window.
    static void click(engine::HostWindow& window, const std::string& element) {
        press(aim(window, element));
        pump_for(100ms);
    }

    // Waits until the document's entrance (the popup rises) has played, for a screenshot.
    static void settle(engine::HostWindow& window) {
        pump_until([&] {
            return eval(window, "document.getAnimations().every((a) => a.playState !== 'running' || "
                                "a.effect.getComputedTiming().iterations === Infinity)") == true;
        }, 5s);
        pump_for(100ms);
    }

    void hide() {
        post_close(shell_->handle());
        ASSERT_TRUE(pump_until([&] { return !shell_->window().visible(); }));
    }

    sandbox::Message push(const std::string& subject, const std::string& link = {}) {
        sandbox::Message message;
        message.subject = subject;
        message.organization = "ИФНС России № 46 по г. Москве";
        message.body = "Поступило требование о представлении пояснений. [Открыть]({base}/account?doc=1)";
        message.link = link;
        return server().push_message(message);
    }

    std::vector<Json::Value> sent_reads() {
        std::vector<Json::Value> bodies;
        for (const auto& request : server().requests("/api/v1/messages/reads")) {
            Json::Value body;
            Json::Reader().parse(request.body, body);
            bodies.push_back(body);
        }
        return bodies;
    }

    std::string tray_property(const std::string& name) {
        const auto items = tray->registrations();
        if (items.empty())
            return {};
        const auto item = items.back();
        auto answer = tray->async([&] { return tray->property(item, name); });
        pump_until([&] { return answer.wait_for(0s) == std::future_status::ready; });
        return answer.get();
    }

    std::unique_ptr<TrayHost> tray;
    std::shared_ptr<RecordingBrowser> browser;
};

TEST_F(NotificationsTest, TheListComesInBatchesOf30UnderDateLinesUntilItIsComplete) {
    signed_in();
    const auto messages = server().messages();
    ASSERT_EQ(messages.size(), 45u);
    EXPECT_EQ(list_value("document.querySelectorAll('#List .message').length").asInt(), 30);
    std::size_t unread = 0;
    for (std::size_t i = 0; i < 30; ++i)
        unread += messages[i].read ? 0 : 1;
    EXPECT_EQ(list_value("document.querySelectorAll('#List .message__new').length").asUInt(), unread);
    EXPECT_EQ(list("document.querySelector('#List .message .message__title').textContent"), messages[0].subject);
    // Every day opens with its date line, and a day's messages follow it.
    EXPECT_EQ(list_value("Array.from(document.querySelectorAll('#List > *')).every((e, i, all) => "
                         "e.classList.contains('date-line') ? i === 0 || all[i - 1].getAttribute('date') !== "
                         "e.textContent : e.getAttribute('date') === (all[i - 1].classList.contains('date-line') ? "
                         "all[i - 1].textContent : all[i - 1].getAttribute('date')))"),
              Json::Value(true));
    EXPECT_EQ(list("document.querySelector('#List .date-line').textContent"), "7 декабря");
    EXPECT_EQ(list("document.getElementById('HeaderLogo').getAttribute('href')"), "");
    shell_->window().snapshot_png(artifact("notifications-list.png"));

    // Scrolling down onto a date line 160 px from the top steps 80 further; the fixed line
    // names the day of what is at the top, the one above that date line.
    const int top = list_value("(() => { const w = document.getElementById('MainContentWrapper'); const line = "
                               "document.querySelectorAll('#List .date-line')[1]; return line.offsetTop - 150; })()")
                        .asInt();
    eval(shell_->window(), "document.getElementById('MainContentWrapper').scrollTo({top: " + std::to_string(top) +
                               ", behavior: 'instant'})");
    EXPECT_TRUE(pump_until([&] {
        return list_value("document.getElementById('MainContentWrapper').scrollTop").asInt() == top + 80;
    }, 3s));
    EXPECT_EQ(list("document.getElementById('FixedDate').hidden ? '' : document.getElementById('FixedDate').textContent"),
              list("document.querySelectorAll('#List .date-line')[0].textContent"));
    shell_->window().snapshot_png(artifact("notifications-scrolled.png"));

    click(shell_->window(), "document.getElementById('MoreLink')");
    ASSERT_TRUE(pump_until([&] { return list_value("document.querySelectorAll('#List .message').length") == 45; }));
    EXPECT_TRUE(pump_until([&] { return list_value("document.getElementById('More') === null") == true; }));
    // The list's pages, not the stream's own reading of the newest messages.
    auto pages = server().requests("/api/v1/messages/top");
    std::erase_if(pages, [](const sandbox::RecordedRequest& request) {
        return request.query == "count=" + std::to_string(MessageService::CATCH_UP_PAGE);
    });
    ASSERT_EQ(pages.size(), 2u);
    EXPECT_EQ(pages[0].query, "count=30");
}

TEST_F(NotificationsTest, ReadMarksGoWithTheEleventhAndWhenThePageIsLeftAndSurviveAFailure) {
    write_config();
    for (int i = 0; i < 13; ++i)
        push("Непрочитанное " + std::to_string(i));
    signed_in();
    const int unread = list_value("document.querySelectorAll('#List .message__new').length").asInt();
    auto click_unread = [&] {
        click(shell_->window(), "document.querySelector('#List .message__new')");
    };
    for (int i = 0; i < 10; ++i)
        click_unread();
    ASSERT_TRUE(pump_until([] { return MessageService::read_queue().size() == 10; }));
    EXPECT_TRUE(sent_reads().empty()) << "ten marks wait";

    // The eleventh sends all eleven; the server fails it, and the marks stay queued.
    server().add_fault(answer_with("/api/v1/messages/reads", 500));
    click_unread();
    ASSERT_TRUE(pump_until([&] { return sent_reads().size() == 1; }));
    EXPECT_EQ(sent_reads()[0].size(), 11u);
    EXPECT_TRUE(pump_until([] { return MessageService::read_queue().size() == 11; }));
    EXPECT_EQ(page_kind(), NOTIFICATIONS_PAGE) << "a failed mark is not the user's business";

    // The next one sends all twelve; the thirteenth waits until the page is left.
    click_unread();
    ASSERT_TRUE(pump_until([&] { return sent_reads().size() == 2; }));
    EXPECT_EQ(sent_reads()[1].size(), 12u);
    click_unread();
    ASSERT_TRUE(pump_until([] { return MessageService::read_queue().size() == 1; }));
    EXPECT_EQ(list_value("document.querySelectorAll('#List .message__new').length").asInt(), unread - 13);
    post_show_page(shell_->handle(), SETTINGS_PAGE);
    ASSERT_TRUE(wait_page(SETTINGS_PAGE));
    ASSERT_EQ(sent_reads().size(), 3u);
    EXPECT_EQ(sent_reads()[2].size(), 1u);
    EXPECT_TRUE(MessageService::read_queue().empty());
    int read_pushed = 0;
    for (const auto& message : server().messages())
        read_pushed += message.read && message.subject.starts_with("Непрочитанное") ? 1 : 0;
    EXPECT_EQ(read_pushed, 13);
}

TEST_F(NotificationsTest, AnEmptyListGreetsAndAFailedOneOffersToTryAgain) {
    sandbox::User user;
    user.login = "new@varnel.example";
    user.password = "new";
    server().add_user(user);
    // The list fails to load while the fault lasts (the stream's own reading of the newest
    // messages meets it too): the error dialog, then the no-connection picture.
    sandbox::Fault failing = answer_with("/api/v1/messages/top", 500);
    failing.count = -1;
    server().add_fault(failing);
    bool dialog_seen = false;
    write_config();
    auto client = AgentClient::create(ConfigurationKeyValue::load(home().data_directory()));
    client->authenticate(L"new@varnel.example", L"new", true);
    client.reset();
    details::install_logger(nullptr);
    start();
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
        dialog_seen = true;
        answer(dialog, Json::Value(true));
    })}));
    EXPECT_TRUE(dialog_seen);
    ASSERT_TRUE(pump_until([&] { return list("document.body.dataset.ready") == "true"; }));
    EXPECT_EQ(list_value("document.getElementById('NoConnection').hidden"), false);
    EXPECT_EQ(list("document.getElementById('NoConnectionButton').title"), "Кликните для проверки связи");
    EXPECT_EQ(list_value("document.getElementById('More') === null"), true);
    shell_->window().snapshot_png(artifact("notifications-no-connection.png"));

    // A click on the picture loads again: a user with no messages is greeted.
    server().clear_faults();
    // Without a window manager the focus may go anywhere once the dialog has gone, and the
    // page hides when it loses it; the user brings it back from the tray.
    command(ID_OPEN);
    ASSERT_TRUE(pump_until([&] { return shell_->window().visible(); }));
    click(shell_->window(), "document.getElementById('NoConnectionButton')");
    ASSERT_TRUE(pump_until([&] { return list_value("document.querySelectorAll('#List .message').length") == 1; }));
    EXPECT_EQ(list("document.querySelector('#List .message__title').textContent"), "Привет!");
    EXPECT_EQ(list("document.querySelector('#List .message__description a').getAttribute('href')"), "settings.htm");
    EXPECT_EQ(list_value("document.getElementById('NoConnection').hidden"), true);
    EXPECT_EQ(list_value("document.getElementById('More') === null"), true) << "nothing older to show";
    pump_for(300ms);
    shell_->window().snapshot_png(artifact("notifications-greeting.png"));

    // The greeting's link leads to the settings.
    click(shell_->window(), "document.querySelector('#List .message__description a')");
    EXPECT_TRUE(pump_until([&] { return page_kind() == SETTINGS_PAGE; }));
}

TEST_F(NotificationsTest, AnExpiredSessionWhileLoadingAsksToSignInAgain) {
    signed_in();
    server().add_fault(answer_with("/api/v1/messages/top", 401));
    std::string title;
    const auto more = aim(shell_->window(), "document.getElementById('MoreLink')");
    ASSERT_TRUE(run_steps({[&] {
                               press(more);
                               return true;
                           },
                           on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
                               title = eval(*dialog.host_window(), "document.getElementById('DialogTitle').textContent")
                                           .asString();
                               answer(dialog, Json::Value(true));
                           })}));
    EXPECT_EQ(title, details::wide_to_utf8(error::error_text(error::ERROR_SESSION_EXPIRED).title));
    EXPECT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_FALSE(shell_->client().has_session());
}

TEST_F(NotificationsTest, ThePopupShowsTheThreeNewestAndCountsTheRest) {
    signed_in(true);
    hide();
    push("Первое");
    ASSERT_TRUE(popup_holds(1));
    auto* window = popup()->host_window();
    EXPECT_FALSE(shell_->window().visible());
    EXPECT_TRUE(pump_until([&] { return at_corner(*window); }));
    EXPECT_EQ(in_popup("document.getElementById('PopupMore').hidden"), true);
    settle(*window);
    window->snapshot_png(artifact("popup-1.png"));
    // Losing the focus (the user clicked it, then elsewhere) does not hide it.
    in_popup("view.window_hide()");
    pump_for(200ms);
    EXPECT_TRUE(window->visible());

    struct Step {
        int pushes;
        std::string count;
    };
    int pushed = 1;
    for (const Step& step : {Step{3, "Посмотреть еще 1 уведомление"}, Step{1, "Посмотреть еще 2 уведомления"},
                             Step{9, "Посмотреть еще 11 уведомлений"}, Step{8, "Посмотреть еще 19 уведомлений"}}) {
        for (int i = 0; i < step.pushes; ++i)
            push("Сообщение " + std::to_string(++pushed));
        ASSERT_TRUE(popup_holds(pushed));
        EXPECT_EQ(in_popup("document.getElementById('PopupMoreLink').innerText.replace(/\\s+/g, ' ').trim()"),
                  step.count);
        EXPECT_EQ(in_popup("Array.from(document.querySelectorAll('#PopupList .message__title'), (e) => "
                           "e.textContent).join('|')"),
                  "Сообщение " + std::to_string(pushed) + "|Сообщение " + std::to_string(pushed - 1) +
                      "|Сообщение " + std::to_string(pushed - 2));
        if (pushed == 5) {
            settle(*window);
            window->snapshot_png(artifact("popup-5.png"));
        }
        EXPECT_TRUE(pump_until([&] { return at_corner(*window); }));
    }
    EXPECT_EQ(tray_property("Title"), "Варнел.Агент — 22 новых уведомления");
    EXPECT_EQ(tray_property("IconName"), "varnel-agent-tray-unread");

    // The link to the list closes the popup, shows the page, and nothing waits unseen.
    click(*window, "document.getElementById('PopupMoreLink')");
    EXPECT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    EXPECT_TRUE(pump_until([&] { return live(MESSAGE_POPUP) == nullptr; }));
    EXPECT_TRUE(pump_until([&] { return tray_property("IconName") == "varnel-agent-tray"; }));
    EXPECT_EQ(tray_property("Title"), "Варнел.Агент");
}

TEST_F(NotificationsTest, OpeningTheOnlyMessageMarksItReadAndClosesThePopup) {
    signed_in();
    hide();
    const auto message = push("Требование о представлении пояснений", server().base_url() + "/account?message=1");
    ASSERT_TRUE(popup_holds(1));
    EXPECT_TRUE(pump_until([&] { return shell_->tray().title() == "Варнел.Агент — 1 новое уведомление"; }));
    click(*popup()->host_window(), "document.querySelector('#PopupList .message')");
    ASSERT_TRUE(pump_until([&] { return sent_reads().size() == 1; }));
    Json::Value expected(Json::arrayValue);
    expected.append(message.id);
    EXPECT_EQ(sent_reads()[0], expected);
    EXPECT_TRUE(pump_until([&] { return shell_->current_dialog() && !shell_->current_dialog()->alive(); }));
    ASSERT_TRUE(pump_until([&] { return browser->opened().size() == 1; }));
    EXPECT_EQ(details::wide_to_utf8(browser->opened()[0]), message.link);
    EXPECT_EQ(browser->cookies().size(), 2u) << "opened signed in";
    // The list, hidden behind, shows it read; the tray has nothing waiting.
    EXPECT_TRUE(pump_until([&] {
        return list_value("(() => { const e = Array.from(document.querySelectorAll('#List .message')).find((m) => "
                          "m.dataset.id === " + js_string(message.id) + "); return e && !e.classList.contains('message__new'); })()") == true;
    }));
    EXPECT_TRUE(pump_until([&] { return shell_->tray().unread() == 0; }));
}

// The page engine's processes this program started (web and network), by their names.
int engine_processes() {
    int count = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
        std::ifstream stat(entry.path() / "stat");
        std::string line;
        if (!std::getline(stat, line))
            continue;
        const auto open = line.find('(');
        const auto close = line.rfind(')');
        if (open == std::string::npos || close == std::string::npos)
            continue;
        std::istringstream rest(line.substr(close + 2));
        char state = 0;
        pid_t parent = 0;
        rest >> state >> parent;
        if (parent == ::getpid() && line.compare(open + 1, 6, "WebKit") == 0)
            ++count;
    }
    return count;
}

// Hidden in the tray long enough, the page and the page engine's processes go. A message
// brings the popup back; once it is closed they go again; Open shows the list with
// everything that came meanwhile, and the tray's count is cleared.
TEST_F(NotificationsTest, HiddenInTheTrayThePageEngineGoesAndComesBackWithWhatArrived) {
    signed_in();
    shell_->set_release_period(300ms);
    hide();
    ASSERT_TRUE(pump_until([&] { return shell_->released(); }));
    EXPECT_EQ(shell_->current_page(), nullptr);
    EXPECT_EQ(shell_->window().web_view(), nullptr);
    EXPECT_TRUE(pump_until([&] { return engine_processes() == 0; }, 20s));

    const auto first = push("Пока окно было скрыто");
    ASSERT_TRUE(popup_holds(1));
    EXPECT_TRUE(pump_until([&] { return at_corner(*popup()->host_window()); }));
    pump_for(1s);
    ASSERT_NE(popup(), nullptr) << "the shown popup keeps the engine";
    post_close(popup()->handle());
    EXPECT_TRUE(pump_until([&] { return shell_->current_dialog() == nullptr && engine_processes() == 0; }, 20s));

    command(ID_SILENT_MODE);
    push("Второе, в тихом режиме");
    EXPECT_TRUE(pump_until([&] { return shell_->tray().unread() == 2; }));
    command(ID_OPEN);
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    ASSERT_TRUE(pump_until([&] { return list("document.body.dataset.ready") == "true"; }));
    EXPECT_EQ(list("Array.from(document.querySelectorAll('#List .message__title'), (e) => e.textContent)"
                   ".slice(0, 2).join('|')"),
              "Второе, в тихом режиме|" + first.subject);
    EXPECT_EQ(shell_->tray().unread(), 0);
    EXPECT_FALSE(shell_->released());
}

TEST_F(NotificationsTest, TheListOpensFromTheArchiveWhereItWasLeftReadsOfflineAndFindsOldMessages) {
    signed_in();
    shell_->set_release_period(300ms);
    click(shell_->window(), "document.getElementById('MoreLink')");
    ASSERT_TRUE(pump_until([&] { return list_value("document.querySelectorAll('#List .message').length") == 45; }));
    eval(shell_->window(), "document.getElementById('MainContentWrapper').scrollTo({top: 1700, behavior: 'instant'})");
    pump_for(800ms);
    const int top = list_value("document.getElementById('MainContentWrapper').scrollTop").asInt();
    ASSERT_GT(top, 1000);
    hide();
    ASSERT_TRUE(pump_until([&] { return shell_->released(); }));

    // The provider is gone; the tray's Open shows the list as it was left, at once.
    server().stop();
    command(ID_OPEN);
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    ASSERT_TRUE(pump_until([&] { return list("document.body.dataset.ready") == "true"; }, 70s));
    EXPECT_EQ(list_value("document.querySelectorAll('#List .message').length").asInt(), 45);
    EXPECT_NEAR(list_value("document.getElementById('MainContentWrapper').scrollTop").asInt(), top, 2);
    EXPECT_EQ(list_value("document.getElementById('Stale').hidden"), false);
    EXPECT_EQ(list_value("document.getElementById('NoConnection').hidden"), true);
    EXPECT_EQ(live(MESSAGE_DIALOG), nullptr) << "the list says it; no dialog stands over it";
    eval(shell_->window(), "document.getElementById('MainContentWrapper').scrollTo({top: 0, behavior: 'instant'})");
    pump_for(300ms);
    shell_->window().snapshot_png(artifact("notifications-offline-archive.png"));

    // Ctrl+F, then a word of an old message's body as the user spells it ("приёме").
    PageDriver page(shell_->window());
    page.focus_window();
    page.key(GDK_KEY_f, "f", true, GDK_CONTROL_MASK);
    ASSERT_TRUE(page.wait("document.activeElement === document.getElementById('SearchField')", 5s));
    page.type("квитанц приеме");
    // The demo user has five such receipts, the oldest from the first day of the list.
    ASSERT_TRUE(page.wait("document.querySelectorAll('#Results .message').length === 5", 5s));
    EXPECT_EQ(list("Array.from(document.querySelectorAll('#Results .message__title'), (e) => e.textContent).join('|')"),
              "Декларация принята|Декларация принята|Декларация принята|Декларация принята|Декларация принята");
    EXPECT_EQ(list("Array.from(document.querySelectorAll('#Results .date-line')).pop().textContent"), "30 ноября");
    EXPECT_EQ(list("Array.from(document.querySelectorAll('#Results .message')).pop().querySelectorAll('mark.found')"
                   ".length + '|' + Array.from(document.querySelectorAll('#Results .message')).pop()"
                   ".querySelector('mark.found').textContent"),
              "2|Квитанц");
    EXPECT_EQ(list_value("document.getElementById('List').hidden"), true);
    pump_for(200ms);
    shell_->window().snapshot_png(artifact("notifications-search-found.png"));

    page.fill("#SearchField", "счёт-фактура 1999");
    ASSERT_TRUE(page.wait("!document.getElementById('NoResults').hidden", 5s));
    EXPECT_EQ(list_value("document.querySelectorAll('#Results .message').length").asInt(), 0);
    EXPECT_EQ(page.text("#NoResults"), "Ничего не найдено");
    pump_for(200ms);
    shell_->window().snapshot_png(artifact("notifications-search-empty.png"));

    // Esc brings the list back as it was.
    page.key(GDK_KEY_Escape);
    ASSERT_TRUE(page.wait("!document.getElementById('List').hidden", 5s));
    EXPECT_EQ(list("document.getElementById('SearchField').value"), "");
    EXPECT_EQ(list_value("document.getElementById('Results').hidden"), true);
}

TEST_F(NotificationsTest, AFoundMessageOpensAndIsReadLikeAnyRow) {
    signed_in();
    const auto messages = server().messages();
    const auto unread = std::find_if(messages.begin(), messages.end(), [](const sandbox::Message& m) { return !m.read; });
    ASSERT_NE(unread, messages.end());
    const sandbox::Message wanted = *unread;
    PageDriver page(shell_->window());
    page.fill("#SearchField", wanted.subject);
    ASSERT_TRUE(page.wait("document.querySelectorAll('#Results .message.message__new').length > 0", 5s));
    const std::string found = "Array.from(document.querySelectorAll('#Results .message')).find((e) => e.dataset.id === " +
                              PageDriver::quoted(wanted.id) + ")";
    ASSERT_EQ(list_value(found + " !== undefined"), true);
    click(shell_->window(), found);
    EXPECT_TRUE(pump_until([&] { return list_value(found + ".classList.contains('message__new')") == false; }));
    EXPECT_EQ(list_value("Array.from(document.querySelectorAll('#List .message')).find((e) => e.dataset.id === " +
                         PageDriver::quoted(wanted.id) + ")?.classList.contains('message__new')"),
              false);
    // The archive has it read; leaving the page sends the mark, as from the list.
    bool archived_read = false;
    for (const Message& message : shell_->client().archive()->search(details::utf8_to_wide(wanted.subject), 50))
        archived_read = archived_read || (message.id == details::utf8_to_wide(wanted.id) && message.read);
    EXPECT_TRUE(archived_read);
    post_show_page(shell_->handle(), SETTINGS_PAGE);
    ASSERT_TRUE(wait_page(SETTINGS_PAGE));
    ASSERT_TRUE(pump_until([&] { return !sent_reads().empty(); }));
    EXPECT_NE(sent_reads().back().toStyledString().find(wanted.id), std::string::npos);
}

TEST_F(NotificationsTest, NewMessagesWhileShownGoOnTopAndSilentModeStillCounts) {
    signed_in();
    auto first = push("Новое при открытом окне");
    ASSERT_TRUE(pump_until([&] { return list("document.querySelector('#List .message__title').textContent") == first.subject; }));
    EXPECT_EQ(list("document.querySelector('#List > .date-line').textContent"),
              list("document.querySelector('#List .message').getAttribute('date')"));
    EXPECT_TRUE(list_value("document.querySelector('#List .message').classList.contains('message__new')").asBool());
    EXPECT_TRUE(pump_until([&] { return list_value("alert_timer !== null") == true; }));
    EXPECT_EQ(shell_->current_dialog(), nullptr);

    // The same message again (a reconnected stream may resend it) shows once.
    sandbox::Message again = first;
    server().push_message(again);
    push("Следом");
    ASSERT_TRUE(pump_until([&] { return list("document.querySelector('#List .message__title').textContent") == "Следом"; }));
    EXPECT_EQ(list_value("Array.from(document.querySelectorAll('#List .message')).filter((m) => m.dataset.id === " +
                         js_string(first.id) + ").length").asInt(), 1);

    // Hidden and silent: no popup, but the tray counts what waits.
    hide();
    command(ID_SILENT_MODE);
    push("Тихо");
    push("Тихо ещё");
    EXPECT_TRUE(pump_until([&] { return shell_->tray().title() == "Варнел.Агент — 2 новых уведомления"; }));
    EXPECT_EQ(shell_->current_dialog(), nullptr);
    command(ID_OPEN);
    EXPECT_TRUE(pump_until([&] { return shell_->tray().unread() == 0; }));
}

TEST_F(NotificationsTest, MessageHtmlRunsNothingAndOddMessagesStillShow) {
    signed_in();
    const std::vector<std::string> bodies = {
        std::string(2'000'000, 'x'),
        "<script>document.title = 'script'</script>Текст со скриптом",
        "<img src=x onerror=\"document.title = 'onerror'\">Картинка с обработчиком",
        "<a href=\"javascript:document.title = 'link'\">ссылка</a> и <a href=\"https://example.org/a?b=\\\"c\\\"\">адрес</a>",
        "<iframe src=\"javascript:parent.document.title = 'frame'\"></iframe><style>body { display: none }</style>Рамка",
        "<b><i></i></b><div></div>",
        "<b>Срок ответа</b> — <i>5 рабочих дней</i>.<ul><li>пояснения к декларации;</li><li>копии счетов-фактур.</li>"
        "</ul>Подробнее: [требование № 1037](https://example.org/doc/1037)",
    };
    hide();
    for (std::size_t i = 0; i < bodies.size(); ++i) {
        sandbox::Message message;
        message.subject = i == 5 ? "" : "Тело " + std::to_string(i);
        message.body = bodies[i];
        message.link = "https://example.org/\"quoted\"";
        message.created = "1970-01-02T12:00:00Z";
        server().push_message(message);
    }
    ASSERT_TRUE(popup_holds(bodies.size()));
    for (engine::HostWindow* window : {popup()->host_window(), &shell_->window()}) {
        EXPECT_EQ(eval(*window, "document.title").asString(), "Варнел.Агент");
        EXPECT_EQ(eval(*window, "document.querySelectorAll('.message__description :is(script, style, iframe, img), "
                                ".message__description [onerror], .message__description a:not([href^=http])').length")
                      .asInt(),
                  0);
        EXPECT_EQ(eval(*window, "getComputedStyle(document.body).display").asString(), "flex");
    }
    ASSERT_TRUE(pump_until([&] { return list_value("document.querySelectorAll('#List .message').length") == 37; }));
    EXPECT_EQ(list("document.querySelector('#List .message').getAttribute('href')"), "https://example.org/\"quoted\"");
    EXPECT_EQ(list("document.querySelector('#List .date-line').textContent"), "2 января");
    EXPECT_EQ(list_value("Array.from(document.querySelectorAll('#List .message')).find((m) => m.getAttribute('aria-label') === "
                         "'Тело 0').querySelector('.message__description').textContent.length")
                  .asUInt(),
              pages::MAX_SHOWN_BODY + 1)
        << "a body of megabytes shows its beginning";
    EXPECT_EQ(list("document.querySelector('#List .message__description a').getAttribute('href')"),
              "https://example.org/doc/1037");
    EXPECT_LE(in_popup("Math.max(...Array.from(document.querySelectorAll('#PopupList .message__description'), "
                       "(d) => d.textContent.length))").asInt(),
              93);
    command(ID_OPEN);
    ASSERT_TRUE(pump_until([&] { return shell_->window().visible(); }));
    settle(shell_->window());
    shell_->window().snapshot_png(artifact("notifications-rich.png"));
}

TEST_F(NotificationsTest, BurstsAndADroppedStreamLeaveThePopupWhole) {
    signed_in();
    shell_->client().message_service().set_retry_delay(100ms);
    hide();
    std::vector<std::string> burst;
    for (int i = 0; i < 500; ++i) {
        Json::Value message;
        message["id"] = "burst-" + std::to_string(i);
        message["subject"] = "Пачка " + std::to_string(i);
        message["created"] = "2026-12-07T09:05:07Z";
        burst.push_back("event: message\ndata: " + Json::FastWriter().write(message) + "\n");
    }
    std::string joined;
    for (const auto& piece : burst)
        joined += piece;
    server().push_raw({joined});
    ASSERT_TRUE(popup_holds(500));
    EXPECT_EQ(in_popup("document.querySelector('#PopupList .message__title').textContent"), "Пачка 499");
    EXPECT_EQ(in_popup("document.getElementById('PopupCount').textContent"), "497");

    // Twenty batches within a second, then the stream drops and comes back.
    for (int i = 0; i < 20; ++i)
        push("Быстро " + std::to_string(i));
    ASSERT_TRUE(popup_holds(520));
    server().restart();
    ASSERT_TRUE(pump_until([&] { return server().open_streams() == 1; }));
    push("После обрыва");
    ASSERT_TRUE(popup_holds(521));
    EXPECT_EQ(in_popup("document.querySelector('#PopupList .message__title').textContent"), "После обрыва");
}

}  // namespace
}  // namespace agent::testing
