#pragma once

#include <atomic>
#include <exception>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include <json/value.h>

#include "gui/engine/host_window.h"
#include "gui/shell_messages.h"

// The work a page does off the GUI thread: one new thread per request, one task lock so
// that the requests of a page never overlap, results handed to the page's script only
// while the page is not closing.
namespace varnelagent::pages {

// Thrown inside a task to leave it quietly: the page is closing.
class PageClosing : public HandOverCancelled {};

// One request's work. `body` runs on the task's own thread with the task lock held. When
// it throws: `fallback` runs first, still under the lock and only while the page is not
// closing (the script's end(false)); then the lock is released and `failure` gets the
// exception (dialogs, logging). A page that closes meanwhile ends the task quietly: every
// hand-over to the GUI thread throws, and nothing more is called.
struct PageTask {
    std::wstring context;  // the name the task logs under
    std::function<void()> body;
    std::function<void()> fallback;
    std::function<void(std::exception_ptr)> failure;
};

class PageTasks {
public:
    PageTasks();
    // Closes (below) if the owner has not.
    ~PageTasks();
    PageTasks(const PageTasks&) = delete;
    PageTasks& operator=(const PageTasks&) = delete;

    // GUI thread (or any thread). Starts the task on a new thread and returns at once.
    // Refused quietly once closing.
    void start(PageTask task);

    // GUI thread: the first thing a page's destructor does. Sets the closing flag, gives up
    // the hand-overs the tasks wait for, and waits until every task thread has ended. A task
    // busy on the network is waited for (its request's own time-outs bound the wait); a task
    // waiting for the GUI thread is released at once, so this never deadlocks.
    void close();
    bool closing() const noexcept { return closing_.load(); }

    // Task threads. Calls the script callback on the GUI thread and returns once it is
    // queued there; throws PageClosing when the page is closing.
    void callback(const engine::ScriptCallback& callback, const Json::Value& args) const;
    // Task threads. Runs the function object on the GUI thread; throws PageClosing when the
    // page is closing (also when it closes while waiting).
    void on_gui_thread(const std::function<void()>& functor) const;
    // Task threads: throws PageClosing when the page is closing.
    void check_closing() const;

    // The task lock, for work that is not a task but must not interleave with one (new
    // messages delivered from the stream thread). Such callers also open a hand-over
    // scope with gate() so that the page's closing releases them.
    std::mutex& lock() noexcept { return lock_; }
    const std::shared_ptr<HandOverGate>& gate() const noexcept { return gate_; }

private:
    struct Worker {
        std::thread thread;
        std::atomic<bool> done{false};
    };
    void run(PageTask& task) const;
    void reap_finished();

    std::atomic<bool> closing_{false};
    std::shared_ptr<HandOverGate> gate_;
    mutable std::mutex lock_;
    std::mutex workers_mutex_;
    std::list<Worker> workers_;
};

}  // namespace varnelagent::pages
