// The shell's typed events and the door onto the GUI thread on a real GLib main context: the test's own
// thread is the GUI thread, workers are real threads.
#include <algorithm>
#include <atomic>
#include <thread>
#include <vector>

#include "gui/engine/host_window.h"
#include "gui/shell_messages.h"
#include "support/sandbox.h"

namespace agent::testing {
namespace {

using namespace varnelagent;
using engine::run_nested_until;

// Every event as it arrived: its name, its value, and whether it came on the GUI thread.
struct Received {
    unsigned event;
    unsigned value;
    bool flag;
    bool on_gui_thread;
};

class RecordingWindow : public ShellWindow {
public:
    void on_close_request() override { record(WM_CLOSE, 0); }
    void on_command(unsigned command) override { record(WM_COMMAND, command); }
    void on_show_page(PageKind kind, bool session_start) override {
        record(WM_SHOW_PAGE, static_cast<unsigned>(kind), session_start);
    }
    std::optional<Json::Value> on_dialog_request(const Json::Value& request) override {
        record(WM_MODAL_DIALOG, request.asUInt());
        if (request.asUInt() == 0)
            return std::nullopt;
        return Json::Value(request.asUInt() * 2);
    }
    void on_message_read(const std::wstring& id) override {
        read.push_back(id);
        record(WM_MESSAGE_READ, 0);
    }
    void on_timer(unsigned id) override { record(WM_TIMER, id); }

    std::vector<Received> received;
    std::vector<std::wstring> read;

private:
    void record(unsigned event, unsigned value, bool flag = false) {
        received.push_back({event, value, flag, is_gui_thread()});
    }
};

class ShellMessagesTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        init_gui_thread();
    }
};

TEST_F(ShellMessagesTest, PostedEventsArriveInOrderOnTheGuiThread) {
    RecordingWindow window;
    std::thread worker([&] {
        for (unsigned i = 0; i < 48; ++i) {
            switch (i % 4) {
            case 0: ASSERT_TRUE(post_show_page(window.handle(), static_cast<PageKind>(i % 8), true)); break;
            case 1: ASSERT_TRUE(post_command(window.handle(), ID_OPEN + i)); break;
            case 2: ASSERT_TRUE(post_message_read(window.handle(), std::to_wstring(i))); break;
            default: ASSERT_TRUE(post_close(window.handle())); break;
            }
        }
        // A task that throws is logged under its context; the ones after it still run.
        post_on_gui_thread([] { throw std::runtime_error("posted task failed"); }, L"test");
        post_command(window.handle(), ID_EXIT);
    });
    worker.join();
    EXPECT_TRUE(window.received.empty());  // posting never runs the receiver at once
    ASSERT_TRUE(run_nested_until([&] { return window.received.size() == 49; }, std::chrono::seconds(10)));
    for (unsigned i = 0; i < 48; ++i) {
        const Received& got = window.received[i];
        EXPECT_TRUE(got.on_gui_thread);
        const unsigned expected[] = {WM_SHOW_PAGE, WM_COMMAND, WM_MESSAGE_READ, WM_CLOSE};
        EXPECT_EQ(got.event, expected[i % 4]) << i;
        if (i % 4 == 0) {
            EXPECT_TRUE(got.value == i % 8 && got.flag) << i;
        } else if (i % 4 == 1) {
            EXPECT_EQ(got.value, ID_OPEN + i);
        }
    }
    ASSERT_EQ(window.read.size(), 12u);
    EXPECT_EQ(window.read[11], L"46");
    EXPECT_EQ(window.received[48].value, ID_EXIT);
}

TEST_F(ShellMessagesTest, EventsForAWindowThatIsGoneAreDropped) {
    auto window = std::make_unique<RecordingWindow>();
    const WindowHandle handle = window->handle();
    ASSERT_TRUE(post_command(handle, ID_CHANGE_USER));
    window.reset();
    // The queued event must find nothing rather than a freed window.
    RecordingWindow other;
    run_nested_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(other.received.empty());
    EXPECT_FALSE(post_command(handle, ID_CHANGE_USER));
    EXPECT_FALSE(request_dialog_on(handle, Json::Value(21)).has_value());
    EXPECT_EQ(find_window(handle), nullptr);
    EXPECT_NE(other.handle(), handle);
}

TEST_F(ShellMessagesTest, ADialogRequestFromAWorkerWaitsForTheGuiThreadsAnswer) {
    RecordingWindow window;
    std::optional<Json::Value> answer;
    std::optional<Json::Value> refused = Json::Value("unset");
    std::optional<Json::Value> gone = Json::Value("unset");
    std::atomic<bool> done{false};
    std::thread worker([&] {
        answer = request_dialog_on(window.handle(), Json::Value(21));
        refused = request_dialog_on(window.handle(), Json::Value(0));
        gone = request_dialog_on(window.handle() + 1000, Json::Value(21));
        done = true;
    });
    ASSERT_TRUE(run_nested_until([&] { return done.load(); }, std::chrono::seconds(10)));
    worker.join();
    ASSERT_TRUE(answer.has_value());
    EXPECT_EQ(answer->asUInt(), 42u);
    EXPECT_FALSE(refused.has_value()) << "no dialog could be shown";
    EXPECT_FALSE(gone.has_value());
    ASSERT_EQ(window.received.size(), 2u);
    EXPECT_TRUE(window.received[0].on_gui_thread);

    // On the GUI thread the request is a direct call.
    EXPECT_EQ(request_dialog_on(window.handle(), Json::Value(5))->asUInt(), 10u);
    EXPECT_EQ(window.received.size(), 3u);
}

TEST_F(ShellMessagesTest, AClosedGateGivesUpTheWorkersTasksButNotItsEvents) {
    RecordingWindow window;
    auto gate = std::make_shared<HandOverGate>();
    std::atomic<bool> waiting{false};
    std::atomic<int> outcome{0};  // 1: cancelled, 2: ran
    std::atomic<int> posted_runs{0};
    std::thread worker([&] {
        HandOverScope scope(gate);
        post_on_gui_thread([&] { ++posted_runs; });  // queued, not yet run when the gate closes
        post_command(window.handle(), ID_CHANGE_USER);  // an event touches nothing of the worker's
        waiting = true;
        try {
            execute_on_gui_thread([&] { outcome = 2; });
        } catch (const HandOverCancelled&) {
            if (outcome == 0)
                outcome = 1;
        }
        // Once closed, the gate refuses at once and a task is skipped.
        EXPECT_THROW(execute_on_gui_thread([] {}), HandOverCancelled);
        post_on_gui_thread([&] { ++posted_runs; });
    });
    // The GUI thread closes the gate before it runs its loop: no task of the worker runs.
    while (!waiting.load())
        std::this_thread::yield();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    gate->close();
    worker.join();
    ASSERT_TRUE(run_nested_until([&] { return !window.received.empty(); }, std::chrono::seconds(10)));
    run_nested_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(outcome.load(), 1);
    EXPECT_EQ(posted_runs.load(), 0);
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_EQ(window.received[0].value, ID_CHANGE_USER);
}

TEST_F(ShellMessagesTest, GuiThreadCallsRunInsideNestedLoopsAndCarryExceptions) {
    std::atomic<int> stage{0};
    std::atomic<bool> ran_on_gui{false};
    std::atomic<bool> failure_seen{false};
    std::thread worker([&] {
        execute_on_gui_thread([&] { ran_on_gui = is_gui_thread(); });
        try {
            execute_on_gui_thread([] { throw std::runtime_error("functor failed"); });
        } catch (const std::runtime_error& e) {
            failure_seen = std::string(e.what()) == "functor failed";
        }
        stage = 1;
    });
    // A nested loop inside a nested loop, as a modal dialog over a synchronous call.
    bool inner_done = false;
    ASSERT_TRUE(run_nested_until(
        [&] {
            if (!inner_done)
                inner_done = run_nested_until([&] { return stage.load() == 1; }, std::chrono::seconds(10));
            return inner_done;
        },
        std::chrono::seconds(10)));
    worker.join();
    EXPECT_TRUE(ran_on_gui.load());
    EXPECT_TRUE(failure_seen.load());
}

TEST_F(ShellMessagesTest, GuiThreadCallFromTheGuiThreadIsRefused) {
    bool ran = false;
    EXPECT_THROW(execute_on_gui_thread([&] { ran = true; }), GuiThreadException);
    EXPECT_FALSE(ran);
}

TEST_F(ShellMessagesTest, TimersRepeatUntilKilledAndDieWithTheirWindow) {
    const std::size_t timers_before = live_timer_count();
    auto window = std::make_unique<RecordingWindow>();
    window->set_timer(TIMER_ACTIVATE, 10);
    window->set_timer(TIMER_HIDE, 10);
    window->set_timer(TIMER_HIDE, 5000);  // restarted with the longer period
    auto count = [&](unsigned id) {
        return std::count_if(window->received.begin(), window->received.end(),
                             [&](const Received& r) { return r.event == WM_TIMER && r.value == id; });
    };
    ASSERT_TRUE(run_nested_until([&] { return count(TIMER_ACTIVATE) >= 3; }, std::chrono::seconds(10)));
    EXPECT_EQ(count(TIMER_HIDE), 0);
    window->kill_timer(TIMER_ACTIVATE);
    EXPECT_FALSE(window->has_timer(TIMER_ACTIVATE));
    const auto seen = count(TIMER_ACTIVATE);
    run_nested_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_EQ(count(TIMER_ACTIVATE), seen);
    window->set_timer(TIMER_ACTIVATE, 10);
    EXPECT_EQ(live_timer_count(), timers_before + 2);
    window.reset();
    // Both sources are gone with the window: nothing is left to fire into it.
    EXPECT_EQ(live_timer_count(), timers_before);
}

TEST(DialogRequest, DocumentOfARequest) {
    EXPECT_EQ(dialog_document(Json::Value("res:credentials.html")), "res:credentials.html");
    Json::Value map(Json::objectValue);
    EXPECT_EQ(dialog_document(map), "res:error.html");
    map["page"] = 7;
    EXPECT_EQ(dialog_document(map), "res:error.html");
    map["page"] = "res:save.html";
    EXPECT_EQ(dialog_document(map), "res:save.html");
    EXPECT_EQ(dialog_document(Json::Value()), "res:error.html");
}

}  // namespace
}  // namespace agent::testing
