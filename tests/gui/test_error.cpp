// Error texts, exception logging, dialog requests and the proxy record.
#include <thread>

#include <json/writer.h>

#include "details/exception.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "gui/error.h"
#include "support/sandbox.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using namespace varnelagent::error;
using winhttp::ProxySettings;

class CapturingLogger : public details::ILogger {
public:
    void write(const wchar_t* text, std::size_t count) override { lines.emplace_back(text, count); }
    std::vector<std::wstring> lines;
};

// Serves dialog requests as the main window will: records them and answers with a result.
class DialogWindow : public ShellWindow {
public:
    std::optional<Json::Value> on_dialog_request(const Json::Value& request) override {
        requests.push_back(request);
        if (!serve)
            return std::nullopt;
        return result;
    }
    void on_command(unsigned command) override { commands.push_back(command); }
    std::vector<Json::Value> requests;
    std::vector<unsigned> commands;
    Json::Value result = true;
    bool serve = true;
};

class ErrorTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        init_gui_thread();
    }
    std::string utf8(std::wstring_view text) { return details::wide_to_utf8(text); }
};

TEST_F(ErrorTest, LogExceptionDescribesAndLogsEveryKind) {
    auto logger = std::make_unique<CapturingLogger>();
    CapturingLogger* log = logger.get();
    details::install_logger(std::move(logger));

    const auto of = [](auto thrown) {
        try {
            throw thrown;
        } catch (...) {
            return std::current_exception();
        }
    };
    EXPECT_EQ(log_exception(of(AgentException(AgentException::BAD_ANSWER, "detail")), L"ctx"),
              AgentException(AgentException::BAD_ANSWER, "detail").description());
    EXPECT_EQ(log_exception(of(std::runtime_error("Сбой")), L"ctx"), L"Сбой");
    EXPECT_EQ(log_exception(of(42), L"varnelagent::pages::AuthPage::get_certs"), L"Unknown exception");
    ASSERT_EQ(log->lines.size(), 3u);
    EXPECT_NE(log->lines[2].find(L"| ERROR | varnelagent::error::log_exception | "
                                 L"varnelagent::pages::AuthPage::get_certs | Unknown exception"),
              std::wstring::npos)
        << utf8(log->lines[2]);
    details::install_logger(nullptr);
}

TEST_F(ErrorTest, DialogRequestsCarryTheTexts) {
    DialogWindow window;
    window.result = "closed";
    EXPECT_EQ(show_error(L"Не удалось открыть ссылку: x", window.handle()), "closed");
    EXPECT_EQ(show_error_code(99, window.handle()), "closed");
    ProxySettings proxy{winhttp::NamedProxy, L"proxy.local:3128", L"", L"", L"user", L"secret"};
    show_proxy_error(proxy, window.handle());
    show_credentials(window.handle());

    ASSERT_EQ(window.requests.size(), 4u);
    // Texts from elsewhere go as text, the program's own coded texts as its HTML.
    EXPECT_EQ(window.requests[0]["text"], "Не удалось открыть ссылку: x");
    EXPECT_FALSE(window.requests[0].isMember("message"));
    EXPECT_EQ(window.requests[0]["title"], utf8(error_text(3).title));
    EXPECT_EQ(window.requests[1]["title"], "Произошла ошибка");
    EXPECT_EQ(window.requests[2]["title"], utf8(error_text(0).title));
    EXPECT_EQ(window.requests[2]["message"], utf8(error_text(0).message));
    EXPECT_EQ(window.requests[2]["proxy"], proxy_to_value(proxy));
    EXPECT_EQ(window.requests[3], "res:credentials.html");
    EXPECT_EQ(dialog_document(window.requests[2]), "res:error.html");

    window.serve = false;
    EXPECT_EQ(show_error_code(1, window.handle()), false);
    EXPECT_EQ(show_error_code(1, window.handle() + 100), false);
}

TEST_F(ErrorTest, ApiErrorsByStatusFromAWorker) {
    DialogWindow window;
    Json::Value results(Json::arrayValue);
    std::atomic<bool> done{false};
    std::thread worker([&] {
        results.append(report_api_error(401, L"ignored", window.handle()));
        results.append(report_api_error(407, L"ignored", window.handle()));
        results.append(report_api_error(500, L"500 internal", window.handle()));
        done = true;
    });
    ASSERT_TRUE(engine::run_nested_until([&] { return done.load(); }, std::chrono::seconds(10)));
    worker.join();
    ASSERT_EQ(results.size(), 3u);
    for (const auto& result : results)
        EXPECT_EQ(result, true);
    ASSERT_EQ(window.requests.size(), 3u);
    EXPECT_EQ(window.requests[0]["title"], utf8(error_text(5).title));
    EXPECT_EQ(window.requests[1]["message"], utf8(error_text(6).message));
    EXPECT_EQ(window.requests[2]["text"], "500 internal");
    EXPECT_EQ(window.requests[2]["title"], utf8(error_text(3).title));
    // Change user is posted after the 401 dialog, and only for the 401.
    ASSERT_TRUE(engine::run_nested_until([&] { return !window.commands.empty(); }, std::chrono::seconds(10)));
    engine::run_nested_until([] { return false; }, std::chrono::milliseconds(50));
    EXPECT_EQ(window.commands, std::vector<unsigned>{ID_CHANGE_USER});
}

TEST_F(ErrorTest, ProxyRecordFromSettings) {
    ProxySettings named{winhttp::NamedProxy, L"http://proxy.local:3128", L"", L"", L"Иван", L"p:w"};
    Json::Value value = proxy_to_value(named);
    EXPECT_EQ(value["mode"], "NamedProxy");
    EXPECT_EQ(value["url"], "http://proxy.local");
    EXPECT_EQ(value["port"], "3128");
    EXPECT_EQ(value["username"], "Иван");
    EXPECT_EQ(value["password"], "p:w");

    for (const wchar_t* url : {L"proxy.local:", L"proxy.local", L"proxy.local:80a", L""}) {
        named.url = url;
        value = proxy_to_value(named);
        EXPECT_EQ(value["url"], utf8(url));
        EXPECT_EQ(value["port"], "");
    }
    const auto with_mode = [](winhttp::ProxyMode mode) {
        ProxySettings settings;
        settings.mode = mode;
        settings.url = L"x:1";
        return settings;
    };
    EXPECT_EQ(proxy_to_value(with_mode(winhttp::DefaultProxy)).size(), 1u);
    EXPECT_EQ(proxy_to_value(with_mode(winhttp::DefaultProxy))["mode"], "DefaultProxy");
    EXPECT_EQ(proxy_to_value(with_mode(winhttp::NoProxy))["mode"], "NoProxy");
    EXPECT_EQ(proxy_to_value(with_mode(static_cast<winhttp::ProxyMode>(9)))["mode"], "NoProxy");
}

TEST_F(ErrorTest, SettingsFromProxyRecord) {
    Json::Value value(Json::objectValue);
    value["url"] = "proxy.local";
    value["port"] = "8080";
    value["username"] = "u";
    value["password"] = 5;  // not a string: empty
    ProxySettings settings = proxy_from_value(value);
    EXPECT_EQ(settings.url, L"proxy.local:8080");
    EXPECT_EQ(settings.mode, winhttp::NamedProxy);  // no mode, an address
    EXPECT_EQ(settings.user, L"u");
    EXPECT_EQ(settings.password, L"");

    value["port"] = "";
    value["mode"] = "Something";
    settings = proxy_from_value(value);
    EXPECT_EQ(settings.url, L"proxy.local");
    EXPECT_EQ(settings.mode, winhttp::NamedProxy);
    value["mode"] = "NoProxy";
    EXPECT_EQ(proxy_from_value(value).mode, winhttp::NoProxy);
    value["mode"] = "DefaultProxy";
    EXPECT_EQ(proxy_from_value(value).mode, winhttp::DefaultProxy);

    Json::Value empty(Json::objectValue);
    empty["mode"] = 1;  // not a string, and no address
    EXPECT_EQ(proxy_from_value(empty).mode, winhttp::DefaultProxy);
    ProxySettings none;
    none.mode = winhttp::NoProxy;
    EXPECT_EQ(proxy_from_value(Json::Value("NamedProxy")), none);
    EXPECT_EQ(proxy_from_value(Json::Value()).mode, winhttp::NoProxy);

    // The round trip of a named proxy keeps its address.
    const ProxySettings named{winhttp::NamedProxy, L"10.0.0.1:3128", L"", L"", L"user", L"secret"};
    EXPECT_EQ(proxy_from_value(proxy_to_value(named)), named);
}

}  // namespace
}  // namespace agent::testing
