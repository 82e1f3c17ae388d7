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

ShellWindow* lookup(WindowHandle handle) {
    std::lock_guard lock(windows_mutex);
    auto found = windows.find(handle);
    return found == windows.end() ? nullptr : found->second;
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
    // Nobody waits for a posted task: its failure can only be logged, under this name.
    const wchar_t* context = nullptr;

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
    } catch (const agent::Exception& e) {
        if (call.context != nullptr) {
            AGENT_ERROR(call.context) << e.description();
        } else {
            call.error = std::current_exception();
        }
    } catch (const std::exception& e) {
        if (call.context != nullptr) {
            AGENT_ERROR(call.context) << e.what();
        } else {
            call.error = std::current_exception();
        }
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

// A call under the calling thread's gates; nothing when one of them has closed already.
std::shared_ptr<GuiCall> new_gui_call(std::function<void()> functor) {
    auto call = std::make_shared<GuiCall>();
    call->functor = std::move(functor);
    call->gates = thread_gates;
    for (const auto& gate : call->gates)
        if (!GateAccess::add(*gate, call))
            return nullptr;
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

// Timer sources alive in the main context: GLib's destroy notify of a removed source
// counts it off.
std::atomic<std::size_t> live_timers{0};

struct TimerData {
    TimerData(WindowHandle w, unsigned i) : window(w), id(i) { ++live_timers; }
    ~TimerData() { --live_timers; }
    TimerData(const TimerData&) = delete;
    TimerData& operator=(const TimerData&) = delete;

    WindowHandle window;
    unsigned id;
};

gboolean run_timer(gpointer data) {
    const auto& timer = *static_cast<TimerData*>(data);
    try {
        if (ShellWindow* window = lookup(timer.window))
            window->on_timer(timer.id);
    } catch (const std::exception& e) {
        AGENT_ERROR(L"varnelagent::ShellWindow::on_timer") << "Timer " << timer.id << ": " << e.what();
    }
    return G_SOURCE_CONTINUE;
}

}  // namespace

bool is_main_window_page(int kind) noexcept {
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

void execute_on_gui_thread(const std::function<void()>& task) {
    if (is_gui_thread())
        throw GuiThreadException(L"execute_on_gui_thread was called on the GUI thread itself");
    auto call = new_gui_call(task);
    if (!call)
        throw HandOverCancelled();
    queue_on_gui_thread(call);
    wait_gui_call(*call);
}

void post_on_gui_thread(std::function<void()> task, const wchar_t* context) {
    auto call = new_gui_call(std::move(task));
    // Posted under a gate that has closed: the task is given up, as it would be later.
    if (!call)
        return;
    call->context = context != nullptr ? context : L"varnelagent::post_on_gui_thread";
    queue_on_gui_thread(std::move(call));
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

std::size_t live_timer_count() noexcept {
    return live_timers.load();
}

ShellWindow* find_window(WindowHandle window) {
    return lookup(window);
}

bool is_window(WindowHandle window) {
    return lookup(window) != nullptr;
}

bool post_to(WindowHandle window, std::function<void(ShellWindow&)> event, const wchar_t* context) {
    if (!is_window(window))
        return false;
    // An event finds its window by the handle when it runs, so it needs none of the sender's
    // gates: it is delivered even when the sender's owner is gone by then (a page's task that
    // found the session ended still signs the user out).
    auto call = std::make_shared<GuiCall>();
    call->functor = [window, event = std::move(event)] {
        if (ShellWindow* target = lookup(window))
            event(*target);
    };
    call->context = context != nullptr ? context : L"varnelagent::post_to";
    queue_on_gui_thread(std::move(call));
    return true;
}

bool post_close(WindowHandle window) {
    return post_to(window, [](ShellWindow& target) { target.on_close_request(); }, L"varnelagent::post_close");
}

bool post_command(WindowHandle window, unsigned command) {
    return post_to(window, [command](ShellWindow& target) { target.on_command(command); }, L"varnelagent::post_command");
}

bool post_show_page(WindowHandle window, PageKind kind, bool session_start) {
    return post_to(
        window, [kind, session_start](ShellWindow& target) { target.on_show_page(kind, session_start); },
        L"varnelagent::post_show_page");
}

bool post_message_read(WindowHandle window, std::wstring id) {
    return post_to(
        window, [id = std::move(id)](ShellWindow& target) { target.on_message_read(id); },
        L"varnelagent::post_message_read");
}

std::optional<Json::Value> request_dialog_on(WindowHandle window, Json::Value request) {
    if (is_gui_thread()) {
        ShellWindow* target = lookup(window);
        return target != nullptr ? target->on_dialog_request(request) : std::nullopt;
    }
    // The answer lives with the call: a worker whose gate closes leaves while the dialog may
    // still run.
    auto answer = std::make_shared<std::optional<Json::Value>>();
    execute_on_gui_thread([window, answer, request = std::move(request)] {
        if (ShellWindow* target = lookup(window))
            *answer = target->on_dialog_request(request);
    });
    return *answer;
}

}  // namespace varnelagent
