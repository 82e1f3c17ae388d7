// The help page in the real shell with the stand-in provider: tiles before rows in their
// order, icons that are missing, failing or slow, links that must not be followed, the
// cache on a second visit, the no-connection picture, an expired session, and leaving the
// page while its links are still on their way.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "gui/error.h"
#include "gui/pages/help_page.h"
#include "model/agent_client.h"
#include "model/uri_service.h"
#include "page_probe.h"
#include "shell_fixture.h"

namespace agent::testing {
namespace {

using namespace varnelagent;

// Two products among three other links, served in this order.
constexpr char SEED[] = R"json({
  "users": [{"login": "demo@varnel.example", "password": "demo", "name": "Анна", "middlename": "Сергеевна",
             "lastname": "Иванова"}],
  "links": [
    {"title": "Центр поддержки", "href": "{base}/help/instruction", "icon": "support", "type": "link", "enabled": true},
    {"title": "Отчётность", "href": "{base}/account?service=reports", "icon": "reports", "type": "product",
     "enabled": true},
    {"title": "Без значка \"в кавычках\"", "href": "{base}/account?q=\"><b x='1'>", "icon": "", "type": "link"},
    {"title": "Электронный документооборот", "href": "{base}/account?service=edo", "icon": "edo",
     "type": "product", "enabled": true},
    {"title": "Скрипт", "href": "javascript:alert(1)", "icon": "missing", "type": "link"}
  ]
})json";

class HelpPageTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        UriService::clear_service_links();
        const std::filesystem::path seed = home().path() / "seed.json";
        write_text(seed, SEED);
        server().load_seed(seed);
    }

    void TearDown() override {
        UriService::clear_service_links();
        ShellTest::TearDown();
    }

    void signed_in() {
        write_config();
        remember_session();
        start();
        ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    }

    WebKitWebView* page() const { return shell_->current_page()->host_window()->web_view(); }

    void show_help() {
        post_show_page(shell_->handle(), HELP_PAGE);
        ASSERT_TRUE(wait_page(HELP_PAGE));
    }

    bool help_ready() { return wait_true(page(), "document.body.dataset.ready === 'true'"); }

    // Title, full width, auth and href of each item, in the order shown.
    Json::Value items() {
        return evaluate(page(), "Array.from(document.querySelectorAll('#HelpList .helpItem')).map((item) => "
                                "[item.querySelector('.helpItem__title').textContent, "
                                "item.classList.contains('helpItem__fullWidth'), item.getAttribute('auth'), "
                                "item.getAttribute('href'), item.querySelector('img').getAttribute('src'), "
                                "item.attributes.length])");
    }

    std::size_t support_requests() const { return server_->requests("/api/v1/support").size(); }
};

TEST_F(HelpPageTest, TilesComeFirstInTheirOrderThenRowsAndASecondVisitAsksNothing) {
    // An icon that takes its time must not hold the list back.
    sandbox::Fault slow;
    slow.path = "/static/icons/support.png";
    slow.delay = std::chrono::milliseconds(2500);
    server().add_fault(slow);
    sandbox::Fault broken;
    broken.path = "/static/icons/missing.png";
    broken.status = 500;
    broken.count = -1;
    server().add_fault(broken);
    signed_in();
    show_help();
    ASSERT_TRUE(help_ready());
    EXPECT_EQ(evaluate(page(), "document.body.dataset.success"), Json::Value("true"));
    EXPECT_EQ(evaluate(page(), "document.querySelector(\"img[src$='support.png']\").complete"), Json::Value(false));

    const std::string base = server().base_url();
    const Json::Value shown = items();
    ASSERT_EQ(shown.size(), 5u) << shown.toStyledString();
    const std::vector<std::pair<std::string, bool>> expected = {
        {"Отчётность", false},
        {"Электронный документооборот", false},
        {"Центр поддержки", true},
        {"Без значка \"в кавычках\"", true},
        {"Скрипт", true},
    };
    for (Json::ArrayIndex i = 0; i < shown.size(); ++i) {
        EXPECT_EQ(shown[i][0].asString(), expected[i].first) << i;
        EXPECT_EQ(shown[i][1].asBool(), expected[i].second) << i;
        EXPECT_EQ(shown[i][2].asString(), "true") << "every link opens signed in";
        // class, href, auth: quotes in an address stay inside its attribute.
        EXPECT_EQ(shown[i][5].asInt(), 3) << i;
    }
    EXPECT_EQ(shown[0][3].asString(), base + "/account?service=reports");
    EXPECT_EQ(shown[3][3].asString(), base + "/account?q=\"><b x='1'>");
    EXPECT_EQ(shown[3][4].asString(), "icon-default.png");
    EXPECT_EQ(shown[0][4].asString(), "remote:" + base + "/static/icons/reports.png");
    EXPECT_EQ(evaluate(page(), "document.querySelectorAll('#HelpList b').length"), Json::Value(0));

    // Every icon shows in the end: the failing one and the one not given as the default icon.
    ASSERT_TRUE(wait_true(page(), "Array.from(document.images).every((image) => image.complete && "
                                  "image.naturalWidth > 0)"));
    EXPECT_EQ(evaluate(page(), "document.querySelector(\"img[src$='missing.png']\").naturalWidth"), Json::Value(40))
        << "the program's default icon (40 px) instead of the provider's (32 px)";
    shell_->current_page()->host_window()->snapshot_png(artifact("help.png"));

    // The script address is refused with the dialog and never reaches the browser window.
    std::string refused;
    ASSERT_TRUE(click_element(shell_->window().gtk_window(), page(), ".helpItem[href^='javascript']"));
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
        refused = evaluate(dialog.host_window()->web_view(), "document.body.textContent").asString();
        answer(dialog, Json::Value(true));
    })}));
    EXPECT_NE(refused.find("Не удалось открыть ссылку: javascript:alert(1)"), std::string::npos) << refused;
    EXPECT_EQ(shell_->browser().gtk_window(), nullptr);

    // Away and back: the links come from the cache.
    post_show_page(shell_->handle(), SETTINGS_PAGE);
    ASSERT_TRUE(wait_page(SETTINGS_PAGE));
    show_help();
    ASSERT_TRUE(help_ready());
    EXPECT_EQ(items().size(), 5u);
    EXPECT_EQ(support_requests(), 1u);
}

TEST_F(HelpPageTest, NoLinksShowTheNoConnectionPictureWhoseClickAsksAgain) {
    signed_in();
    sandbox::Fault unavailable;
    unavailable.path = "/api/v1/support";
    unavailable.status = 503;
    unavailable.body = R"({"status": 503, "id": "Unavailable", "message": "Сервис недоступен", "track-id": "t-1"})";
    server().add_fault(unavailable);
    post_show_page(shell_->handle(), HELP_PAGE);
    // The error dialog follows end(false).
    std::string text;
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
        text = evaluate(dialog.host_window()->web_view(), "document.body.textContent").asString();
        answer(dialog, Json::Value(true));
    })}));
    EXPECT_NE(text.find("Сервис недоступен"), std::string::npos) << text;
    ASSERT_TRUE(wait_page(HELP_PAGE));
    ASSERT_TRUE(help_ready());
    EXPECT_EQ(evaluate(page(), "document.body.dataset.success"), Json::Value("false"));
    EXPECT_EQ(evaluate(page(), "document.getElementById('HelpNoConnection').hidden"), Json::Value(false));
    EXPECT_EQ(items().size(), 0u);
    shell_->current_page()->host_window()->snapshot_png(artifact("help_no_connection.png"));

    ASSERT_TRUE(click_element(shell_->window().gtk_window(), page(), "#HelpReload"));
    ASSERT_TRUE(wait_true(page(), "document.querySelectorAll('#HelpList .helpItem').length === 5"));
    EXPECT_EQ(evaluate(page(), "document.getElementById('HelpNoConnection').hidden"), Json::Value(true));
    EXPECT_EQ(support_requests(), 2u);
}

TEST_F(HelpPageTest, AnExpiredSessionAsksToSignInAgain) {
    signed_in();
    server().end_session(details::wide_to_utf8(shell_->client().session_id()));
    post_show_page(shell_->handle(), HELP_PAGE);
    std::string title;
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [&](pages::ModalDialog& dialog) {
        title = evaluate(dialog.host_window()->web_view(), "document.body.textContent").asString();
        answer(dialog, Json::Value(true));
    })}));
    EXPECT_NE(title.find("повторите вход"), std::string::npos) << title;
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_FALSE(shell_->client().has_session());
}

TEST_F(HelpPageTest, LeavingWhileTheLinksAreOnTheirWay) {
    signed_in();
    sandbox::Fault slow;
    slow.path = "/api/v1/support";
    slow.delay = std::chrono::milliseconds(1500);
    server().add_fault(slow);
    show_help();
    // The request is out; the page goes before the answer is in.
    ASSERT_TRUE(pump_until([&] { return support_requests() == 1; }));
    const auto asked = std::chrono::steady_clock::now();
    post_show_page(shell_->handle(), SETTINGS_PAGE);
    ASSERT_TRUE(wait_page(SETTINGS_PAGE));
    // The old page waits for its request (its time-outs bound the wait): worth knowing.
    RecordProperty("switch_ms", static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                     std::chrono::steady_clock::now() - asked)
                                                     .count()));
    pump_for(std::chrono::milliseconds(500));
    EXPECT_EQ(page_kind(), SETTINGS_PAGE);
    EXPECT_TRUE(shell_->current_dialog() == nullptr || !shell_->current_dialog()->alive());

    // The answer that came meanwhile filled the cache: the next visit shows it at once.
    show_help();
    ASSERT_TRUE(help_ready());
    EXPECT_EQ(items().size(), 5u);
}

TEST(HelpLinkRecords, AnItemWithoutAnIconGetsTheDefaultOne) {
    const Json::Value records = pages::help_link_records(
        {{L"Поддержка", L"не передаётся", L"https://help.varnel.example/", L"", L"link", true},
         {L"ЭДО", L"", L"https://edo.varnel.example/", L"https://edo.varnel.example/i.png", L"product", false}});
    ASSERT_EQ(records.size(), 2u);
    EXPECT_EQ(records[0]["icon"], Json::Value("icon-default.png"));
    EXPECT_EQ(records[1]["icon"], Json::Value("remote:https://edo.varnel.example/i.png"));
    EXPECT_EQ(records[1]["type"], Json::Value("product"));
    EXPECT_EQ(records[0].getMemberNames(), (std::vector<std::string>{"href", "icon", "title", "type"}));
}

}  // namespace
}  // namespace agent::testing
