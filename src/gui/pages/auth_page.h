#pragma once

#include <exception>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "crypto/certificate.h"
#include "gui/pages/base_page.h"
#include "gui/pages/certificate_viewer.h"
#include "gui/pages/page_task.h"
#include "winhttp/proxy.h"

namespace varnelagent::pages {

// The sign-in page (res:auth.htm): the user's certificates and the login form. Listing the
// certificates and signing in run as tasks; a sign-in that cannot reach the service retries
// once through the system's proxy on its own, and then lets the user correct the proxy or
// give its credentials in dialogs, storing what was entered. GUI thread unless said
// otherwise.
class AuthPage : public BasePage {
public:
    explicit AuthPage(agent::AgentClient* client);
    // Waits for a running task (its hand-overs to the GUI thread are given up first), closes
    // the certificate viewer and frees the certificate list.
    ~AuthPage() override;

    PageKind kind() const override { return AUTH_PAGE; }
    std::string start_url() const override { return "res:auth.htm"; }
    bool hides_when_unfocused() const override { return false; }
    // Leaving the page ends its sign-in first: what the sign-in still has to say (a PIN
    // question the user's Exit closed comes back as "cancelled") must not open a dialog
    // over a page that is going.
    bool on_unload_page() override;

    // The certificate viewer while it is open.
    const CertificateViewer* certificate_viewer() const noexcept {
        return viewer_ && viewer_->open() ? viewer_.get() : nullptr;
    }

    // The record the document shows for a certificate at that position of the list.
    static Json::Value certificate_record(const agent::crypto::Certificate& certificate, std::size_t number);

protected:
    void add_functions();

private:
    struct SignIn {
        bool by_certificate = false;
        std::string number;
        std::wstring login;
        std::wstring password;
        bool remember = false;
    };
    // What the retry loop does next after a failed attempt.
    enum class Retry { None, Proxy, Credentials };

    void start_listing(const Json::Value& args);
    void start_sign_in(const Json::Value& args);
    Json::Value display_cert(const Json::Value& args);

    // Task threads.
    void list_certificates(const engine::ScriptCallback& items, const std::wstring& unlock);
    void sign_in(const SignIn& request, const engine::ScriptCallback& end, WindowHandle window);
    void attempt(const SignIn& request, const winhttp::ProxySettings& proxy, Retry retry, WindowHandle window);
    // Shows what went wrong, or asks what to retry with: the next retry state, or nothing
    // when the sign-in has failed.
    std::optional<Retry> after_failure(std::exception_ptr failure, winhttp::ProxySettings& proxy, Retry retry,
                                       WindowHandle window);
    std::optional<agent::crypto::Certificate> certificate_at(const std::string& number) const;

    // The last listing's certificates; a certificate's number is its position here. Written
    // by the listing task, read by the sign-in task and by display_cert.
    mutable std::mutex certificates_mutex_;
    std::vector<agent::crypto::Certificate> certificates_;
    std::unique_ptr<CertificateViewer> viewer_;
    PageTasks tasks_;
};

}  // namespace varnelagent::pages
