#include "model/uri_service.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <clocale>
#include <ctime>
#include <regex>

#include "details/exception.h"
#include "details/strings.h"
#include "links_updates_support.h"
#include "recording_browser.h"
#include "sandbox_server.h"
#include "support/sandbox.h"
#include "winhttp/simple_client.h"

namespace agent::testing {
namespace {

using details::utf8_to_wide;
using details::wide_to_utf8;

// --- cookie string -----------------------------------------------------------------------

// Parses "<value>; expires=Mon,07-Dec-2026 20:15:00 GMT; domain=<d>; path=/; secure; HttpOnly"
// and returns the expiry as seconds since the epoch, or -1 when the text has another shape.
std::time_t expiry_of(const std::string& cookie, const std::string& value, const std::string& domain) {
    static const std::regex shape(
        "(.*); expires=(Mon|Tue|Wed|Thu|Fri|Sat|Sun),(\\d\\d)-(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec)-"
        "(\\d{4}) (\\d\\d):(\\d\\d):(\\d\\d) GMT; domain=(.*); path=/; secure; HttpOnly");
    std::smatch match;
    if (!std::regex_match(cookie, match, shape) || match[1] != value || match[9] != domain)
        return -1;
    static const std::string months = "JanFebMarAprMayJunJulAugSepOctNovDec";
    std::tm calendar{};
    calendar.tm_mday = std::stoi(match[3]);
    calendar.tm_mon = static_cast<int>(months.find(match[4].str()) / 3);
    calendar.tm_year = std::stoi(match[5]) - 1900;
    calendar.tm_hour = std::stoi(match[6]);
    calendar.tm_min = std::stoi(match[7]);
    calendar.tm_sec = std::stoi(match[8]);
    const std::time_t expiry = ::timegm(&calendar);
    // The day name must belong to the date.
    static const char* days[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    return match[2] == days[calendar.tm_wday] ? expiry : -1;
}

class CookieStringTest : public SandboxTest {};

TEST_F(CookieStringTest, ExpiresInADayWithEnglishNamesUnderARussianLocale) {
    // A Russian locale of our own, so that the test runs where none is installed. The
    // desktop toolkit sets the C locale from the environment at start, as done here.
    const std::filesystem::path locales = home().path() / "locales";
    std::filesystem::create_directories(locales);
    const std::string command =
        "localedef -i ru_RU -f UTF-8 '" + (locales / "ru_RU.UTF-8").string() + "' >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0)
        GTEST_SKIP() << "localedef cannot build ru_RU.UTF-8 here";
    ::setenv("LOCPATH", locales.c_str(), 1);
    ASSERT_NE(std::setlocale(LC_ALL, "ru_RU.UTF-8"), nullptr);

    const std::time_t before = std::time(nullptr);
    const std::wstring cookie = UriService::get_cookie_string(L"s3cr3t", L".varnel.example");
    const std::time_t after = std::time(nullptr);

    std::setlocale(LC_ALL, "C");
    ::unsetenv("LOCPATH");

    const std::time_t expiry = expiry_of(wide_to_utf8(cookie), "s3cr3t", ".varnel.example");
    ASSERT_NE(expiry, -1) << wide_to_utf8(cookie);
    EXPECT_GE(expiry, before + 24 * 3600);
    EXPECT_LE(expiry, after + 24 * 3600);
}

TEST_F(CookieStringTest, DomainFollowsTheDevelopmentSuffix) {
    EXPECT_EQ(details::cookie_domain_for(L"https://portal.dev.varnel.example/inbox"), DEVELOPMENT_COOKIE_DOMAIN);
    EXPECT_EQ(details::cookie_domain_for(L"https://portal.varnel.example/inbox"), PRODUCTION_COOKIE_DOMAIN);
    EXPECT_EQ(details::cookie_domain_for(L"http://127.0.0.1:8080/"), PRODUCTION_COOKIE_DOMAIN);
}

TEST_F(CookieStringTest, AProviderAtTheApisOwnHostGetsCookiesForThatHost) {
    const std::wstring api = L"https://127.0.0.1:41877/api";
    EXPECT_EQ(details::cookie_domain_for(L"https://127.0.0.1:41877/account?service=edo", api), L"127.0.0.1");
    EXPECT_EQ(details::cookie_domain_for(L"http://127.0.0.1:9/", api), L"127.0.0.1") << "cookies know no ports";
    EXPECT_EQ(details::cookie_domain_for(L"https://LocalHost/x", L"http://localhost:1/api"), L"localhost");
    EXPECT_EQ(details::cookie_domain_for(L"https://[::1]:8443/x", L"https://[::1]:8443/api"), L"::1");

    // The provider's own domains keep their parent domain even at the API's host.
    EXPECT_EQ(details::cookie_domain_for(L"https://agent.varnel.example/x", L"https://agent.varnel.example/api"),
              PRODUCTION_COOKIE_DOMAIN);
    EXPECT_EQ(details::cookie_domain_for(L"https://a.dev.varnel.example/x", L"https://a.dev.varnel.example/api"),
              DEVELOPMENT_COOKIE_DOMAIN);

    // Hosts that only look like the API's in other parts of the address.
    EXPECT_EQ(details::cookie_domain_for(L"http://127.0.0.1@evil.example/", api), PRODUCTION_COOKIE_DOMAIN);
    EXPECT_EQ(details::cookie_domain_for(L"https://evil.example/?u=https://127.0.0.1:41877/", api),
              PRODUCTION_COOKIE_DOMAIN);
    EXPECT_EQ(details::cookie_domain_for(L"https://127.0.0.1.evil.example/", api), PRODUCTION_COOKIE_DOMAIN);
    EXPECT_EQ(details::cookie_domain_for(L"127.0.0.1/account", api), PRODUCTION_COOKIE_DOMAIN);
}

// --- parsing the support list --------------------------------------------------------------

TEST(ParseLinkItems, ReadsEveryFieldAndDefaultsMissingOnes) {
    const LinkItems items = details::parse_link_items(R"({"items":[
        {"title":"Поддержка","description":"Чат","href":"https://help.varnel.example/chat",
         "icon":"https://help.varnel.example/chat.png","type":"help","enabled":true},
        {"title":"Отчёты"}]})");
    ASSERT_EQ(items.size(), 2u);
    EXPECT_EQ(items[0], (LinkItem{L"Поддержка", L"Чат", L"https://help.varnel.example/chat",
                                  L"https://help.varnel.example/chat.png", L"help", true}));
    EXPECT_EQ(items[1], (LinkItem{L"Отчёты", L"", L"", L"", L"", false}));
}

TEST(ParseLinkItems, ItemsAsObjectAreVisitedAndOtherShapesGiveNothing) {
    EXPECT_EQ(details::parse_link_items(R"({"items":{"a":{"title":"A","enabled":true}}})").size(), 1u);
    EXPECT_TRUE(details::parse_link_items(R"({"links":[{"title":"A"}]})").empty());
    EXPECT_TRUE(details::parse_link_items(R"({"items":"none"})").empty());
    EXPECT_TRUE(details::parse_link_items(R"([{"title":"A"}])").empty());
}

TEST(ParseLinkItems, BodyThatIsNotJsonThrowsTheReadersText) {
    try {
        details::parse_link_items("<html>502 Bad Gateway</html>");
        FAIL() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("Syntax error"), std::string::npos) << e.what();
    }
}

// --- cookies and opening links ----------------------------------------------------------------

class OpenLinkTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        browser = std::make_shared<RecordingBrowser>();
        service.set_browser(browser);
    }

    std::shared_ptr<RecordingBrowser> browser;
    UriService service{std::weak_ptr<winhttp::SimpleClient>(), L"http://127.0.0.1:1/api"};
};

TEST_F(OpenLinkTest, WritesBothCookiesForTheLinkThenOpensIt) {
    const std::wstring url = L"https://portal.dev.varnel.example/inbox?id=5";
    EXPECT_TRUE(service.open_link(url, L"token-value", L"session-value"));

    const auto cookies = browser->cookies();
    ASSERT_EQ(cookies.size(), 2u);
    EXPECT_EQ(cookies[0].name, L"token");
    EXPECT_EQ(cookies[1].name, L"auth.sid");
    for (const auto& cookie : cookies)
        EXPECT_EQ(cookie.url, url);
    EXPECT_NE(expiry_of(wide_to_utf8(cookies[0].data), "token-value", ".dev.varnel.example"), -1);
    EXPECT_NE(expiry_of(wide_to_utf8(cookies[1].data), "session-value", ".dev.varnel.example"), -1);
    EXPECT_EQ(browser->opened(), std::vector<std::wstring>{url});
}

TEST_F(OpenLinkTest, ALinkToTheApisHostGetsHostCookies) {
    EXPECT_TRUE(service.open_link(L"http://127.0.0.1:5/account", L"t0ken", L"s1d"));
    const auto cookies = browser->cookies();
    ASSERT_EQ(cookies.size(), 2u);
    EXPECT_NE(expiry_of(wide_to_utf8(cookies[0].data), "t0ken", "127.0.0.1"), -1) << wide_to_utf8(cookies[0].data);
}

TEST_F(OpenLinkTest, EmptyValuesTouchNoCookie) {
    EXPECT_TRUE(service.open_link(L"http://help.varnel.example/support/faq/40/565", L"", L""));
    EXPECT_TRUE(browser->cookies().empty());
    EXPECT_EQ(browser->opened().size(), 1u);
}

TEST_F(OpenLinkTest, CookieDataIsMaskedInTheLog) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_DEBUG);
    browser->refuse_cookies = true;
    EXPECT_TRUE(service.open_link(L"https://portal.varnel.example/", L"TOKENsecretpart", L"SIDXsecretpart"));
    const std::wstring text = log.text();
    EXPECT_EQ(text.find(L"secretpart"), std::wstring::npos) << wide_to_utf8(text);
    EXPECT_EQ(text.find(L"TOKE"), std::wstring::npos) << wide_to_utf8(text);
    EXPECT_NE(text.find(L"Cookie token: (hidden); expires="), std::wstring::npos) << wide_to_utf8(text);
    // The refused writes are reported, and the link is opened anyway.
    EXPECT_NE(text.find(L"Cookie token not stored"), std::wstring::npos);
    EXPECT_EQ(browser->opened().size(), 1u);
}

TEST_F(OpenLinkTest, RefusedLinkGoesToTheFallbackLauncherAsOneArgument) {
    browser->refuse_links = true;
    const std::filesystem::path launcher = home().path() / "bin" / "fake-xdg-open";
    const std::filesystem::path output = home().path() / "launched.txt";
    std::filesystem::create_directories(launcher.parent_path());
    write_executable(launcher, recording_script(output));
    service.set_fallback_browser(std::make_shared<XdgOpenBrowser>(launcher.string()));

    // Shell metacharacters must reach the launcher untouched, as one argument.
    const std::wstring url = L"https://portal.varnel.example/a?b=1&c=$(touch x);d='e' f";
    EXPECT_TRUE(service.open_link(url, L"", L""));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output); }));
    EXPECT_EQ(read_text(output), wide_to_utf8(url) + "\n");
    EXPECT_FALSE(std::filesystem::exists(home().path() / "x"));
}

// The instruction and every other link come from a server: only a web page leaves the
// program, through the browser window or the desktop's launcher.
TEST_F(OpenLinkTest, OnlyWebAddressesLeaveTheProgram) {
    browser->refuse_links = true;
    const std::filesystem::path launcher = home().path() / "bin" / "fake-xdg-open";
    const std::filesystem::path output = home().path() / "launched.txt";
    std::filesystem::create_directories(launcher.parent_path());
    write_executable(launcher, recording_script(output));
    service.set_fallback_browser(std::make_shared<XdgOpenBrowser>(launcher.string()));
    for (const wchar_t* url : {L"file:///etc/passwd", L"FILE:///home", L"smb://host/share", L"varnel-handler:x",
                               L"javascript:alert(1)", L"data:text/html,<b>x</b>", L"", L"/relative"})
        EXPECT_FALSE(service.open_link(url, L"token", L"sid")) << wide_to_utf8(url);
    EXPECT_TRUE(browser->cookies().empty()) << "no cookie for a refused link";
    EXPECT_TRUE(browser->opened().empty());
    XdgOpenBrowser desktop(launcher.string());
    EXPECT_FALSE(desktop.open(L"file:///etc/passwd"));
    EXPECT_FALSE(std::filesystem::exists(output));

    EXPECT_TRUE(service.open_link(L"HTTPS://help.varnel.example/faq", L"", L""));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output); }));
}

TEST_F(OpenLinkTest, LauncherHoldsNoDescriptorOfTheAgent) {
    // A descriptor the agent left inheritable, like a socket of a library that does not set
    // close-on-exec.
    const int file = ::open(home().path().c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(file, 0);
    ASSERT_EQ(::dup2(file, 200), 200);
    ::close(file);

    const std::filesystem::path launcher = home().path() / "list-descriptors";
    const std::filesystem::path output = home().path() / "descriptors.txt";
    write_executable(launcher, "#!/bin/sh\nls /proc/$$/fd > '" + output.string() + ".part' && mv '" + output.string() +
                                   ".part' '" + output.string() + "'\n");
    XdgOpenBrowser browser(launcher.string());
    EXPECT_TRUE(browser.open(L"https://portal.varnel.example/"));
    ::close(200);
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output); }));
    const std::string listing = "\n" + read_text(output);
    EXPECT_NE(listing.find("\n0\n"), std::string::npos) << listing;
    EXPECT_EQ(listing.find("\n200\n"), std::string::npos) << listing;
}

TEST_F(OpenLinkTest, NoBrowserAtAllIsFalse) {
    browser->refuse_links = true;
    service.set_fallback_browser(std::make_shared<XdgOpenBrowser>("/nonexistent/xdg-open"));
    EXPECT_FALSE(service.open_link(L"https://portal.varnel.example/", L"t", L"s"));

    // A launcher found in PATH but not executable fails the same way.
    const std::filesystem::path bin = home().path() / "bin";
    std::filesystem::create_directories(bin);
    write_text(bin / "not-runnable", "#!/bin/sh\n");
    const std::string saved_path = std::getenv("PATH");
    ::setenv("PATH", bin.c_str(), 1);
    service.set_fallback_browser(std::make_shared<XdgOpenBrowser>("not-runnable"));
    EXPECT_FALSE(service.open_link(L"https://portal.varnel.example/", L"", L""));
    ::setenv("PATH", saved_path.c_str(), 1);
}

// --- against the stand-in provider ------------------------------------------------------------

class UriServiceServerTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        UriService::clear_service_links();
        server = std::make_unique<sandbox::Server>();
        server->start();
        client = direct_client();
        service = std::make_unique<UriService>(client, utf8_to_wide(server->api_url()));
        service->set_session_id(utf8_to_wide(server->create_session()));
    }
    void TearDown() override {
        UriService::clear_service_links();
        service.reset();
        client.reset();
        server.reset();
        SandboxTest::TearDown();
    }

    std::size_t support_requests() const { return server->requests("/api/v1/support").size(); }

    std::unique_ptr<sandbox::Server> server;
    std::shared_ptr<winhttp::SimpleClient> client;
    std::unique_ptr<UriService> service;
};

TEST_F(UriServiceServerTest, LinksAreAskedOnceUntilSignOutEmptiesTheCache) {
    const LinkItems first = service->get_service_links();
    ASSERT_FALSE(first.empty());
    EXPECT_EQ(server->requests("/api/v1/support").front().header("Authorization").rfind("varnel.sid ", 0), 0u);

    // Another instance shares the process-wide cache.
    UriService other(client, utf8_to_wide(server->api_url()));
    EXPECT_EQ(other.get_service_links(), first);
    EXPECT_EQ(service->get_service_links(), first);
    EXPECT_EQ(support_requests(), 1u);

    UriService::clear_service_links();
    EXPECT_EQ(service->get_service_links(), first);
    EXPECT_EQ(support_requests(), 2u);
}

TEST_F(UriServiceServerTest, EmptyAnswerAndErrorsAreNotCached) {
    server->add_fault(fault("/api/v1/support", 204, ""));
    EXPECT_TRUE(service->get_service_links().empty());

    server->add_fault(fault("/api/v1/support", 500,
                            R"({"status":500,"id":"internal","message":"Сбой","track-id":"t-1"})"));
    try {
        service->get_service_links();
        FAIL() << "no exception";
    } catch (const AgentApiException& e) {
        EXPECT_EQ(e.status(), 500);
        EXPECT_EQ(e.error().message, L"Сбой");
    }

    server->add_fault(fault("/api/v1/support", 200, "not json"));
    EXPECT_THROW(service->get_service_links(), std::runtime_error);

    EXPECT_FALSE(service->get_service_links().empty());
    EXPECT_EQ(support_requests(), 4u);
}

TEST_F(UriServiceServerTest, IconIsFetchedOncePerProcessAndFailuresAreRetried) {
    const LinkItems links = service->get_service_links();
    std::wstring icon;
    for (const LinkItem& item : links)
        if (!item.icon.empty())
            icon = item.icon;
    ASSERT_FALSE(icon.empty()) << "the demo links carry no icon";
    const std::string path = wide_to_utf8(icon).substr(server->base_url().size());

    server->add_fault(fault(path, 404, R"({"status":404})"));
    EXPECT_TRUE(service->get_icon(icon).empty());

    const std::vector<std::uint8_t> bytes = service->get_icon(icon);
    ASSERT_GE(bytes.size(), 8u);
    const std::uint8_t png[] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    EXPECT_TRUE(std::equal(std::begin(png), std::end(png), bytes.begin()));

    EXPECT_EQ(service->get_icon(icon), bytes);
    EXPECT_EQ(server->requests(path).size(), 2u);
}

TEST_F(UriServiceServerTest, IconsOfAnotherHostAreAskedWithoutTheSession) {
    sandbox::Server elsewhere;
    elsewhere.start();
    const std::string path = "/static/icons/session-check.png";
    EXPECT_FALSE(service->get_icon(utf8_to_wide(server->base_url() + path)).empty());
    EXPECT_FALSE(service->get_icon(utf8_to_wide(elsewhere.base_url() + path)).empty());
    ASSERT_EQ(server->requests(path).size(), 1u);
    EXPECT_EQ(server->requests(path)[0].header("Authorization").rfind("varnel.sid ", 0), 0u);
    ASSERT_EQ(elsewhere.requests(path).size(), 1u);
    EXPECT_EQ(elsewhere.requests(path)[0].header("Authorization"), "");
}

// An icon is a small image: a huge answer is cut off where the bound is, anything that is not
// an image of the pages' formats is no icon, and the cache keeps the most recent ones only.
TEST_F(UriServiceServerTest, IconsAreBoundedImagesAndTheCacheKeepsTheRecentOnes) {
    const std::string base = server->base_url();
    auto huge = fault("/static/icons/huge.png", 200, "\x89PNG\r\n\x1A\n", 1);
    huge.content_type = "image/png";
    huge.body_bytes = std::uint64_t{50} << 20;
    huge.chunked = true;
    server->add_fault(huge);
    EXPECT_TRUE(service->get_icon(utf8_to_wide(base + "/static/icons/huge.png")).empty());
    huge.chunked = false;
    server->add_fault(huge);
    EXPECT_TRUE(service->get_icon(utf8_to_wide(base + "/static/icons/huge.png")).empty());
    auto page = fault("/static/icons/page.png", 200, "<html><body>not found</body></html>", 1);
    page.content_type = "text/html";
    server->add_fault(page);
    EXPECT_TRUE(service->get_icon(utf8_to_wide(base + "/static/icons/page.png")).empty());
    // None of them was kept: asked again, the real icons come.
    EXPECT_FALSE(service->get_icon(utf8_to_wide(base + "/static/icons/page.png")).empty());

    const auto icon = [&](std::size_t n) { return "/static/icons/lru-" + std::to_string(n) + ".png"; };
    for (std::size_t n = 0; n <= ICON_CACHE_ENTRIES; ++n)
        ASSERT_FALSE(service->get_icon(utf8_to_wide(base + icon(n))).empty());
    service->get_icon(utf8_to_wide(base + icon(ICON_CACHE_ENTRIES)));
    service->get_icon(utf8_to_wide(base + icon(0)));
    EXPECT_EQ(server->requests(icon(ICON_CACHE_ENTRIES)).size(), 1u) << "a recent icon is kept";
    EXPECT_EQ(server->requests(icon(0)).size(), 2u) << "the oldest went";
}

TEST_F(UriServiceServerTest, TransportErrorsReachTheCaller) {
    UriService unreachable(client, L"http://127.0.0.1:1/api");
    EXPECT_THROW(unreachable.get_service_links(), WinHttpException);
    EXPECT_THROW(unreachable.get_icon(L"http://127.0.0.1:1/icon.png"), WinHttpException);
}

}  // namespace
}  // namespace agent::testing
