// What a page may load and run: res: lookups in every spelling, remote data through the
// provider, and a policy under which HTML inside a message can never run script.
#include <mutex>

#include "engine_fixture.h"
#include "gui/engine/resources.h"
#include "model/capture_logger.h"

namespace agent::testing {
namespace {

using varnelagent::engine::EngineException;
using varnelagent::engine::load_resource;
using varnelagent::engine::resource_key;
using varnelagent::engine::run_nested_until;

const Json::Value no_args(Json::arrayValue);

TEST(ResourceKey, SpellingsOfOneResourceMeet) {
    for (const char* url : {"res:auth.htm", "RES:AUTH.HTM", "res://auth.html", "res:///Auth.Html", "res:auth",
                            "auth.htm", "res:auth.htm?x=1#top", "res:%61uth.htm"})
        EXPECT_EQ(resource_key(url), "auth.html") << url;
    EXPECT_EQ(resource_key("res:controls.CSS"), "controls.css");
    EXPECT_EQ(resource_key("icon-default.png"), "icon-default.png");
    EXPECT_EQ(resource_key("res:jquery.min.js"), "jquery.min.js");
}

TEST(ResourceKey, NamesThatCannotBeResources) {
    EXPECT_EQ(resource_key("res:"), std::nullopt);
    EXPECT_EQ(resource_key("res://"), std::nullopt);
    EXPECT_EQ(resource_key("res:../secret.txt"), std::nullopt);
    EXPECT_EQ(resource_key("res:a/../../b.css"), std::nullopt);
    EXPECT_EQ(resource_key("res:" + std::string(300, 'a') + ".css"), std::nullopt);
    EXPECT_EQ(resource_key(std::string("res:a%00b.css")), std::nullopt);
}

class PagePolicyTest : public EngineTest {};

TEST_F(PagePolicyTest, ResourcesLoadWithTypeAndUtf8InEverySpelling) {
    const auto document = load_resource("RES:BRIDGE_TEST.HTM");
    ASSERT_TRUE(document);
    EXPECT_EQ(document->mime_type, "text/html; charset=utf-8");
    EXPECT_EQ(load_resource("res://bridge_test.css")->mime_type, "text/css; charset=utf-8");
    EXPECT_EQ(load_resource("res:bridge_test.JS")->mime_type, "text/javascript; charset=utf-8");
    EXPECT_FALSE(load_resource("res:no_such_page.htm"));

    // The page itself links its style sheet as "Bridge_Test.CSS" and its script as
    // "res://bridge_test.js": both must arrive for these calls to answer.
    for (const char* url : {"RES:BRIDGE_TEST.HTM", "res://bridge_test.html", "res:bridge_test"}) {
        load(url);
        EXPECT_EQ(window->call_script("tests.title", no_args), "Варнел.Агент — тест") << url;
        EXPECT_EQ(window->call_script("tests.style_loaded", no_args), true) << url;
    }
}

std::size_t count_of(const std::string& text, const std::string& part) {
    std::size_t count = 0;
    for (auto at = text.find(part); at != std::string::npos; at = text.find(part, at + part.size()))
        ++count;
    return count;
}

TEST_F(PagePolicyTest, IncludesAreExpandedWhenTheDocumentIsServed) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_ERROR);
    const auto document = load_resource("res:INCLUDE_TEST.HTM");
    ASSERT_TRUE(document);
    const std::string& html = document->data;
    // A fragment with a fragment inside, names in any spelling, a style sheet taken as it is.
    EXPECT_NE(html.find("<div id=\"part\">part <span id=\"inner\">inner</span>\n</div>"), std::string::npos) << html;
    EXPECT_NE(html.find("<style>#part { color: rgb(1, 2, 3); }</style>"), std::string::npos) << html;
    // An include of itself stops after a few levels; the missing one is gone and logged.
    EXPECT_EQ(count_of(html, "<b class=\"loop\">loop</b>"), 4u) << html;
    EXPECT_EQ(count_of(html, "<include src"), 0u) << html;
    EXPECT_EQ(count_of(html, "<INCLUDE SRC"), 0u) << html;
    EXPECT_EQ(count_of(html, "</include>"), 0u) << html;
    EXPECT_NE(html.find("<includes>kept</includes>"), std::string::npos) << html;
    EXPECT_NE(html.find("<p>before</p>"), std::string::npos);
    EXPECT_NE(html.find("<p>after</p>"), std::string::npos);
    EXPECT_TRUE(log.contains(L"include dropped, no resource Include_Missing.htm")) << log.text();
    EXPECT_TRUE(log.contains(L"include dropped, nested too deep: include_loop.html")) << log.text();
    details::install_logger(nullptr);
}

TEST_F(PagePolicyTest, MissingDocumentsFailAndForeignUrlsAreRefused) {
    window->load("res:no_such_page.htm");
    EXPECT_FALSE(window->wait_loaded());
    EXPECT_THROW(window->load("https://www.varnel.example/"), EngineException);
    EXPECT_THROW(window->load("file:///etc/passwd"), EngineException);
}

TEST_F(PagePolicyTest, RemoteDataComesFromTheProvider) {
    // The provider runs on the engine's workers.
    std::mutex mutex;
    std::vector<std::string> asked;
    window->set_data_provider([&](const std::string& url) -> std::optional<std::string> {
        EXPECT_FALSE(varnelagent::is_gui_thread());
        std::lock_guard lock(mutex);
        asked.push_back(url);
        if (url == "https://cdn.varnel.example/broken.png")
            throw std::runtime_error("fetch failed");
        return std::nullopt;
    });
    load("res:bridge_test.htm");
    window->call_script("tests.show_message",
                        Json::Value("<img src=\"remote:https://cdn.varnel.example/broken.png\">"));
    ASSERT_TRUE(run_nested_until(
        [&] {
            std::lock_guard lock(mutex);
            return !asked.empty();
        },
        std::chrono::seconds(10)));
    std::lock_guard lock(mutex);
    EXPECT_EQ(asked[0], "https://cdn.varnel.example/broken.png");
}

TEST_F(PagePolicyTest, HtmlInAMessageCannotRunScript) {
    load("res:csp_test.html");
    // Inline script, body onload, <script> inside the message, onerror= on a broken image.
    EXPECT_TRUE(run_nested_until([&] { return window->call_script("csp.violations", no_args).asInt() >= 3; },
                                 std::chrono::seconds(10)));
    window->call_script("csp.click", Json::Value("js-link"));
    window->call_script("csp.navigate", no_args);
    run_nested_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(window->call_script("csp.pwned", no_args).isNull()) << window->call_script("csp.pwned", no_args);

    // The same HTML arriving later, as a message body put into the page.
    load("res:bridge_test.htm");
    window->call_script("tests.show_message",
                        Json::Value("<img src=\"res:missing.png\" onerror=\"window.pwned = 'onerror'\">"
                                    "<a id=\"js\" href=\"javascript:window.pwned = 'link'\">x</a>"
                                    "<iframe srcdoc=\"<script>parent.pwned = 'frame'</script>\"></iframe>"));
    window->call_script("tests.click", Json::Value("js"));
    EXPECT_TRUE(run_nested_until([&] { return window->call_script("tests.violations", no_args).asInt() >= 1; },
                                 std::chrono::seconds(10)));
    run_nested_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_TRUE(window->call_script("tests.pwned", no_args).isNull()) << window->call_script("tests.pwned", no_args);
}

}  // namespace
}  // namespace agent::testing
