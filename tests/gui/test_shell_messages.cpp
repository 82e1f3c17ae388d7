// The shell's messages and GUI-thread calls on a real GLib main context: the test's own
// thread is the GUI thread, workers are real threads.
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

struct Received {
    unsigned message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
    bool on_gui_thread;
};

class RecordingWindow : public ShellWindow {
public:
    std::intptr_t on_message(unsigned message, std::uintptr_t wparam, std::intptr_t lparam) override {
        received.push_back({message, wparam, lparam, is_gui_thread()});
        if (message == WM_SHOW_PAGE)
            return is_main_window_page(wparam) ? 1 : 0;
        return static_cast<std::intptr_t>(wparam) * 2;
    }
    std::vector<Received> received;
};

class ShellMessagesTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        init_gui_thread();
    }
};

TEST_F(ShellMessagesTest, PostedMessagesArriveInOrderOnTheGuiThread) {
    RecordingWindow window;
    std::thread worker([&] {
        for (std::uintptr_t i = 0; i < 50; ++i)
            ASSERT_TRUE(post_message(window.handle(), WM_SHOW_PAGE, i % 8, SESSION_START));
    });
    worker.join();
    EXPECT_TRUE(window.received.empty());  // posting never runs the receiver at once
    ASSERT_TRUE(run_nested_until([&] { return window.received.size() == 50; }, std::chrono::seconds(10)));
    for (std::uintptr_t i = 0; i < 50; ++i) {
        EXPECT_EQ(window.received[i].wparam, i % 8);
        EXPECT_EQ(window.received[i].lparam, SESSION_START);
        EXPECT_TRUE(window.received[i].on_gui_thread);
    }
}

TEST_F(ShellMessagesTest, MessagesForAWindowThatIsGoneAreDropped) {
    auto window = std::make_unique<RecordingWindow>();
    const WindowHandle handle = window->handle();
    ASSERT_TRUE(post_message(handle, WM_COMMAND, ID_CHANGE_USER, 0));
    window.reset();
    // The queued message must find nothing rather than a freed window.
    RecordingWindow other;
    run_nested_until([] { return false; }, std::chrono::milliseconds(100));
    EXPECT_TRUE(other.received.empty());
    EXPECT_FALSE(post_message(handle, WM_COMMAND, ID_CHANGE_USER, 0));
    EXPECT_EQ(send_message(handle, WM_COMMAND, ID_CHANGE_USER, 0), 0);
    EXPECT_NE(other.handle(), handle);
}

TEST_F(ShellMessagesTest, SendFromAWorkerWaitsForTheGuiThreadsAnswer) {
    RecordingWindow window;
    std::atomic<std::intptr_t> answer{-1};
    std::atomic<std::intptr_t> gone{-1};
    std::thread worker([&] {
        answer = send_message(window.handle(), WM_MODAL_DIALOG, 21, 0);
        gone = send_message(window.handle() + 1000, WM_MODAL_DIALOG, 21, 0);
    });
    ASSERT_TRUE(run_nested_until([&] { return gone.load() != -1; }, std::chrono::seconds(10)));
    worker.join();
    EXPECT_EQ(answer.load(), 42);
    EXPECT_EQ(gone.load(), 0);
    ASSERT_EQ(window.received.size(), 1u);
    EXPECT_TRUE(window.received[0].on_gui_thread);

    // On the GUI thread a send is a direct call.
    EXPECT_EQ(send_message(window.handle(), WM_SHOW_PAGE, MESSAGE_POPUP, 0), 0);
    EXPECT_EQ(send_message(window.handle(), WM_SHOW_PAGE, OVERVIEW_PAGE, 0), 1);
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
                             [&](const Received& r) { return r.message == WM_TIMER && r.wparam == id; });
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
