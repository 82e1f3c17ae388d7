// The page engine in a real WebKit under Xvfb: the script bridge both ways, callbacks,
// nested waits, GUI-thread calls during a modal loop, window events and the snapshot.
#include <gtk/gtk.h>

#include <atomic>
#include <cstdio>
#include <filesystem>
#include <thread>

#include "engine_fixture.h"
#include "x11_input.h"

namespace agent::testing {
namespace {

using varnelagent::engine::EngineException;
using varnelagent::engine::HostWindow;
using varnelagent::engine::run_nested_until;
using varnelagent::engine::ScriptCallback;

Json::Value args(std::initializer_list<Json::Value> items) {
    Json::Value list(Json::arrayValue);
    for (const auto& item : items)
        list.append(item);
    return list;
}

class HostWindowTest : public EngineTest {
protected:
    void SetUp() override {
        EngineTest::SetUp();
        window->set_script_handler([this](const std::string& name, const Json::Value& arguments)
                                       -> std::optional<Json::Value> {
            calls.push_back(name);
            if (name == "add")
                return arguments[0].asInt() + arguments[1].asInt();
            if (name == "echo")
                return arguments[0];
            if (name == "fail")
                throw std::runtime_error("native failure");
            if (name == "get_items") {
                end = window->callback(arguments[0]);
                items = window->callback(arguments[1]);
                return Json::Value();
            }
            if (name == "modal")
                return run_modal_loop();
            return std::nullopt;
        });
        load("res:bridge_test.htm");
    }

    Json::Value call_native(const std::string& name, const Json::Value& arguments) {
        return window->call_script("tests.call_native", args({name, arguments}));
    }

    // Stands in for a modal dialog opened from a script call: a nested loop on the GUI
    // thread while a worker needs the GUI thread.
    Json::Value run_modal_loop() {
        std::atomic<bool> ran_on_gui{false};
        std::atomic<bool> worker_done{false};
        std::thread worker([&] {
            varnelagent::execute_on_gui_thread([&] { ran_on_gui = varnelagent::is_gui_thread(); });
            worker_done = true;
        });
        const bool finished = run_nested_until([&] { return worker_done.load(); }, std::chrono::seconds(10));
        worker.join();
        return finished && ran_on_gui.load();
    }

    std::vector<std::string> calls;
    ScriptCallback end;
    ScriptCallback items;
};

TEST_F(HostWindowTest, ViewCallsReachNativeAndResolveTheirPromises) {
    EXPECT_EQ(call_native("add", args({2, 3}))["value"], 5);

    Json::Value record;
    record["title"] = "Кавычки \" и </script> и \\ и \u2028";
    record["list"] = args({1, true, Json::Value()});
    EXPECT_EQ(call_native("echo", args({record}))["value"], record);
}

TEST_F(HostWindowTest, UnknownNamesAndNativeFailuresRejectThePromise) {
    const Json::Value unknown = call_native("no_such_function", args({}));
    EXPECT_NE(unknown["error"].asString().find("no_such_function"), std::string::npos) << unknown;

    const Json::Value failed = call_native("fail", args({}));
    EXPECT_NE(failed["error"].asString().find("native failure"), std::string::npos) << failed;
}

TEST_F(HostWindowTest, CallbacksCanBeInvokedRepeatedlyUntilThePageGoes) {
    window->call_script("tests.start_items", Json::Value(Json::arrayValue));
    ASSERT_TRUE(end.alive());
    ASSERT_TRUE(items.alive());

    Json::Value first(Json::arrayValue);
    first.append("a");
    EXPECT_TRUE(items.invoke(args({first})));
    EXPECT_TRUE(items.invoke(args({args({"b", "c"})})));
    EXPECT_TRUE(end.invoke(args({true, false})));
    Json::Value received;
    ASSERT_TRUE(run_nested_until(
        [&] {
            received = window->call_script("tests.received", Json::Value(Json::arrayValue));
            return received["ends"].size() == 1;
        },
        std::chrono::seconds(10)));
    EXPECT_EQ(received["items"], args({first, args({"b", "c"})}));
    EXPECT_EQ(received["ends"][0], args({true, false}));

    // A new document: the old page's callbacks must never reach the new one.
    load("res:bridge_test.html");
    EXPECT_FALSE(items.alive());
    EXPECT_FALSE(items.invoke(args({first})));
    EXPECT_THROW(end.call(args({true})), EngineException);
    EXPECT_THROW(window->callback(Json::Value("not a callback")), EngineException);
}

// Letting the view go (the program hidden in the tray) settles what waited on it, kills the
// document's callbacks and, with no view left, the web context; the next document makes
// them anew with the bridge working.
TEST_F(HostWindowTest, AReleasedWindowFailsWhatWaitedAndComesBackWithTheNextDocument) {
    window->call_script("tests.start_items", Json::Value(Json::arrayValue));
    ASSERT_TRUE(items.alive());
    std::optional<HostWindow::ScriptResult> pending;
    window->call_script_async("tests.delayed", args({"late", 5000}),
                              [&](HostWindow::ScriptResult result) { pending = std::move(result); });
    window->release();
    EXPECT_TRUE(varnelagent::engine::release_page_context());
    ASSERT_TRUE(run_nested_until([&] { return pending.has_value(); }, std::chrono::seconds(2)));
    EXPECT_TRUE(pending->error.has_value());
    EXPECT_FALSE(items.alive());
    EXPECT_EQ(window->web_view(), nullptr);
    EXPECT_THROW(window->call_script("tests.received", Json::Value(Json::arrayValue)), EngineException);
    EXPECT_THROW(window->snapshot_png(::testing::TempDir() + "released.png"), EngineException);

    load("res:bridge_test.htm");
    ASSERT_NE(window->web_view(), nullptr);
    EXPECT_EQ(call_native("add", args({2, 3}))["value"], 5);
    EXPECT_FALSE(varnelagent::engine::release_page_context()) << "a view lives";
}

TEST_F(HostWindowTest, NativeCallsScriptFunctionsByDottedName) {
    Json::Value list(Json::arrayValue);
    for (int i = 0; i < 30; ++i) {
        Json::Value message;
        message["id"] = std::to_string(i);
        message["title"] = "Уведомление " + std::to_string(i);
        message["description"] = "<b>HTML</b> with 'quotes' and \"more\" and </script>";
        list.append(message);
    }
    const Json::Value result = window->call_script("popups.add_messages", args({list}));
    EXPECT_EQ(result["count"], 30);
    EXPECT_EQ(result["last"], "Уведомление 29");
    EXPECT_EQ(result["description"], list[0]["description"]);

    EXPECT_TRUE(window->call_script("no.such.function", Json::Value(Json::arrayValue)).isNull());
    EXPECT_TRUE(window->call_script("popups.missing", Json::Value(Json::arrayValue)).isNull());
    EXPECT_THROW(window->call_script("tests.thrower", Json::Value(Json::arrayValue)), EngineException);
}

TEST_F(HostWindowTest, SynchronousCallsWaitForPromisesAndTimeOut) {
    EXPECT_EQ(window->call_script("tests.delayed", args({"later", 200})), "later");
    EXPECT_THROW(window->call_script("tests.delayed", args({"too late", 5000}), std::chrono::milliseconds(200)),
                 EngineException);
    // The late answer of the abandoned call must not disturb the next one.
    EXPECT_EQ(window->call_script("tests.delayed", args({"next", 0})), "next");
}

TEST_F(HostWindowTest, WorkerReachesTheGuiThreadDuringAModalLoop) {
    EXPECT_EQ(window->call_script("tests.modal", Json::Value(Json::arrayValue)), true);
}

TEST_F(HostWindowTest, LinkClicksAreReportedAndNeverNavigate) {
    std::vector<std::pair<std::string, std::string>> links;
    window->set_link_handler([&](const std::string& href, const std::string& auth) { links.emplace_back(href, auth); });
    const Json::Value before = window->call_script("tests.location", Json::Value(Json::arrayValue));

    window->call_script("tests.click", args({"auth-link"}));
    window->call_script("tests.click", args({"page-link"}));
    window->call_script("tests.click", args({"message-title"}));
    ASSERT_TRUE(run_nested_until([&] { return links.size() == 3; }, std::chrono::seconds(10)));
    EXPECT_EQ(links[0], std::make_pair(std::string("https://services.varnel.example/cabinet"), std::string("true")));
    EXPECT_EQ(links[1], std::make_pair(std::string("help.htm"), std::string()));
    EXPECT_EQ(links[2], std::make_pair(std::string("https://news.varnel.example/1"), std::string()));

    // Still the same document: nothing was followed.
    run_nested_until([] { return false; }, std::chrono::milliseconds(300));
    EXPECT_EQ(window->call_script("tests.location", Json::Value(Json::arrayValue)), before);
    EXPECT_EQ(before, "res:///bridge_test.html");
}

TEST_F(HostWindowTest, FocusLossAndPointerCrossingsReachNative) {
    window->show();
    GdkEvent* focus = gdk_event_new(GDK_FOCUS_CHANGE);
    focus->focus_change.in = FALSE;
    focus->focus_change.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window->gtk_window()))));
    gtk_widget_event(GTK_WIDGET(window->gtk_window()), focus);
    gdk_event_free(focus);
    for (auto type : {GDK_ENTER_NOTIFY, GDK_LEAVE_NOTIFY}) {
        GdkEvent* crossing = gdk_event_new(type);
        crossing->crossing.window = GDK_WINDOW(g_object_ref(gtk_widget_get_window(GTK_WIDGET(window->web_view()))));
        crossing->crossing.detail = GDK_NOTIFY_NONLINEAR;
        gtk_widget_event(GTK_WIDGET(window->web_view()), crossing);
        gdk_event_free(crossing);
    }
    EXPECT_NE(std::find(calls.begin(), calls.end(), "window_hide"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "on_mouse_enter"), calls.end());
    EXPECT_NE(std::find(calls.begin(), calls.end(), "on_mouse_leave"), calls.end());
}

// Real pointer input through the X server: press on the movable header, drag, release.
TEST_F(HostWindowTest, DraggingAMovableElementMovesTheWindow) {
    window->move(100, 100);
    window->show();
    GdkWindow* surface = gtk_widget_get_window(GTK_WIDGET(window->gtk_window()));
    const auto origin = [&] {
        int x = 0;
        int y = 0;
        gdk_window_get_origin(surface, &x, &y);
        return std::make_pair(x, y);
    };
    ASSERT_TRUE(run_nested_until([&] { return origin() == std::make_pair(100, 100); }, std::chrono::seconds(10)));
    const Json::Value center = window->call_script("tests.center", args({"handle"}));
    const int x = 100 + center[0].asInt();
    const int y = 100 + center[1].asInt();

    const auto pause = [] { run_nested_until([] { return false; }, std::chrono::milliseconds(300)); };
    pointer_move_to(x, y);
    pause();
    pointer_button(true);
    pause();
    for (int step = 1; step <= 4; ++step) {
        pointer_move_to(x + 15 * step, y + 10 * step);
        pause();
    }
    pointer_button(false);
    EXPECT_TRUE(run_nested_until([&] { return origin() == std::make_pair(160, 140); }, std::chrono::seconds(10)))
        << origin().first << "," << origin().second;
}

TEST_F(HostWindowTest, SnapshotOfTheFittedPageIsAPng) {
    const auto [width, height] = window->fit_to_document();
    EXPECT_GT(width, 300);
    EXPECT_GT(height, 100);
    window->show();
    const char* artifacts = std::getenv("AGENT_ARTIFACT_DIR");
    const std::filesystem::path directory = artifacts != nullptr ? artifacts : home().path().string();
    std::filesystem::create_directories(directory);
    const std::filesystem::path file = directory / "bridge_test.png";
    window->snapshot_png(file.string());

    cairo_surface_t* image = cairo_image_surface_create_from_png(file.c_str());
    ASSERT_EQ(cairo_surface_status(image), CAIRO_STATUS_SUCCESS);
    EXPECT_EQ(cairo_image_surface_get_width(image), width);
    EXPECT_EQ(cairo_image_surface_get_height(image), height);
    cairo_surface_destroy(image);
    std::printf("Snapshot of the test page: %s\n", file.c_str());
}

}  // namespace
}  // namespace agent::testing
