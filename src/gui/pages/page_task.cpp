#include "gui/pages/page_task.h"

#include "details/logger.h"
#include "gui/error.h"

namespace varnelagent::pages {

PageTasks::PageTasks() : gate_(std::make_shared<HandOverGate>()) {}

PageTasks::~PageTasks() {
    close();
}

void PageTasks::start(PageTask task) {
    if (closing())
        return;
    reap_finished();
    std::lock_guard lock(workers_mutex_);
    Worker& worker = workers_.emplace_back();
    worker.thread = std::thread([this, &worker, task = std::move(task)]() mutable {
        {
            HandOverScope scope(gate_);
            run(task);
        }
        worker.done = true;
    });
}

void PageTasks::run(PageTask& task) const {
    std::exception_ptr failure;
    {
        std::unique_lock lock(lock_);
        // A request that waited for the lock while the page closed has nothing to do.
        if (closing())
            return;
        try {
            task.body();
            return;
        } catch (const HandOverCancelled&) {
            return;
        } catch (...) {
            failure = std::current_exception();
        }
        try {
            if (task.fallback && !closing())
                task.fallback();
        } catch (const HandOverCancelled&) {
            return;
        } catch (...) {
            error::log_exception(std::current_exception(), task.context);
        }
    }
    if (closing() || !task.failure)
        return;
    try {
        task.failure(failure);
    } catch (const HandOverCancelled&) {
    } catch (...) {
        error::log_exception(std::current_exception(), task.context);
    }
}

void PageTasks::reap_finished() {
    std::list<Worker> finished;
    {
        std::lock_guard lock(workers_mutex_);
        for (auto it = workers_.begin(); it != workers_.end();) {
            auto next = std::next(it);
            if (it->done)
                finished.splice(finished.end(), workers_, it);
            it = next;
        }
    }
    for (Worker& worker : finished)
        worker.thread.join();
}

void PageTasks::close() {
    closing_ = true;
    gate_->close();
    std::list<Worker> workers;
    {
        std::lock_guard lock(workers_mutex_);
        workers.swap(workers_);
    }
    for (Worker& worker : workers)
        if (worker.thread.joinable())
            worker.thread.join();
}

void PageTasks::check_closing() const {
    if (closing())
        throw PageClosing();
}

void PageTasks::on_gui_thread(const std::function<void()>& functor) const {
    check_closing();
    try {
        execute_on_gui_thread(functor);
    } catch (const HandOverCancelled&) {
        throw PageClosing();
    }
}

void PageTasks::callback(const engine::ScriptCallback& callback, const Json::Value& args) const {
    on_gui_thread([&] { callback.invoke(args); });
}

}  // namespace varnelagent::pages
