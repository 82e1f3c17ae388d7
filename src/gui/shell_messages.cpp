#include "gui/shell_messages.h"

#include <glib.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "details/logger.h"

namespace varnelagent {

namespace {

std::mutex gui_thread_mutex;
std::thread::id gui_thread_id;
bool gui_thread_known = false;

// Live windows by handle. Windows register and unregister on the GUI thread; posters on
// other threads only ask whether a handle is alive.
std::mutex windows_mutex;
std::map<WindowHandle, ShellWindow*> windows;
std::atomic<WindowHandle> next_handle{1};

ShellWindow* find_window(WindowHandle handle) {
    std::lock_guard lock(windows_mutex);
    auto found = windows.find(handle);
    return found == windows.end() ? nullptr : found->second;
}

// Runs on the GUI thread: the window is looked up at delivery, not at posting.
std::intptr_t deliver(WindowHandle handle, unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    ShellWindow* window = find_window(handle);
    if (window == nullptr)
        return 0;
    return window->on_message(message, wparam, lparam);
}

// The gates the calling thread's hand-overs are under, innermost last: the stream thread
// delivering to a page is under the stream's gate and the page's.
thread_local std::vector<std::shared_ptr<HandOverGate>> thread_gates;

}  // namespace

struct HandOverGate::Waiter {
    virtual ~Waiter() = default;
    virtual void cancel() = 0;
};

struct GateAccess {
    // False when the gate is already closed: the waiter is not registered.
    static bool add(HandOverGate& gate, const std::shared_ptr<HandOverGate::Waiter>& waiter) {
        std::lock_guard lock(gate.mutex_);
        if (gate.closed_)
            return false;
        std::erase_if(gate.waiters_, [](const auto& weak) { return weak.expired(); });
        gate.waiters_.push_back(waiter);
        return true;
    }
};

namespace {

// One call queued onto the GUI thread, with the waiter's side of it. Everything the GUI
// side touches lives here, on the heap, so a waiter that gave up may leave at once.
struct GuiCall : HandOverGate::Waiter {
    std::function<void()> functor;
    std::vector<std::shared_ptr<HandOverGate>> gates;

    bool given_up() const {
        for (const auto& gate : gates)
            if (gate->closed())
                return true;
        return false;
    }
    std::mutex mutex;
    std::condition_variable done_changed;
    bool done = false;
    bool ran = false;
    bool cancelled = false;
    std::exception_ptr error;

    void finish(bool has_run) {
        std::lock_guard lock(mutex);
        if (done)
            return;
        done = true;
        ran = has_run;
        done_changed.notify_all();
    }

    void cancel() override {
        std::lock_guard lock(mutex);
        if (done)
            return;
        cancelled = true;
        done_changed.notify_all();
    }
};

gboolean run_gui_call(gpointer data) {
    auto& call = **static_cast<std::shared_ptr<GuiCall>*>(data);
    if (call.given_up()) {
        call.finish(false);
        return G_SOURCE_REMOVE;
    }
    try {
        call.functor();
    } catch (...) {
        call.error = std::current_exception();
    }
    call.finish(true);
    return G_SOURCE_REMOVE;
}

// Also reached when the main context is torn down with the call still queued: the waiter
// is released with a refusal rather than left hanging.
void release_gui_call(gpointer data) {
    auto* call = static_cast<std::shared_ptr<GuiCall>*>(data);
    (*call)->finish(false);
    delete call;
}

std::shared_ptr<GuiCall> new_gui_call(std::function<void()> functor) {
    auto call = std::make_shared<GuiCall>();
    call->functor = std::move(functor);
    call->gates = thread_gates;
    for (const auto& gate : call->gates)
        if (!GateAccess::add(*gate, call))
            throw HandOverCancelled();
    return call;
}

void queue_on_gui_thread(std::shared_ptr<GuiCall> call) {
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, run_gui_call, new std::shared_ptr<GuiCall>(std::move(call)), release_gui_call);
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

void wait_gui_call(GuiCall& call) {
    std::unique_lock lock(call.mutex);
    call.done_changed.wait(lock, [&] { return call.done || call.cancelled; });
    if (!call.done)
        throw HandOverCancelled();
    lock.unlock();
    if (!call.ran) {
        if (call.given_up())
            throw HandOverCancelled();
        throw GuiThreadException(L"The GUI thread dropped the call without running it");
    }
    if (call.error)
        std::rethrow_exception(call.error);
}

struct PostedMessage {
    WindowHandle window;
    unsigned message;
    std::uintptr_t wparam;
    std::intptr_t lparam;
};

gboolean run_posted_message(gpointer data) {
    const auto& posted = *static_cast<PostedMessage*>(data);
    try {
        deliver(posted.window, posted.message, posted.wparam, posted.lparam);
    } catch (const std::exception& e) {
        // Nothing waits for a posted message, so its failure can only be logged.
        AGENT_ERROR(L"varnelagent::post_message") << "Message " << posted.message << ": " << e.what();
    }
    return G_SOURCE_REMOVE;
}

struct TimerData {
    WindowHandle window;
    unsigned id;
};

gboolean run_timer(gpointer data) {
    const auto& timer = *static_cast<TimerData*>(data);
    try {
        deliver(timer.window, WM_TIMER, timer.id, 0);
    } catch (const std::exception& e) {
        AGENT_ERROR(L"varnelagent::ShellWindow::on_timer") << "Timer " << timer.id << ": " << e.what();
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

bool is_main_window_page(std::uintptr_t kind) noexcept {
    return kind == AUTH_PAGE || kind == NOTIFICATIONS_PAGE || kind == HELP_PAGE || kind == SETTINGS_PAGE ||
           kind == OVERVIEW_PAGE;
}

std::string dialog_document(const Json::Value& request) {
    if (request.isString())
        return request.asString();
    if (request.isObject() && request["page"].isString())
        return request["page"].asString();
    return "res:error.html";
}

void init_gui_thread() {
    std::lock_guard lock(gui_thread_mutex);
    gui_thread_id = std::this_thread::get_id();
    gui_thread_known = true;
}

bool is_gui_thread() {
    std::lock_guard lock(gui_thread_mutex);
    if (!gui_thread_known) {
        gui_thread_id = std::this_thread::get_id();
        gui_thread_known = true;
    }
    return gui_thread_id == std::this_thread::get_id();
}

void HandOverGate::close() {
    std::vector<std::weak_ptr<Waiter>> waiters;
    {
        std::lock_guard lock(mutex_);
        closed_ = true;
        waiters.swap(waiters_);
    }
    for (const auto& weak : waiters)
        if (auto waiter = weak.lock())
            waiter->cancel();
}

bool HandOverGate::closed() const {
    std::lock_guard lock(mutex_);
    return closed_;
}

HandOverScope::HandOverScope(std::shared_ptr<HandOverGate> gate) {
    thread_gates.push_back(std::move(gate));
}

HandOverScope::~HandOverScope() {
    thread_gates.pop_back();
}

void execute_on_gui_thread(const std::function<void()>& functor) {
    if (is_gui_thread())
        throw GuiThreadException(L"execute_on_gui_thread was called on the GUI thread itself");
    auto call = new_gui_call(functor);
    queue_on_gui_thread(call);
    wait_gui_call(*call);
}

void post_on_gui_thread(std::function<void()> functor, const wchar_t* context) {
    struct Posted {
        std::function<void()> functor;
        const wchar_t* context;
    };
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(
        source,
        [](gpointer data) -> gboolean {
            const auto& posted = *static_cast<Posted*>(data);
            try {
                posted.functor();
            } catch (const agent::Exception& e) {
                AGENT_ERROR(posted.context) << e.description();
            } catch (const std::exception& e) {
                AGENT_ERROR(posted.context) << e.what();
            }
            return G_SOURCE_REMOVE;
        },
        new Posted{std::move(functor), context}, [](gpointer data) { delete static_cast<Posted*>(data); });
    g_source_attach(source, nullptr);
    g_source_unref(source);
}

ShellWindow::ShellWindow() : handle_(next_handle.fetch_add(1)) {
    std::lock_guard lock(windows_mutex);
    windows.emplace(handle_, this);
}

ShellWindow::~ShellWindow() {
    {
        std::lock_guard lock(windows_mutex);
        windows.erase(handle_);
    }
    for (const auto& [id, source] : timers_)
        g_source_remove(source);
}

void ShellWindow::set_timer(unsigned id, unsigned period_ms) {
    kill_timer(id);
    const unsigned source = g_timeout_add_full(G_PRIORITY_DEFAULT, period_ms, run_timer, new TimerData{handle_, id},
                                               [](gpointer data) { delete static_cast<TimerData*>(data); });
    timers_.emplace_back(id, source);
}

void ShellWindow::kill_timer(unsigned id) {
    for (auto it = timers_.begin(); it != timers_.end(); ++it) {
        if (it->first == id) {
            g_source_remove(it->second);
            timers_.erase(it);
            return;
        }
    }
}

bool ShellWindow::has_timer(unsigned id) const {
    for (const auto& timer : timers_)
        if (timer.first == id)
            return true;
    return false;
}

bool is_window(WindowHandle window) {
    return find_window(window) != nullptr;
}

bool post_message(WindowHandle window, unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (!is_window(window))
        return false;
    GSource* source = g_idle_source_new();
    g_source_set_priority(source, G_PRIORITY_DEFAULT);
    g_source_set_callback(source, run_posted_message, new PostedMessage{window, message, wparam, lparam},
                          [](gpointer data) { delete static_cast<PostedMessage*>(data); });
    g_source_attach(source, nullptr);
    g_source_unref(source);
    return true;
}

std::intptr_t send_message(WindowHandle window, unsigned message, std::uintptr_t wparam, std::intptr_t lparam) {
    if (is_gui_thread())
        return deliver(window, message, wparam, lparam);
    if (!is_window(window))
        return 0;
    // The answer lives with the call: a waiter whose gate closes leaves before the GUI side
    // is done with it.
    auto answer = std::make_shared<std::intptr_t>(0);
    auto call = new_gui_call([=] { *answer = deliver(window, message, wparam, lparam); });
    queue_on_gui_thread(call);
    wait_gui_call(*call);
    return *answer;
}

}  // namespace varnelagent
