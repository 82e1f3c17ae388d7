// The first-run overview in the real shell: its four steps with their texts and pictures,
// the buttons as they change along the way, and every way out leading to sign-in.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "page_probe.h"
#include "shell_fixture.h"

namespace agent::testing {
namespace {

using namespace varnelagent;

class OverviewTest : public ShellTest {
protected:
    // A first start: no configuration yet.
    void first_start() {
        std::filesystem::remove(std::filesystem::path(details::wide_to_utf8(home().data_directory())) / "config");
        start();
        ASSERT_TRUE(wait_page(OVERVIEW_PAGE));
        ASSERT_TRUE(wait_true(page(), "document.body.dataset.ready === 'true'"));
    }

    WebKitWebView* page() const { return shell_->current_page()->host_window()->web_view(); }

    bool click(const std::string& selector) {
        return click_element(shell_->window().gtk_window(), page(), selector);
    }

    // What the step shows: title, text, picture, and which buttons are there with their labels.
    Json::Value shown() {
        return evaluate(page(), R"((() => {
            const step = document.querySelector('.overview__step:not([hidden])');
            const visible = (id) => !document.getElementById(id).hidden;
            return {
                step: Number(step.dataset.step),
                title: step.querySelector('.overview__title').innerText.trim(),
                text: step.querySelector('.overview__text')?.textContent.replace(/\s+/g, ' ').trim() ?? '',
                picture: step.querySelector('img').getAttribute('src'),
                loaded: step.querySelector('img').complete && step.querySelector('img').naturalWidth === 460,
                next: visible('OverviewNext') ? document.getElementById('OverviewNext').textContent.trim() : null,
                close: visible('OverviewClose') ? document.getElementById('OverviewClose').textContent.trim() : null,
                open: visible('OverviewOpen') ? document.getElementById('OverviewOpen').textContent.trim() : null,
                focused: document.activeElement.id,
            };
        })())");
    }
};

TEST_F(OverviewTest, FourStepsWithTheirTextsThenOpenLeadsToSignIn) {
    first_start();
    const auto area = shell_->window().work_area();
    const auto rect = shell_->window().rect();
    EXPECT_EQ(rect.width(), 520);
    EXPECT_EQ(rect.height(), 635);
    EXPECT_LE(std::abs((rect.left + rect.right) - (area.left + area.right)), 1) << "centred";
    EXPECT_LE(std::abs((rect.top + rect.bottom) - (area.top + area.bottom)), 1);

    // Losing the focus leaves it where it is: there is no tray icon yet to bring it back.
    GdkEvent* focus = gdk_event_new(GDK_FOCUS_CHANGE);
    focus->focus_change.in = FALSE;
    focus->focus_change.send_event = TRUE;
    focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(shell_->window().gtk_window()))));
    gtk_widget_send_focus_change(GTK_WIDGET(shell_->window().gtk_window()), focus);
    gdk_event_free(focus);
    pump_for(std::chrono::milliseconds(200));
    EXPECT_TRUE(shell_->window().visible());

    const char* titles[] = {"Уведомления из сервисов Варнел", "Показываем непрочитанные сообщения",
                            "Можно настроить уведомления\nиз любого сервиса", "Быстрый доступ к нужным сервисам"};
    for (int step = 1; step <= 4; ++step) {
        ASSERT_TRUE(wait_true(page(), "document.body.dataset.step === '" + std::to_string(step) + "'"));
        ASSERT_TRUE(wait_true(page(), "document.getAnimations().every((a) => a.playState !== 'running')"));
        const Json::Value now = shown();
        EXPECT_EQ(now["step"].asInt(), step);
        EXPECT_EQ(now["title"].asString(), titles[step - 1]);
        EXPECT_EQ(now["picture"].asString(), "overview-image-" + std::to_string(step) + ".png");
        EXPECT_TRUE(now["loaded"].asBool()) << step;
        shell_->current_page()->host_window()->snapshot_png(artifact("overview_step_" + std::to_string(step) + ".png"));
        if (step == 1) {
            EXPECT_NE(now["text"].asString().find("Отчётность"), std::string::npos);
            EXPECT_EQ(now["next"], Json::Value("Узнать подробнее"));
        }
        if (step < 4) {
            if (step > 1) {
                EXPECT_EQ(now["next"], Json::Value("Далее"));
            }
            EXPECT_EQ(now["close"], Json::Value("Закрыть окно"));
            EXPECT_TRUE(now["open"].isNull());
            EXPECT_EQ(now["focused"], Json::Value("OverviewNext"));
            ASSERT_TRUE(click("#OverviewNext"));
        } else {
            EXPECT_TRUE(now["next"].isNull());
            EXPECT_TRUE(now["close"].isNull());
            EXPECT_EQ(now["open"], Json::Value("Открыть Варнел.Агент"));
            EXPECT_EQ(now["focused"], Json::Value("OverviewOpen"));
        }
    }
    ASSERT_TRUE(click("#OverviewOpen"));
    ASSERT_TRUE(wait_page(AUTH_PAGE));
}

TEST_F(OverviewTest, CloseWindowAndTheCloseIconLeadToSignIn) {
    for (const char* way : {"#OverviewClose", "#OverviewCloseIcon"}) {
        first_start();
        ASSERT_TRUE(click("#OverviewNext"));
        ASSERT_TRUE(wait_true(page(), "document.body.dataset.step === '2'"));
        ASSERT_TRUE(click(way)) << way;
        ASSERT_TRUE(wait_page(AUTH_PAGE)) << way;
        shell_.reset();
    }
}

}  // namespace
}  // namespace agent::testing
