#include "gui/pages/auth_page.h"

#include <gtk/gtk.h>

#include <limits>
#include <set>

#include "crypto/certificate_store.h"
#include "details/configuration.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/error.h"
#include "gui/pages/pin_dialog.h"
#include "model/agent_client.h"
#include "details/datetime.h"

namespace varnelagent::pages {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr wchar_t GET_CERTS[] = L"varnelagent::pages::AuthPage::get_certs";
constexpr wchar_t AUTHENTICATE[] = L"varnelagent::pages::AuthPage::authenticate";
constexpr wchar_t DISPLAY_CERT[] = L"varnelagent::pages::AuthPage::display_cert";

std::wstring file_name(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

// Certificate files whose PIN the user turned down while they were being listed in this
// run of the program. Later listings show them locked without asking again, until the
// user asks to unlock one. Task threads of any sign-in page.
class DeclinedFiles {
public:
    bool contains(const std::wstring& path) {
        std::lock_guard lock(mutex_);
        return paths_.count(path) != 0;
    }
    void add(const std::wstring& path) {
        std::lock_guard lock(mutex_);
        paths_.insert(path);
    }
    void remove(const std::wstring& path) {
        std::lock_guard lock(mutex_);
        paths_.erase(path);
    }

private:
    std::mutex mutex_;
    std::set<std::wstring> paths_;
};

DeclinedFiles& declined_files() {
    static DeclinedFiles files;
    return files;
}

// A certificate number as the document sends it: decimal digits in a string.
std::optional<std::size_t> parse_number(const std::string& text) {
    if (text.empty() || text.size() > 9)
        return std::nullopt;
    std::size_t number = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return std::nullopt;
        number = number * 10 + static_cast<std::size_t>(c - '0');
    }
    return number;
}

// The code that names a refusal when the answer has no status: the first member besides
// the known ones ("code"), or else the "id".
std::string first_error_code(const agent::ApiError& error) {
    if (!error.details.empty())
        return wide_to_utf8(error.details.front());
    return error.id;
}

// An answer that is not the service's error form (a proxy's or a web server's HTML page)
// carries nothing but its status; say at least what it means.
std::wstring api_error_text(const agent::AgentApiException& error) {
    if (error.error().id.empty() && error.error().message.empty() && error.error().details.empty())
        return L"Сервер ответил ошибкой " + std::to_wstring(error.status()) +
               L". Повторите попытку позже или обратитесь к системному администратору.";
    return error.message();
}

int crypto_error_code(std::uint32_t code) {
    switch (code) {
    case agent::CryptoException::NO_MATCHING_KEY:
        return error::ERROR_NO_KEY_CONTAINER;
    case agent::CryptoException::WRONG_PIN:
        return error::ERROR_WRONG_PIN;
    case agent::CryptoException::PIN_CANCELLED:
        return error::ERROR_CANCELLED;
    default:
        return error::ERROR_PRIVATE_KEY;
    }
}

}  // namespace

AuthPage::AuthPage(agent::AgentClient* client) : BasePage(client) {
    add_functions();
}

bool AuthPage::on_unload_page() {
    closing_ = true;
    tasks_.close();
    return BasePage::on_unload_page();
}

AuthPage::~AuthPage() {
    closing_ = true;
    try {
        viewer_.reset();
        tasks_.close();
        std::lock_guard lock(certificates_mutex_);
        certificates_.clear();
    } catch (...) {
        error::log_exception(std::current_exception(), L"varnelagent::pages::AuthPage::~AuthPage");
    }
}

Json::Value AuthPage::certificate_record(const agent::crypto::Certificate& certificate, std::size_t number) {
    Json::Value record(Json::objectValue);
    const std::wstring inn = certificate.inn();
    record["number"] = static_cast<Json::UInt64>(number);
    record["inn"] = wide_to_utf8(inn);
    record["issuer"] = wide_to_utf8(certificate.person_name());
    record["validTo"] = wide_to_utf8(agent::format_long_date(certificate.valid_to()));
    // A person's INN has twelve digits; an organisation's ten, and a KPP beside it.
    if (inn.size() == 12) {
        record["organization"] = wide_to_utf8(certificate.attribute(agent::crypto::oid::COMMON_NAME));
    } else {
        record["organization"] = wide_to_utf8(certificate.attribute(agent::crypto::oid::ORGANIZATION));
        record["kpp"] = wide_to_utf8(certificate.kpp());
    }
    return record;
}

void AuthPage::add_functions() {
    add_script_function("authenticate_by_cert", [this](const Json::Value& args) {
        start_sign_in(args);
        return Json::Value();
    });
    add_script_function("authenticate_by_login", [this](const Json::Value& args) {
        start_sign_in(args);
        return Json::Value();
    });
    add_script_function("display_cert", [this](const Json::Value& args) { return display_cert(args); });
    add_script_function("get_certs", [this](const Json::Value& args) {
        start_listing(args);
        return Json::Value();
    });
    add_script_function("get_last_email", [this](const Json::Value&) {
        return Json::Value(wide_to_utf8(client().configuration()->last_email));
    });
    add_script_function("agent_close", [this](const Json::Value&) {
        post_close(window_handle());
        return Json::Value();
    });
    add_script_function("agent_minimize", [this](const Json::Value&) {
        if (host_window() != nullptr)
            host_window()->minimize();
        return Json::Value();
    });
}

void AuthPage::start_listing(const Json::Value& args) {
    const engine::ScriptCallback end = host_window()->callback(args[0]);
    const engine::ScriptCallback items = host_window()->callback(args[1]);
    // A third argument names a locked file the user wants to open now.
    const std::wstring unlock = utf8_to_wide(string_of(args[2]));
    tasks_.start({GET_CERTS,
                  // Task thread, task lock held.
                  [=, this] {
                      list_certificates(items, unlock);
                      tasks_.callback(end, Json::Value(true));
                  },
                  [=, this] { tasks_.callback(end, Json::Value(false)); },
                  // A listing that fails shows nothing: the page offers what it has.
                  [](std::exception_ptr failure) { error::log_exception(failure, GET_CERTS); }});
}

void AuthPage::list_certificates(const engine::ScriptCallback& items, const std::wstring& unlock) {
    PinDialogPrompt prompt(window_handle(), PinDialogPrompt::Purpose::Listing);
    prompt.set_filter([&unlock](const agent::crypto::PinRequest& request) {
        return file_name(request.location) == unlock || !declined_files().contains(request.location);
    });
    std::vector<agent::crypto::Certificate> listed = agent::crypto::list_sign_in_certificates(&prompt);

    Json::Value records(Json::arrayValue);
    for (std::size_t i = 0; i < listed.size(); ++i)
        records.append(certificate_record(listed[i], i));
    // A file the user did not open stays in sight, as one locked row the user can open later.
    std::set<std::wstring> locked;
    for (const std::wstring& path : prompt.declined()) {
        declined_files().add(path);
        if (!locked.insert(path).second)
            continue;
        Json::Value record(Json::objectValue);
        record["locked"] = true;
        record["file"] = wide_to_utf8(file_name(path));
        records.append(record);
    }
    for (const std::wstring& path : prompt.asked())
        if (locked.count(path) == 0)
            declined_files().remove(path);
    {
        std::lock_guard lock(certificates_mutex_);
        certificates_ = std::move(listed);
    }
    // The whole list is the callback's one argument.
    Json::Value args(Json::arrayValue);
    args.append(std::move(records));
    tasks_.callback(items, args);
}

void AuthPage::start_sign_in(const Json::Value& args) {
    const engine::ScriptCallback end = host_window()->callback(args[0]);
    SignIn request;
    // The variant is chosen by the number of arguments, as the document calls them.
    if (args.size() == 3) {
        request.by_certificate = true;
        request.number = string_of(args[1]);
        request.remember = is_true(args[2]);
    } else {
        request.login = utf8_to_wide(string_of(args[1]));
        request.password = utf8_to_wide(string_of(args[2]));
        request.remember = is_true(args[3]);
    }
    const WindowHandle window = window_handle();
    tasks_.start({AUTHENTICATE,
                  // Task thread, task lock held; the dialogs it asks for run meanwhile.
                  [=, this] { sign_in(request, end, window); },
                  [=, this] { tasks_.callback(end, Json::Value(false)); },
                  [](std::exception_ptr failure) { error::log_exception(failure, AUTHENTICATE); }});
}

void AuthPage::sign_in(const SignIn& request, const engine::ScriptCallback& end, WindowHandle window) {
    winhttp::ProxySettings proxy = client().configuration()->proxy;
    Retry retry = Retry::None;
    for (;;) {
        try {
            attempt(request, proxy, retry, window);
            break;
        } catch (const HandOverCancelled&) {
            throw;
        } catch (...) {
            const std::optional<Retry> next = after_failure(std::current_exception(), proxy, retry, window);
            if (!next) {
                tasks_.callback(end, Json::Value(false));
                return;
            }
            retry = *next;
        }
    }
    // Signed in, but what was to be remembered is not on disk: said once, before the list.
    if (const std::wstring failure = client().take_save_failure(); !failure.empty())
        error::show_error(failure, window);
    // The window goes out of sight (and out of the task bar's minimised state) until the
    // notifications page has placed it.
    try {
        tasks_.on_gui_thread([this] {
            if (engine::HostWindow* host = host_window()) {
                gtk_window_deiconify(host->gtk_window());
                host->hide();
            }
        });
        tasks_.callback(end, Json::Value(true));
    } catch (const PageClosing&) {
        // The page is going; the session has started all the same.
    }
    post_show_page(window, NOTIFICATIONS_PAGE, true);
}

void AuthPage::attempt(const SignIn& request, const winhttp::ProxySettings& proxy, Retry retry, WindowHandle window) {
    // A retry first puts what the user (or the fallback to the system's proxy) chose in
    // place, and keeps it for the next start.
    if (retry == Retry::Proxy) {
        client().set_proxy(proxy);
        client().save_configuration();
    } else if (retry == Retry::Credentials) {
        client().set_proxy_credentials(proxy.user, proxy.password);
        client().save_configuration();
    }
    if (!request.by_certificate) {
        client().authenticate(request.login, request.password, request.remember);
        return;
    }
    const std::optional<agent::crypto::Certificate> certificate = certificate_at(request.number);
    if (!certificate)
        throw std::out_of_range("No certificate numbered \"" + request.number + "\" in the list");
    PinDialogPrompt prompt(window, PinDialogPrompt::Purpose::SignIn);
    client().authenticate(*certificate, request.remember, &prompt);
}

std::optional<AuthPage::Retry> AuthPage::after_failure(std::exception_ptr failure, winhttp::ProxySettings& proxy,
                                                       Retry retry, WindowHandle window) {
    try {
        std::rethrow_exception(failure);
    } catch (const HandOverCancelled&) {
        throw;
    } catch (const agent::WinHttpException& e) {
        AGENT_ERROR(AUTHENTICATE) << e.description();
        // A network that lets nobody through directly may still have a proxy of its own.
        if (proxy.mode == winhttp::NoProxy && retry == Retry::None) {
            proxy.mode = winhttp::DefaultProxy;
            return Retry::Proxy;
        }
        Json::Value form = error::show_proxy_error(proxy, window);
        if (!form.isObject())
            return std::nullopt;
        // The form always names a proxy of its own; an empty one means the system's.
        form.removeMember("mode");
        proxy = error::proxy_from_value(form);
        return Retry::Proxy;
    } catch (const agent::AgentApiException& e) {
        AGENT_ERROR(AUTHENTICATE) << e.description();
        switch (e.status()) {
        case 407: {
            const Json::Value answer = error::show_credentials(window);
            if (!answer.isObject())
                return std::nullopt;
            proxy.password = utf8_to_wide(string_of(answer.get("password", Json::Value())));
            proxy.user = utf8_to_wide(string_of(answer.get("username", Json::Value())));
            return Retry::Credentials;
        }
        case 0: {
            const std::string code = first_error_code(e.error());
            if (code == "UserNotFound")
                error::show_error_code(error::ERROR_UNKNOWN_EMAIL, window);
            else if (code == "BadPassword")
                error::show_error_code(error::ERROR_WRONG_PASSWORD, window);
            else if (code == "TooManyIncorrectAttempts")
                error::show_error_code(error::ERROR_TOO_MANY_ATTEMPTS, window);
            else
                error::show_error(e.message(), window);
            return std::nullopt;
        }
        case 401:
            error::show_error_code(error::ERROR_AUTHORIZATION, window);
            return std::nullopt;
        default:
            error::show_error(api_error_text(e), window);
            return std::nullopt;
        }
    } catch (const agent::CryptoException& e) {
        AGENT_ERROR(AUTHENTICATE) << e.description();
        error::show_error_code(crypto_error_code(e.code()), window);
        return std::nullopt;
    } catch (...) {
        error::show_error(error::log_exception(std::current_exception(), AUTHENTICATE), window);
        return std::nullopt;
    }
}

Json::Value AuthPage::display_cert(const Json::Value& args) {
    const std::optional<agent::crypto::Certificate> certificate = certificate_at(string_of(args[0]));
    if (!certificate || host_window() == nullptr) {
        AGENT_ERROR(DISPLAY_CERT) << "No certificate numbered " << string_of(args[0]);
        return Json::Value(false);
    }
    // The call settles when the user closes the viewer; the window goes on meanwhile.
    auto reply = std::make_shared<engine::DeferredReply>(engine::defer_reply());
    viewer_.reset();
    viewer_ = std::make_unique<CertificateViewer>(host_window()->gtk_window(), certificate->encoded(), [reply] {
        if (reply->pending())
            reply->resolve(Json::Value(true));
    });
    return Json::Value();
}

std::optional<agent::crypto::Certificate> AuthPage::certificate_at(const std::string& text) const {
    const std::optional<std::size_t> number = parse_number(text);
    std::lock_guard lock(certificates_mutex_);
    if (!number || *number >= certificates_.size())
        return std::nullopt;
    return certificates_[*number];
}

}  // namespace varnelagent::pages
