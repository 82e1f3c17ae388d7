// The sign-in page in the real shell with the stand-in provider: both ways in as a person
// uses them (keys into the fields, clicks with the pointer), what the server saw, what is
// kept, every refusal with its dialog, the proxy retries through a real tinyproxy, PINs of
// keys and of locked certificate files, the certificate viewer, and closing mid-sign-in.
// Screenshots of the page's states go to the artifacts folder.
#include <gtk/gtk.h>
#define GCR_API_SUBJECT_TO_CHANGE
#include <gcr/gcr.h>

#include <cstdlib>

#include "certgen/certgen.h"
#include "gui/pages/auth_page.h"
#include "support/tinyproxy.h"
#include "page_driver.h"
#include "winhttp/simple_client.h"
#include "shell_fixture.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using certgen::SubjectKind;
using certgen::UserOptions;

sandbox::Fault fault(const std::string& path, std::chrono::milliseconds delay, int status = 0,
                     const std::string& body = {}, const std::string& content_type = "application/json") {
    sandbox::Fault made;
    made.path = path;
    made.delay = delay;
    made.status = status;
    made.body = body;
    made.content_type = content_type;
    return made;
}

std::string percent_decoded(const std::string& text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%' && i + 2 < text.size()) {
            out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
            i += 2;
        } else {
            out += text[i];
        }
    }
    return out;
}

class AuthPageTest : public ShellTest {
protected:
    void TearDown() override {
        page_.reset();
        ShellTest::TearDown();
        ::unsetenv("http_proxy");
    }

    std::filesystem::path data_directory() const { return details::wide_to_utf8(home().data_directory()); }
    std::filesystem::path certificates() const { return home().path() / ".local/share/varnel-agent/certificates"; }
    bool remembered() const { return std::filesystem::exists(data_directory() / "sid"); }
    std::string config_text() const { return read_text(data_directory() / "config"); }

    static const certgen::Authority& authority() {
        static const certgen::Authority made;
        return made;
    }
    certgen::UserCertificate issue(UserOptions options) { return certgen::issue(authority(), options); }

    // Starts the program signed out and waits until the page has listed the certificates.
    void open_sign_in(const std::string& config = {}) {
        write_config(config);
        start();
        ASSERT_TRUE(wait_page(AUTH_PAGE));
        page_ = std::make_unique<PageDriver>(shell_->window());
        page_->focus_window();
        ASSERT_TRUE(page_->wait("document.body.dataset.ready === 'true'"));
    }

    PageDriver& page() { return *page_; }
    bool enabled() { return page().eval("!document.body.classList.contains('disabled')", true) == true; }

    void type_credentials(const std::string& login, const std::string& password) {
        if (page().eval("document.getElementById('AuthContainer').classList.contains('authContainer__cert')") == true)
            page().click("#TabLogin");
        page().focus_window();
        page().fill("#Login", login);
        page().fill("#Password", password);
    }
    void press_enter() {
        page().focus_window();
        page().key(GDK_KEY_Return, "", false);
    }
    void press_sign_in() { page().click("#SignIn", 1, false); }

    // Runs until `done`; a dialog that nobody expected fails the test and is closed.
    bool without_dialogs(std::function<bool()> done, std::chrono::seconds timeout = std::chrono::seconds(30)) {
        return run_steps({[this, done] {
                             if (auto* dialog = live(MESSAGE_DIALOG)) {
                                 ADD_FAILURE() << "unexpected dialog " << dialog->start_url() << ": "
                                               << PageDriver(*dialog->host_window()).text("body");
                                 answer(*dialog, false);
                             }
                             return done();
                         }},
                         timeout);
    }
    bool signed_in() {
        return without_dialogs([this] {
            auto* current = shell_->current_page();
            return current && current->kind() == NOTIFICATIONS_PAGE && current->host_window()->loaded() &&
                   shell_->window().visible();
        });
    }

    // A step: the dialog showing that document is up; `seen` gets its title and text, then
    // it ends with `result` (as its button would).
    std::function<bool()> dialog(const std::string& url, std::string* seen, Json::Value result,
                                 const std::string& screenshot_name = {}) {
        return on_dialog(MESSAGE_DIALOG, [this, url, seen, result, screenshot_name](pages::ModalDialog& shown) {
            EXPECT_EQ(shown.start_url(), url);
            if (!screenshot_name.empty())
                screenshot(screenshot_name);
            PageDriver driver(*shown.host_window());
            if (seen != nullptr)
                *seen = driver.text("#DialogTitle") + "\n" + driver.text("#DialogMessage") + "\n" +
                        driver.text(".field__error");
            answer(shown, result);
        });
    }
    std::function<bool()> form_usable() {
        return [this] { return enabled(); };
    }

    // Screen pixels of the main window and what lies over it (a dialog), as a person sees them.
    void screenshot(const std::string& name) {
        pump_for(std::chrono::milliseconds(300));
        const engine::Rect rect = shell_->window().rect();
        GdkPixbuf* pixels = gdk_pixbuf_get_from_window(gdk_get_default_root_window(), rect.left, rect.top,
                                                       rect.width(), rect.height());
        ASSERT_NE(pixels, nullptr);
        gdk_pixbuf_save(pixels, artifact(name).c_str(), "png", nullptr, nullptr);
        g_object_unref(pixels);
    }

    std::unique_ptr<PageDriver> page_;
};

TEST_F(AuthPageTest, PasswordSignInKeepsTheSessionOnlyWhenAskedTo) {
    open_sign_in();
    EXPECT_EQ(page().text(".certs__empty .state__title"), "Мы не нашли сертификатов на компьютере");
    EXPECT_EQ(page().eval("document.querySelectorAll('.certs__empty a[href^=\"https://\"]').length"), 2);
    EXPECT_EQ(page().eval("document.getElementById('SignIn').disabled"), true);
    shell_->window().snapshot_png(artifact("auth-empty-store.png"));

    // Both fields are required, and nothing goes out without them.
    page().click("#TabLogin");
    page().click("#SignIn");
    EXPECT_EQ(page().text("#LoginError"), "Поле «Электронная почта» должно быть заполнено.");
    EXPECT_EQ(page().text("#PasswordError"), "Поле «Пароль» должно быть заполнено.");
    EXPECT_TRUE(server().requests("/auth/authenticate-by-pass").empty());
    shell_->window().snapshot_png(artifact("auth-login-required.png"));

    page().click("#Remember");
    type_credentials(sandbox::Server::DEMO_LOGIN, sandbox::Server::DEMO_PASSWORD);
    EXPECT_EQ(page().text("#LoginError"), "");
    press_enter();
    ASSERT_TRUE(signed_in());
    EXPECT_FALSE(remembered());
    EXPECT_NE(config_text().find("last_email = demo@varnel.example"), std::string::npos);

    // The next start asks again, with the address filled in; "Запомнить" keeps the session.
    shell_.reset();
    start();
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    page_ = std::make_unique<PageDriver>(shell_->window());
    ASSERT_TRUE(page().wait("document.body.dataset.ready === 'true'"));
    page().click("#TabLogin");
    EXPECT_EQ(page().eval("document.getElementById('Login').value"), sandbox::Server::DEMO_LOGIN);
    EXPECT_EQ(page().eval("document.getElementById('Remember').checked"), true);
    page().focus_window();
    page().fill("#Password", sandbox::Server::DEMO_PASSWORD);
    press_sign_in();
    ASSERT_TRUE(signed_in());
    EXPECT_TRUE(remembered());
    shell_.reset();
    start();
    EXPECT_TRUE(wait_page(NOTIFICATIONS_PAGE));
}

TEST_F(AuthPageTest, RefusalsAreExplainedAndLeaveTheFormUsable) {
    open_sign_in();
    // An unknown login with characters that must survive the query string.
    const std::string login = "иван+отчёт&co@пример.рф";
    const std::string password = "pa ss \"q\" 'x'";
    std::string seen;
    type_credentials(login, password);
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:error.html", &seen, true), form_usable()}));
    EXPECT_NE(seen.find("Пользователь с указанным адресом"), std::string::npos) << seen;
    const auto asked = server().requests("/auth/authenticate-by-pass");
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(percent_decoded(asked[0].query), "login=" + login);
    EXPECT_EQ(asked[0].body, password);

    // Wrong passwords: four times the password text, the fifth locks the login.
    page().fill("#Login", sandbox::Server::DEMO_LOGIN);
    for (int attempt = 1; attempt <= 5; ++attempt) {
        press_sign_in();
        const std::string picture = attempt == 5 ? "auth-error-dialog.png" : "";
        ASSERT_TRUE(run_steps({dialog("res:error.html", &seen, true, picture), form_usable()})) << attempt;
        const char* expected = attempt < 5 ? "Неверный пароль." : "Повторить попытки через 15 минут.";
        EXPECT_NE(seen.find(expected), std::string::npos) << attempt << ": " << seen;
    }
    EXPECT_EQ(server().requests("/auth/authenticate-by-pass").back().body, password);

    // A server that answers with a web page of its own.
    server().add_fault(fault("/auth/authenticate-by-pass", std::chrono::milliseconds(0), 500,
                             "<html><body><h1>Internal Server Error</h1></body></html>", "text/html"));
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:error.html", &seen, true), form_usable()}));
    EXPECT_EQ(seen.rfind("Ошибка авторизации Варнел.Агент\nСервер ответил ошибкой 500.", 0), 0u) << seen;
    EXPECT_FALSE(remembered());
    EXPECT_EQ(config_text().find("last_email"), std::string::npos);
}

TEST_F(AuthPageTest, ADirectConnectionThatFailsIsRetriedOnceThroughTheSystemProxy) {
    Tinyproxy proxy(home().path());
    ScopedEnv http_proxy("http_proxy", "http://127.0.0.1:" + std::to_string(proxy.port()));
    open_sign_in();
    // The direct attempt never gets its answer in time; the one through the proxy has time
    // to spare however loaded the machine (were it cut short too, the error dialog's own
    // loop would wait for a user who never comes).
    shell_->client().http_client()->set_timeouts(3);
    server().add_fault(fault("/auth/authenticate-by-pass", std::chrono::milliseconds(6000)));
    type_credentials(sandbox::Server::DEMO_LOGIN, sandbox::Server::DEMO_PASSWORD);
    press_sign_in();
    ASSERT_TRUE(signed_in());
    const auto asked = server().requests("/auth/authenticate-by-pass");
    ASSERT_EQ(asked.size(), 2u);
    EXPECT_EQ(asked[0].header("Via"), "");
    EXPECT_NE(asked[1].header("Via").find("tinyproxy"), std::string::npos);
    EXPECT_NE(config_text().find("proxy_mode = DefaultProxy"), std::string::npos);
}

TEST_F(AuthPageTest, ConnectionAndProxyFailuresAskWhatToRetryWith) {
    // The network is down: one quiet retry with the system's settings, then the dialog.
    open_sign_in("auth_uri = http://127.0.0.1:" + std::to_string(free_port()) + "/auth\n");
    std::string seen;
    type_credentials(sandbox::Server::DEMO_LOGIN, sandbox::Server::DEMO_PASSWORD);
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:error.html", &seen, false), form_usable()}));
    EXPECT_NE(seen.find("Соединение было прервано"), std::string::npos) << seen;
    EXPECT_NE(config_text().find("proxy_mode = DefaultProxy"), std::string::npos);
    shell_.reset();

    // A dead proxy: the proxy form, filled with a live one, is tried and kept.
    Tinyproxy proxy(home().path());
    const std::string dead = "127.0.0.1:" + std::to_string(free_port());
    open_sign_in("proxy_mode = NamedProxy\nproxy_uri = " + dead + "\n");
    type_credentials(sandbox::Server::DEMO_LOGIN, sandbox::Server::DEMO_PASSWORD);
    press_sign_in();
    Json::Value form;
    form["mode"] = "NamedProxy";
    form["url"] = "127.0.0.1";
    form["port"] = std::to_string(proxy.port());
    form["username"] = "";
    form["password"] = "";
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG,
                                     [](pages::ModalDialog& shown) {
                                         PageDriver driver(*shown.host_window());
                                         EXPECT_EQ(driver.text("#DialogConfirm"), "Настроить прокси-сервер");
                                         driver.focus_window();
                                         driver.click("#DialogConfirm", 1, false);
                                     }),
                           [this] {
                               auto* shown = live(MESSAGE_DIALOG);
                               return shown && PageDriver(*shown->host_window()).eval(
                                                   "document.getElementById('ProxyUrl')?.value", true) == "127.0.0.1";
                           },
                           on_dialog(MESSAGE_DIALOG, [form](pages::ModalDialog& shown) { answer(shown, form); })}));
    ASSERT_TRUE(signed_in());
    EXPECT_NE(config_text().find("proxy_uri = 127.0.0.1:" + std::to_string(proxy.port())), std::string::npos);
}

TEST_F(AuthPageTest, AProxyThatWantsCredentialsAsksForThem) {
    Tinyproxy proxy(home().path(), "agent", "s3cret");
    open_sign_in("proxy_mode = NamedProxy\nproxy_uri = 127.0.0.1:" + std::to_string(proxy.port()) + "\n");
    type_credentials(sandbox::Server::DEMO_LOGIN, sandbox::Server::DEMO_PASSWORD);
    // Closing the question ends the sign-in without another try.
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:credentials.html", nullptr, false), form_usable()}));
    EXPECT_TRUE(server().requests("/auth/authenticate-by-pass").empty());

    Json::Value credentials;
    credentials["username"] = "agent";
    credentials["password"] = "s3cret";
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:credentials.html", nullptr, credentials)}));
    ASSERT_TRUE(signed_in());
    EXPECT_NE(config_text().find("proxy_user = agent"), std::string::npos);
    EXPECT_NE(server().requests("/auth/authenticate-by-pass").at(0).header("Via").find("tinyproxy"),
              std::string::npos);
}

TEST_F(AuthPageTest, CertificatesAreListedShownAndSignInWithTheKeysPin) {
    const UserOptions person_options = UserOptions::for_kind(SubjectKind::Person, 1);
    const auto person = issue(person_options);
    const auto organisation = issue(UserOptions::for_kind(SubjectKind::Organization, 2));
    certgen::Pkcs12Options pin;
    pin.pin = "1234";
    person.write_pkcs12(certificates() / "a-person.p12", pin);
    organisation.write_pem(certificates() / "b-organisation.pem");
    certgen::write_bytes(certificates() / "c-corrupt.p12", {0x30, 0x82, 0x01, 0x00, 0x02});
    issue(UserOptions::for_kind(SubjectKind::Person, 3).expired()).write_pkcs12(certificates() / "d-expired.p12");
    issue(UserOptions::for_kind(SubjectKind::Person, 4).without_private_key())
        .write_pem(certificates() / "e-no-key.pem", false);
    open_sign_in();

    ASSERT_EQ(page().eval("document.body.dataset.certificates"), "2");
    EXPECT_EQ(page().eval("document.querySelector('.cert__radio').checked"), true);
    const std::string first = ".certs .cert:nth-child(1)";
    const std::string second = ".certs .cert:nth-child(2)";
    EXPECT_EQ(page().text(first + " .cert__inn"), *person_options.inn);
    EXPECT_EQ(page().eval("document.querySelector('" + first + " .cert__field--kpp')"), Json::Value());
    EXPECT_EQ(page().text(second + " .cert__field--kpp .cert__caption"), "КПП");
    EXPECT_EQ(page().text(second + " .cert__kpp").size(), 9u);
    shell_->window().snapshot_png(artifact("auth-certificates.png"));
    page().click("#TabLogin");
    shell_->window().snapshot_png(artifact("auth-login-tab.png"));
    page().click("#TabCert");

    // The info icon shows the certificate in the viewer, over the window, until closed.
    page().click(first + " .cert__info");
    auto* sign_in = dynamic_cast<pages::AuthPage*>(shell_->current_page());
    ASSERT_TRUE(pump_until([&] { return sign_in->certificate_viewer() != nullptr; }));
    const pages::CertificateViewer* viewer = sign_in->certificate_viewer();
    gsize size = 0;
    const guchar* der = gcr_certificate_get_der_data(
        gcr_certificate_widget_get_certificate(GCR_CERTIFICATE_WIDGET(viewer->viewer())), &size);
    EXPECT_EQ(std::vector<std::uint8_t>(der, der + size), person.der());
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(viewer->dialog())), shell_->window().gtk_window());
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(viewer->dialog())));
    pump_for(std::chrono::milliseconds(500));
    GdkWindow* drawn = gtk_widget_get_window(viewer->dialog());
    if (GdkPixbuf* pixels = gdk_pixbuf_get_from_window(drawn, 0, 0, gdk_window_get_width(drawn),
                                                       gdk_window_get_height(drawn))) {
        gdk_pixbuf_save(pixels, artifact("auth-certificate-viewer.png").c_str(), "png", nullptr, nullptr);
        g_object_unref(pixels);
    }
    gtk_dialog_response(GTK_DIALOG(viewer->dialog()), GTK_RESPONSE_CLOSE);
    ASSERT_TRUE(pump_until([&] { return sign_in->certificate_viewer() == nullptr; }));

    // A wrong PIN, then a cancelled one, each with its dialog; then the right one.
    std::string seen;
    page().click(first + " .cert__organization", 2, false);
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG,
                                     [this](pages::ModalDialog& shown) {
                                         EXPECT_EQ(shown.start_url(), "res:pin.html");
                                         PageDriver driver(*shown.host_window());
                                         shown.host_window()->snapshot_png(artifact("auth-pin-dialog.png"));
                                         driver.focus_window();
                                         driver.fill("#Pin", "0000");
                                         driver.click("#DialogConfirm", 1, false);
                                     }),
                           dialog("res:error.html", &seen, true), form_usable()}));
    EXPECT_NE(seen.find("Введен неверный пин."), std::string::npos) << seen;
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:pin.html", nullptr, false), dialog("res:error.html", &seen, true),
                           form_usable()}));
    EXPECT_NE(seen.find("Операция была отменена пользователем"), std::string::npos) << seen;
    EXPECT_TRUE(server().requests("/auth/authenticate-by-pass").empty());
    Json::Value right;
    right["pin"] = "1234";
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:pin.html", nullptr, right)}));
    ASSERT_TRUE(signed_in());
    const auto sent = server().requests("/auth/authenticate-by-cert");
    ASSERT_EQ(sent.size(), 3u);
    const auto der_sent = person.der();
    EXPECT_EQ(sent.back().body, std::string(der_sent.begin(), der_sent.end()));
    EXPECT_TRUE(remembered());
}

TEST_F(AuthPageTest, ALockedCertificateFileIsAskedForOnceAndShownLockedWhenDeclined) {
    const auto person = issue(UserOptions::for_kind(SubjectKind::Person, 5));
    certgen::Pkcs12Options locked;
    locked.pin = "5678";
    locked.encrypt_certificate = true;
    person.write_pkcs12(certificates() / "ivanov.p12", locked);
    write_config();
    start();
    ASSERT_TRUE(wait_page(AUTH_PAGE));
    page_ = std::make_unique<PageDriver>(shell_->window());
    std::string seen;
    ASSERT_TRUE(run_steps({dialog("res:pin.html", &seen, false),
                           [this] { return page().eval("document.body.dataset.ready === 'true'", true) == true; }}));
    EXPECT_NE(seen.find("«ivanov.p12»"), std::string::npos) << seen;
    EXPECT_EQ(page().eval("document.querySelectorAll('.cert--locked').length"), 1);
    EXPECT_EQ(page().text(".cert--locked .cert__file"), "ivanov.p12");
    shell_->window().snapshot_png(artifact("auth-locked-file.png"));

    // Opening the page again does not ask again; the locked row offers to.
    post_show_page(shell_->handle(), AUTH_PAGE);
    ASSERT_TRUE(without_dialogs([this] {
        auto* current = shell_->current_page();
        return current && !current->closing() && current->host_window()->loaded() &&
               page().eval("document.querySelectorAll('.cert--locked').length === 1", true) == true;
    })) << page().eval("document.body.outerHTML.slice(0, 3000)", true).toStyledString();
    Json::Value wrong;
    wrong["pin"] = "0000";
    Json::Value right;
    right["pin"] = "5678";
    page().focus_window();
    page().click(".cert__unlock", 1, false);
    ASSERT_TRUE(run_steps({dialog("res:pin.html", nullptr, wrong), dialog("res:pin.html", &seen, right),
                           [this] { return page().eval("document.body.dataset.certificates === '1'", true) == true; }}));
    EXPECT_NE(seen.find("Неверный PIN-код."), std::string::npos) << seen;
    const std::string record = read_text(certificates() / ".ivanov.p12.listing");
    EXPECT_EQ(record.find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(record.find("5678"), std::string::npos);

    // From now on the file lists without its PIN; signing in asks for it.
    shell_.reset();
    open_sign_in();
    EXPECT_EQ(page().eval("document.body.dataset.certificates"), "1");
    press_sign_in();
    ASSERT_TRUE(run_steps({dialog("res:pin.html", &seen, right)}));
    ASSERT_TRUE(signed_in());
    EXPECT_NE(seen.find("Закрытый ключ сертификата"), std::string::npos) << seen;
}

TEST_F(AuthPageTest, ClosingTheWindowDuringASignInWaitsForItWithoutDeadlock) {
    open_sign_in();
    server().add_fault(fault("/auth/authenticate-by-pass", std::chrono::milliseconds(1500)));
    type_credentials(sandbox::Server::DEMO_LOGIN, sandbox::Server::DEMO_PASSWORD);
    press_sign_in();
    ASSERT_TRUE(page().wait("document.body.classList.contains('loading')"));
    shell_->window().snapshot_png(artifact("auth-loading.png"));
    page().click("#Close", 1, false);
    ASSERT_TRUE(pump_until([&] { return ended_; }, std::chrono::seconds(10)));
    EXPECT_EQ(server().requests("/auth/authenticate-by-pass").size(), 1u);
    shell_.reset();
    // The sign-in the window waited for did finish, and was remembered as asked.
    EXPECT_TRUE(remembered());
    std::filesystem::remove(data_directory() / "sid");

    // Closed while the key's PIN is being asked for: the question goes with the window.
    const auto person = issue(UserOptions::for_kind(SubjectKind::Person, 6));
    certgen::Pkcs12Options pin;
    pin.pin = "1234";
    person.write_pkcs12(certificates() / "person.p12", pin);
    ended_ = false;
    open_sign_in();
    press_sign_in();
    ASSERT_TRUE(run_steps({on_dialog(MESSAGE_DIALOG, [this](pages::ModalDialog&) {
                              post_close(shell_->handle());
                          })}));
    ASSERT_TRUE(pump_until([&] { return ended_; }, std::chrono::seconds(10)));
    EXPECT_FALSE(remembered());
}

}  // namespace
}  // namespace agent::testing
