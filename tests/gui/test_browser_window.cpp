// The agent's own browser window against the stand-in provider: a help link opens the
// provider's account page signed in (the cookies really reach the server) and sign-out
// forgets them; one window is reused and has its controls; a server certificate that does
// not verify shows an error page and the page is never asked for.
#include <gtk/gtk.h>
#include <webkit2/webkit2.h>

#include "../model/recording_browser.h"
#include "gui/shell/browser_window.h"
#include "model/agent_client.h"
#include "model/uri_service.h"
#include "../model/links_updates_support.h"
#include "page_probe.h"
#include "shell_fixture.h"
#include "support/tinyproxy.h"

namespace agent::testing {
namespace {

using namespace varnelagent;

class BrowserWindowTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        sandbox::Options options;
        options.tls = true;
        secure_ = std::make_unique<sandbox::Server>(options);
        secure_->start();
    }

    void TearDown() override {
        shell_.reset();
        secure_.reset();
        ShellTest::TearDown();
    }

    BrowserWindow::Options options(const std::filesystem::path& ca = {}) {
        BrowserWindow::Options options;
        options.data_directory = details::utf8_to_wide((home().path() / ".local/share/varnel-agent/browser").string());
        options.cache_directory = details::utf8_to_wide((home().path() / ".cache/varnel-agent/browser").string());
        options.ca_file = details::utf8_to_wide(ca.string());
        options.desktop = desktop;
        return options;
    }

    // The page at `address` has finished loading in the browser's window.
    static bool showing(BrowserWindow& browser, const std::string& address) {
        return pump_until([&] {
            WebKitWebView* view = browser.web_view();
            if (view == nullptr || webkit_web_view_is_loading(view))
                return false;
            const char* uri = webkit_web_view_get_uri(view);
            return uri != nullptr && address == uri &&
                   evaluate(view, "document.readyState === 'complete'", true) == Json::Value(true);
        });
    }

    // Who the provider's account page says is signed in: by the session, by the token.
    static std::pair<std::string, std::string> signed_in(BrowserWindow& browser) {
        WebKitWebView* view = browser.web_view();
        return {evaluate(view, "document.getElementById('session').dataset.login").asString(),
                evaluate(view, "document.getElementById('token').dataset.login").asString()};
    }

    std::shared_ptr<RecordingBrowser> desktop = std::make_shared<RecordingBrowser>();
    std::unique_ptr<sandbox::Server> secure_;
};

TEST_F(BrowserWindowTest, AHelpLinkOpensTheServiceSignedInAndSignOutForgetsIt) {
    // The shell talks to the provider over TLS, trusting the provider's own CA.
    std::swap(server_, secure_);
    write_config("ca_file = " + server().ca_certificate().string() + "\n");
    remember_session();
    start();
    ASSERT_TRUE(wait_page(NOTIFICATIONS_PAGE));
    post_show_page(shell_->handle(), HELP_PAGE);
    ASSERT_TRUE(wait_page(HELP_PAGE));
    WebKitWebView* page = shell_->current_page()->host_window()->web_view();
    ASSERT_TRUE(wait_true(page, "document.body.dataset.ready === 'true'"));

    // A real click on the first tile.
    const std::string account = server().base_url() + "/account?service=reports";
    ASSERT_TRUE(click_element(shell_->window().gtk_window(), page, ".helpItem[href$='service=reports']"));
    BrowserWindow& browser = shell_->browser();
    ASSERT_TRUE(showing(browser, account)) << browser.address();
    EXPECT_EQ(signed_in(browser), std::make_pair(std::string(sandbox::Server::DEMO_LOGIN),
                                                 std::string(sandbox::Server::DEMO_LOGIN)));
    const auto visits = server().requests("/account");
    ASSERT_EQ(visits.size(), 1u);
    EXPECT_EQ(visits[0].cookie("auth.sid"), details::wide_to_utf8(shell_->client().session_id()));
    EXPECT_EQ(browser.title(), "Личный кабинет");
    EXPECT_EQ(browser.address(), account);
    snapshot_window(browser.gtk_window(), artifact("browser_signed_in.png"));

    // The tray's instruction opens in the same window.
    GtkWindow* window = browser.gtk_window();
    command(ID_INSTRUCTION);
    ASSERT_TRUE(showing(browser, server().base_url() + "/help/instruction"));
    EXPECT_EQ(browser.gtk_window(), window);

    // Sign-out closes the window and takes the sign-in cookies out of the store: the same
    // page now names nobody, and no cookie of the user goes to the server.
    command(ID_CHANGE_USER);
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    EXPECT_EQ(browser.gtk_window(), nullptr);
    ASSERT_TRUE(browser.open(details::utf8_to_wide(account)));
    ASSERT_TRUE(showing(browser, account));
    EXPECT_EQ(signed_in(browser), std::make_pair(std::string(), std::string()));
    const auto after = server().requests("/account");
    ASSERT_EQ(after.size(), 2u);
    EXPECT_EQ(after[1].cookie("auth.sid"), "");
    EXPECT_EQ(after[1].cookie("token"), "");
}

TEST_F(BrowserWindowTest, TheStoreOutlivesTheProgramAndLoopbackGetsItsSecureCookiesOverHttp) {
    // The stand-in over plain HTTP at the API's own host: the link service writes host
    // cookies marked secure, which a loopback address still receives.
    auto client = std::shared_ptr<winhttp::SimpleClient>();
    const std::string account = server().base_url() + "/account";
    const std::string sid = server().create_session();
    const std::string token = server().user(sandbox::Server::DEMO_LOGIN)->token;
    {
        auto browser = std::make_shared<BrowserWindow>(options());
        UriService service(client, details::utf8_to_wide(server().api_url()));
        service.set_browser(browser);
        service.set_fallback_browser(desktop);
        ASSERT_TRUE(service.open_link(details::utf8_to_wide(account), details::utf8_to_wide(token),
                                      details::utf8_to_wide(sid)));
        ASSERT_TRUE(showing(*browser, account));
        EXPECT_EQ(signed_in(*browser), std::make_pair(std::string(sandbox::Server::DEMO_LOGIN),
                                                      std::string(sandbox::Server::DEMO_LOGIN)));
    }
    EXPECT_TRUE(desktop->opened().empty()) << "the window took the link";

    // A new window (the next start of the program) finds the cookies in the store.
    BrowserWindow again(options());
    ASSERT_TRUE(again.open(details::utf8_to_wide(account + "?again")));
    ASSERT_TRUE(showing(again, account + "?again"));
    EXPECT_EQ(signed_in(again).first, sandbox::Server::DEMO_LOGIN);
}

TEST_F(BrowserWindowTest, OneWindowIsReusedAndItsControlsWork) {
    BrowserWindow browser(options());
    const std::string first = server().base_url() + "/account";
    const std::string second = server().base_url() + "/help/instruction";
    ASSERT_TRUE(browser.open(details::utf8_to_wide(first)));
    ASSERT_TRUE(showing(browser, first));
    GtkWindow* window = browser.gtk_window();
    ASSERT_TRUE(browser.open(details::utf8_to_wide(second)));
    ASSERT_TRUE(showing(browser, second));
    EXPECT_EQ(browser.gtk_window(), window);
    EXPECT_TRUE(gtk_window_get_decorated(window));
    EXPECT_NE(webkit_web_view_get_context(browser.web_view()), engine::page_context())
        << "remote pages never run in the pages' context";
    EXPECT_EQ(evaluate(browser.web_view(), "typeof window.view + typeof window.__varnel_bridge"),
              Json::Value("undefinedundefined"));

    // Back, forward, reload and the desktop's browser, as the header's buttons do them.
    std::map<std::string, GtkWidget*> buttons;
    GtkWidget* header = gtk_window_get_titlebar(window);
    std::function<void(GtkWidget*)> collect = [&](GtkWidget* widget) {
        if (GTK_IS_BUTTON(widget)) {
            // Icon buttons are known by their tooltip (their accessible name), the others by
            // their label.
            const char* label = gtk_button_get_label(GTK_BUTTON(widget));
            gchar* tip = gtk_widget_get_tooltip_text(widget);
            if (label != nullptr)
                buttons[label] = widget;
            else if (tip != nullptr)
                buttons[tip] = widget;
            g_free(tip);
        }
        if (GTK_IS_CONTAINER(widget))
            gtk_container_foreach(
                GTK_CONTAINER(widget), [](GtkWidget* child, gpointer data) {
                    (*static_cast<std::function<void(GtkWidget*)>*>(data))(child);
                },
                &collect);
    };
    collect(header);
    ASSERT_EQ(buttons.count("Назад"), 1u);
    ASSERT_EQ(buttons.count("Вперёд"), 1u);
    ASSERT_EQ(buttons.count("Обновить"), 1u);
    ASSERT_EQ(buttons.count("Открыть в браузере"), 1u);
    EXPECT_TRUE(gtk_widget_get_sensitive(buttons["Назад"]));
    EXPECT_FALSE(gtk_widget_get_sensitive(buttons["Вперёд"]));
    gtk_button_clicked(GTK_BUTTON(buttons["Назад"]));
    ASSERT_TRUE(showing(browser, first));
    EXPECT_TRUE(pump_until([&] { return gtk_widget_get_sensitive(buttons["Вперёд"]); }));
    const std::size_t visits = server().requests("/account").size();
    gtk_button_clicked(GTK_BUTTON(buttons["Обновить"]));
    EXPECT_TRUE(pump_until([&] { return server().requests("/account").size() == visits + 1; }));
    ASSERT_TRUE(showing(browser, first));
    gtk_button_clicked(GTK_BUTTON(buttons["Открыть в браузере"]));
    EXPECT_EQ(desktop->opened(), std::vector<std::wstring>{details::utf8_to_wide(first)});

    // Only web addresses are taken; a cookie whose domain does not cover the link is refused.
    EXPECT_FALSE(browser.open(L"javascript:alert(1)"));
    EXPECT_FALSE(browser.open(L"file:///etc/passwd"));
    EXPECT_FALSE(browser.set_cookie(details::utf8_to_wide(first), L"token",
                                    UriService::get_cookie_string(L"x", PRODUCTION_COOKIE_DOMAIN)));

    // Closed by the user, the next link makes a new window.
    gtk_widget_destroy(GTK_WIDGET(window));
    EXPECT_EQ(browser.gtk_window(), nullptr);
    ASSERT_TRUE(browser.open(details::utf8_to_wide(second)));
    ASSERT_TRUE(showing(browser, second));
}

TEST_F(BrowserWindowTest, ACertificateThatDoesNotVerifyShowsAnErrorPageNeverTheContent) {
    const std::string account = secure_->base_url() + "/account";
    const auto error_shown = [&](BrowserWindow& browser) {
        return pump_until([&] {
            return browser.web_view() != nullptr &&
                   evaluate(browser.web_view(), "document.body?.dataset.error ?? ''", true) ==
                       Json::Value("certificate");
        });
    };

    // Without the provider's CA the system does not know the issuer.
    {
        BrowserWindow browser(options());
        ASSERT_TRUE(browser.open(details::utf8_to_wide(account)));
        ASSERT_TRUE(error_shown(browser));
        EXPECT_TRUE(pump_until([&] { return browser.title() == "Подключение не защищено"; })) << browser.title();
        EXPECT_EQ(browser.address(), account);
        snapshot_window(browser.gtk_window(), artifact("browser_certificate_error.png"));
    }
    // Another provider's CA vouches for nothing here.
    sandbox::Options other_options;
    other_options.tls = true;
    sandbox::Server other(other_options);
    other.start();
    {
        BrowserWindow browser(options(other.ca_certificate()));
        ASSERT_TRUE(browser.open(details::utf8_to_wide(account)));
        ASSERT_TRUE(error_shown(browser));
    }
    EXPECT_TRUE(secure_->requests("/account").empty()) << "the page itself was never asked for";

    // The configured CA is trusted like the system's own.
    BrowserWindow trusted(options(secure_->ca_certificate()));
    ASSERT_TRUE(trusted.open(details::utf8_to_wide(account)));
    ASSERT_TRUE(showing(trusted, account));
    EXPECT_EQ(secure_->requests("/account").size(), 1u);
}

// Sign-out leaves the next person at the desk signed in nowhere: whatever the provider's
// sites stored goes, not only the sign-in cookies. A user who did not ask to stay signed in
// leaves nothing of them on disk at all.
TEST_F(BrowserWindowTest, SignOutForgetsEverythingTheSitesStoredAndAnUnrememberedUserLeavesNothing) {
    const std::string account = server().base_url() + "/account";
    {
        BrowserWindow browser(options());
        ASSERT_TRUE(browser.set_cookie(details::utf8_to_wide(account), L"site",
                                       L"kept; expires=Fri, 01 Jan 2038 00:00:00 GMT; path=/"));
        ASSERT_TRUE(browser.open(details::utf8_to_wide(account)));
        ASSERT_TRUE(showing(browser, account));
        evaluate(browser.web_view(), "localStorage.setItem('draft', 'черновик'), true");
        ASSERT_EQ(evaluate(browser.web_view(), "localStorage.getItem('draft')"), Json::Value("черновик"));
        browser.sign_out();
        ASSERT_TRUE(pump_until([&] { return !browser.busy(); }));
        ASSERT_TRUE(browser.open(details::utf8_to_wide(account + "?after")));
        ASSERT_TRUE(showing(browser, account + "?after"));
        EXPECT_EQ(evaluate(browser.web_view(), "localStorage.getItem('draft')"), Json::Value());
        EXPECT_EQ(server().requests("/account").back().cookie("site"), "");
    }

    // Not remembered: an ephemeral store; the folder never gets the sites' data.
    const std::filesystem::path data = home().path() / ".local/share/varnel-agent/browser";
    std::filesystem::remove_all(data);
    BrowserWindow forgetful(options());
    forgetful.set_remembered(false);
    ASSERT_TRUE(forgetful.set_cookie(details::utf8_to_wide(account), L"auth.sid",
                                     UriService::get_cookie_string(L"s1d", L"127.0.0.1", false)));
    ASSERT_TRUE(forgetful.open(details::utf8_to_wide(account)));
    ASSERT_TRUE(showing(forgetful, account));
    EXPECT_EQ(server().requests("/account").back().cookie("auth.sid"), "s1d");
    evaluate(forgetful.web_view(), "localStorage.setItem('draft', 'x'), true");
    forgetful.close();
    pump_until([] { return false; }, std::chrono::milliseconds(500));
    EXPECT_FALSE(std::filesystem::exists(data / "cookies.sqlite"));
    EXPECT_FALSE(std::filesystem::exists(data / "localstorage"));
}

// A data: page in place of the provider's (a phishing staple) is never shown, whatever leads
// there; a page's own frames may still use such addresses.
TEST_F(BrowserWindowTest, NoDataPageTakesTheWindowsPlace) {
    auto page = fault("/account", 200,
                      "<!DOCTYPE html><html><body><iframe id=\"frame\" src=\"data:text/html,<script>parent.postMessage("
                      "'framed','*')</script>\"></iframe><a id=\"lure\" href=\"data:text/html,<title>Вход</title>"
                      "<h1 id=phish>Вход</h1>\">Войти</a><script>addEventListener('message',(e)=>{"
                      "document.body.dataset.frame=e.data})</script></body></html>");
    page.content_type = "text/html";
    server().add_fault(page);
    BrowserWindow browser(options());
    const std::string account = server().base_url() + "/account";
    ASSERT_TRUE(browser.open(details::utf8_to_wide(account)));
    ASSERT_TRUE(showing(browser, account));
    EXPECT_TRUE(pump_until([&] {
        return evaluate(browser.web_view(), "document.body.dataset.frame ?? ''", true) == Json::Value("framed");
    })) << "a frame's data: address is the page's own business";

    // The user clicks the lure: the engine refuses a page's own way there already; however it
    // is reached, nothing of the data: page is shown.
    ASSERT_TRUE(click_element(browser.gtk_window(), browser.web_view(), "#lure"));
    pump_until([] { return false; }, std::chrono::seconds(1));
    const auto no_phish = [&] {
        const char* uri = webkit_web_view_get_uri(browser.web_view());
        return std::string(uri != nullptr ? uri : "").rfind("data:", 0) != 0 &&
               evaluate(browser.web_view(), "document.getElementById('phish') === null", true) == Json::Value(true);
    };
    EXPECT_TRUE(no_phish());
    // Loaded by the window itself (the way a link handed to it goes): stopped, and said so.
    webkit_web_view_load_uri(browser.web_view(), "data:text/html,<h1 id=phish>x</h1>");
    ASSERT_TRUE(pump_until([&] {
        return evaluate(browser.web_view(), "document.body?.dataset.error ?? ''", true) == Json::Value("blocked");
    }));
    EXPECT_TRUE(no_phish());
    // The window's title follows the engine's title change, which comes after the document.
    EXPECT_TRUE(pump_until([&] { return browser.title() == "Страница не открыта"; }, std::chrono::seconds(5)))
        << browser.title();
    snapshot_window(browser.gtk_window(), artifact("browser_data_blocked.png"));
}

// The provider's services open through the agent's own proxy; the proxy the user named gets
// the user's credentials when it asks.
TEST_F(BrowserWindowTest, PagesGoThroughTheAgentsProxy) {
    Tinyproxy proxy(home().path() / "proxy", "agent", "pr0xy-secret");
    auto settings = options();
    settings.proxy.mode = winhttp::NamedProxy;
    settings.proxy.url = proxy.address();
    settings.proxy.user = L"agent";
    settings.proxy.password = L"pr0xy-secret";
    BrowserWindow browser(settings);
    const std::string account = server().base_url() + "/account";
    ASSERT_TRUE(browser.open(details::utf8_to_wide(account)));
    ASSERT_TRUE(showing(browser, account));
    EXPECT_EQ(server().requests("/account").size(), 1u);
    const auto through = proxy.requests();
    EXPECT_TRUE(std::any_of(through.begin(), through.end(),
                            [&](const std::string& line) { return line.find("/account") != std::string::npos; }))
        << "the page did not go through the proxy";

    // Changed to no proxy at all: the host is not reached through the proxy any more.
    winhttp::ProxySettings direct;
    direct.mode = winhttp::NoProxy;
    browser.set_proxy(direct);
    const std::string local = server().base_url() + "/account?direct";
    const std::size_t before = proxy.requests().size();
    ASSERT_TRUE(browser.open(details::utf8_to_wide(local)));
    ASSERT_TRUE(showing(browser, local));
    EXPECT_EQ(proxy.requests().size(), before);
}

}  // namespace
}  // namespace agent::testing
