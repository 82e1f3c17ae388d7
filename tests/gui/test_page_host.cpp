// The page host on a real engine: the shared script functions, links turned into page
// switches or browser launches, remote images fetched off the GUI thread, the unload
// question, and the page-work helper's hand-overs that a closing page gives up.
#include <atomic>
#include <thread>
#include <vector>

#include "../model/recording_browser.h"
#include "engine_fixture.h"
#include "gui/engine/resources.h"
#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"
#include "model/agent_client.h"
#include "model/uri_service.h"
#include "shell_fixture.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using varnelagent::pages::BasePage;

// What the page asked of its owner, by the name of the event.
struct Seen {
    unsigned message;
    unsigned value;
    Json::Value dialog;
};

class RecordingOwner : public ShellWindow {
public:
    void on_show_page(PageKind kind, bool) override { seen_.push_back({WM_SHOW_PAGE, unsigned(kind), {}}); }
    std::optional<Json::Value> on_dialog_request(const Json::Value& request) override {
        seen_.push_back({WM_MODAL_DIALOG, 0, request});
        return Json::Value(false);
    }
    void on_timer(unsigned id) override { seen_.push_back({WM_TIMER, id, {}}); }
    std::vector<Seen> seen_;
};

class TestPage : public BasePage {
public:
    explicit TestPage(AgentClient* client) : BasePage(client) {
        add_script_function("echo", [](const Json::Value& args) { return args[0]; });
    }
    ~TestPage() override { closing_ = true; }
    PageKind kind() const override { return NOTIFICATIONS_PAGE; }
    std::string start_url() const override { return "res:page_host_test.html"; }
};

class PageHostTest : public ShellTest {
protected:
    void SetUp() override {
        ShellTest::SetUp();
        static const bool registered = [] {
            test_pages_register_resource();
            return true;
        }();
        (void)registered;
        write_config();
        remember_session();
        configuration = ConfigurationKeyValue::load(home().data_directory());
        details::install_logger(nullptr);
        client = AgentClient::create(configuration);
        browser = std::make_shared<RecordingBrowser>();
        client->uri_service().set_browser(browser);
        window = std::make_unique<engine::HostWindow>(300, 200);
        page = std::make_unique<TestPage>(client.get());
        page->attach(owner, *window);
        ASSERT_TRUE(window->wait_loaded());
        window->show();
    }

    void TearDown() override {
        page.reset();
        window.reset();
        client.reset();
        ShellTest::TearDown();
    }

    Json::Value call(const std::string& name, const Json::Value& args = Json::Value(Json::arrayValue)) {
        return window->call_script(name, args);
    }

    Json::Value view_call(const std::string& name, Json::Value args = Json::Value(Json::arrayValue)) {
        Json::Value outer(Json::arrayValue);
        outer.append(name);
        outer.append(std::move(args));
        return call("host.call", outer);
    }

    Json::Value click(const std::string& href, const char* auth) {
        Json::Value args(Json::arrayValue);
        args.append(href);
        args.append(auth == nullptr ? Json::Value() : Json::Value(auth));
        return call("host.click_link", args);
    }

    std::shared_ptr<ConfigurationKeyValue> configuration;
    std::unique_ptr<AgentClient> client;
    std::shared_ptr<RecordingBrowser> browser;
    RecordingOwner owner;
    std::unique_ptr<engine::HostWindow> window;
    std::unique_ptr<TestPage> page;
};

TEST_F(PageHostTest, LinksSwitchPagesOrOpenTheBrowserSignedIn) {
    click("help.htm", nullptr);
    ASSERT_TRUE(pump_until([&] { return !owner.seen_.empty(); }));
    EXPECT_EQ(owner.seen_[0].message, WM_SHOW_PAGE);
    EXPECT_EQ(owner.seen_[0].value, unsigned(HELP_PAGE));

    const std::string service = server().base_url() + "/account";
    click(service, "true");
    click(service + "?plain", nullptr);
    ASSERT_TRUE(pump_until([&] { return browser->opened().size() == 2; }));
    const auto cookies = browser->cookies();
    ASSERT_EQ(cookies.size(), 2u);  // token and auth.sid, only for the signed-in link
    EXPECT_EQ(cookies[1].name, L"auth.sid");
    EXPECT_EQ(cookies[1].data.substr(0, client->session_id().size()), client->session_id());

    // Neither an empty href nor a script address ever reaches the browser; the second is
    // refused with the dialog.
    owner.seen_.clear();
    click("", nullptr);
    click("javascript:alert(1)", "true");
    ASSERT_TRUE(pump_until([&] { return !owner.seen_.empty(); }));
    pump_for(std::chrono::milliseconds(100));
    ASSERT_EQ(owner.seen_.size(), 1u);
    EXPECT_EQ(owner.seen_[0].message, WM_MODAL_DIALOG);
    EXPECT_EQ(owner.seen_[0].dialog["text"].asString(), "Не удалось открыть ссылку: javascript:alert(1)");
    EXPECT_EQ(browser->opened().size(), 2u);
}

TEST_F(PageHostTest, RemoteImagesComeOffTheGuiThreadAndFailToTheDefaultIcon) {
    const auto fallback = engine::load_resource("icon-default.png");
    ASSERT_TRUE(fallback) << "icon-default.png must be among the program's resources";

    sandbox::Fault broken;
    broken.path = "/static/icons/broken.png";
    broken.status = 500;
    server().add_fault(broken);
    Json::Value shown =
        call("host.show_image", Json::Value("remote:" + server().base_url() + "/static/icons/broken.png"));
    EXPECT_TRUE(shown["loaded"].asBool()) << "the default icon stands in for a failing one";
    EXPECT_GT(shown["width"].asInt(), 0);

    // An icon server that hangs: the page goes on answering meanwhile.
    sandbox::Fault slow;
    slow.path = "/static/icons/slow.png";
    slow.delay = std::chrono::milliseconds(8000);
    server().add_fault(slow);
    call("host.start_image", Json::Value("remote:" + server().base_url() + "/static/icons/slow.png"));
    for (int i = 0; i < 20; ++i) {
        Json::Value args(Json::arrayValue);
        args.append(i);
        EXPECT_EQ(view_call("echo", args)["value"], Json::Value(i));
    }
    // All answered while the image is still on its way.
    EXPECT_FALSE(call("host.pending_done").asBool());
    EXPECT_TRUE(pump_until([&] { return call("host.pending_done").asBool(); }));
}

TEST_F(PageHostTest, SharedFunctionsAndTheUnloadQuestion) {
    const Json::Value area = view_call("get_work_area")["value"];
    EXPECT_GT(area["right"].asInt() - area["left"].asInt(), 0);
    Json::Value rect(Json::arrayValue);
    for (int v : {40, 50, 320, 210})
        rect.append(v);
    view_call("set_window_rect", rect);
    EXPECT_TRUE(page->placed());
    EXPECT_TRUE(pump_until([&] { return window->size() == std::make_pair(320, 210); }));
    EXPECT_TRUE(view_call("no_such_function").isMember("error"));

    // Losing the focus asks the owner to confirm the loss and hide (its hide timer),
    // unless a dialog is over the page.
    const auto hide_asked = [&] {
        return std::any_of(owner.seen_.begin(), owner.seen_.end(),
                           [](const Seen& seen) { return seen.message == WM_TIMER && seen.value == TIMER_HIDE; });
    };
    owner.seen_.clear();
    page->set_hide_allowed(false);
    window->show();
    view_call("window_hide");
    pump_for(std::chrono::milliseconds(TIMER_HIDE_CONFIRM_MS * 3));
    EXPECT_FALSE(hide_asked());
    page->set_hide_allowed(true);
    view_call("window_hide");
    EXPECT_TRUE(pump_until(hide_asked));
    owner.kill_timer(TIMER_HIDE);

    EXPECT_TRUE(page->on_unload_page());  // the document answers nothing
    call("host.set_unload_answer", Json::Value(false));
    EXPECT_FALSE(page->on_unload_page());
    call("host.set_unload_answer", Json::Value(1));
    EXPECT_TRUE(page->on_unload_page());
}

// A task that waits for the GUI thread while its page closes on that thread is let go;
// a request queued behind it never starts; the page's closing never waits for either.
TEST(PageTasks, ClosingReleasesTasksWaitingForTheGuiThread) {
    init_gui_thread();
    for (int round = 0; round < 20; ++round) {
        pages::PageTasks tasks;
        std::atomic<bool> waiting{false};
        std::atomic<int> after_hand_over{0};
        std::atomic<int> fallbacks{0};
        std::atomic<int> second_ran{0};
        tasks.start({L"test", [&] {
                         waiting = true;
                         tasks.on_gui_thread([] {});
                         ++after_hand_over;
                     },
                     [&] { ++fallbacks; }, nullptr});
        while (!waiting)
            std::this_thread::yield();
        tasks.start({L"test", [&] { ++second_ran; }, nullptr, nullptr});
        // The GUI thread does not serve the hand-over; it closes the page instead.
        std::this_thread::sleep_for(std::chrono::milliseconds(round % 3));
        tasks.close();
        EXPECT_EQ(second_ran, 0);
        EXPECT_EQ(fallbacks, 0);
        // Had the hand-over run, it would have run here; it must be skipped.
        engine::run_nested_until([] { return false; }, std::chrono::milliseconds(5));
        EXPECT_EQ(after_hand_over, 0);
    }
}

}  // namespace
}  // namespace agent::testing
