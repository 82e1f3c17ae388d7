#pragma once

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <future>
#include <string>
#include <vector>

#include <glib.h>

#include "details/configuration.h"
#include "details/logger.h"
#include "details/strings.h"
#include "gui/engine/host_window.h"
#include "gui/error.h"
#include "gui/pages/modal_dialog.h"
#include "gui/shell/main_window.h"
#include "gui/shell_messages.h"
#include "model/agent_client.h"
#include "sandbox_server.h"
#include "support/sandbox.h"

namespace agent::testing {

// The desktop shell in the test's own process: a temporary HOME and runtime directory, the
// stand-in provider on loopback, a configuration that points at it, and the real main
// window on the test's display. The test's thread is the GUI thread.
class ShellTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        varnelagent::init_gui_thread();
        runtime_ = home().path() / "run";
        std::filesystem::create_directories(runtime_);
        std::filesystem::permissions(runtime_, std::filesystem::perms::owner_all);
        ::setenv("XDG_RUNTIME_DIR", runtime_.c_str(), 1);
        server_ = std::make_unique<sandbox::Server>();
        server_->start();
    }

    void TearDown() override {
        shell_.reset();
        server_.reset();
        SandboxTest::TearDown();
    }

    // The configuration file a user who has run the program before would have.
    void write_config(const std::string& extra = {}) {
        const std::filesystem::path directory = details::wide_to_utf8(home().data_directory());
        std::filesystem::create_directories(directory);
        write_text(directory / "config", "client = 0a1b2c3d-0000-4000-8000-00000000abcd\nuri = " +
                                             server_->api_url() + "\nauth_uri = " + server_->auth_url() +
                                             "\nproxy_mode = NoProxy\nlog_level = DEBUG\n" + extra);
    }

    // Signs the demo user in the way the sign-in page does with "Запомнить": the next start
    // finds the session.
    void remember_session() {
        auto configuration = ConfigurationKeyValue::load(home().data_directory());
        auto client = AgentClient::create(configuration);
        client->authenticate(details::utf8_to_wide(sandbox::Server::DEMO_LOGIN),
                             details::utf8_to_wide(sandbox::Server::DEMO_PASSWORD), true);
        details::install_logger(nullptr);
    }

    varnelagent::WindowImpl& start() {
        shell_ = std::make_unique<varnelagent::WindowImpl>(home().data_directory());
        shell_->set_destroy_handler([this] { ended_ = true; });
        shell_->on_create();
        return *shell_;
    }

    // Runs the GUI thread's loop until the predicate holds.
    static bool pump_until(const std::function<bool()>& predicate,
                           std::chrono::milliseconds timeout = std::chrono::seconds(15)) {
        return varnelagent::engine::run_nested_until(predicate, timeout);
    }
    static void pump_for(std::chrono::milliseconds time) {
        varnelagent::engine::run_nested_until([] { return false; }, time);
    }

    // Runs the steps one after another on the GUI thread, in whatever loop is running then:
    // a dialog runs a loop of its own, and what the user does meanwhile happens inside it.
    // A step returns true when it is done. Steps post their commands rather than send them.
    bool run_steps(std::vector<std::function<bool()>> steps,
                   std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
        struct State {
            std::vector<std::function<bool()>> steps;
            std::size_t next = 0;
        };
        auto state = std::make_shared<State>();
        state->steps = std::move(steps);
        auto* holder = new std::shared_ptr<State>(state);
        const guint source = g_timeout_add_full(
            G_PRIORITY_DEFAULT, 10,
            [](gpointer data) -> gboolean {
                auto& state = **static_cast<std::shared_ptr<State>*>(data);
                if (state.next < state.steps.size() && state.steps[state.next]())
                    ++state.next;
                return state.next < state.steps.size() ? G_SOURCE_CONTINUE : G_SOURCE_REMOVE;
            },
            holder, [](gpointer data) { delete static_cast<std::shared_ptr<State>*>(data); });
        const bool done = pump_until([&] { return state->next == state->steps.size(); }, timeout);
        if (!done)
            g_source_remove(source);
        return done;
    }

    // Asks for a dialog from a worker, as the pages' tasks do; the result arrives later.
    std::future<Json::Value> dialog_from_worker(Json::Value request) {
        return std::async(std::launch::async, [handle = shell_->handle(), request] {
            return varnelagent::error::request_dialog(request, handle);
        });
    }

    // The dialog of that kind when it is up: alive, its document loaded and placed.
    varnelagent::pages::ModalDialog* live(varnelagent::PageKind kind) const {
        auto* dialog = shell_->current_dialog();
        return dialog && dialog->alive() && dialog->kind() == kind && dialog->host_window()->loaded() &&
                       dialog->placed()
                   ? dialog
                   : nullptr;
    }

    // A step that waits until the dialog is up (and has had a moment to draw itself) and
    // then does something with it.
    std::function<bool()> on_dialog(varnelagent::PageKind kind,
                                    std::function<void(varnelagent::pages::ModalDialog&)> action) {
        auto seen = std::make_shared<std::chrono::steady_clock::time_point>();
        return [this, kind, action, seen] {
            auto* dialog = live(kind);
            if (dialog == nullptr)
                return false;
            const auto now = std::chrono::steady_clock::now();
            if (*seen == std::chrono::steady_clock::time_point())
                *seen = now;
            if (now - *seen < std::chrono::milliseconds(400))
                return false;
            action(*dialog);
            return true;
        };
    }

    static std::function<bool()> pause(std::chrono::milliseconds time) {
        auto until = std::make_shared<std::chrono::steady_clock::time_point>();
        return [until, time] {
            const auto now = std::chrono::steady_clock::now();
            if (*until == std::chrono::steady_clock::time_point())
                *until = now + time;
            return now >= *until;
        };
    }

    void post_command(unsigned id) { varnelagent::post_command(shell_->handle(), id); }

    // What the dialog's document does when its button is pressed.
    static void answer(varnelagent::pages::ModalDialog& dialog, const Json::Value& value) {
        Json::Value args(Json::arrayValue);
        args.append(value);
        dialog.host_window()->call_script_async("view.dialog_result", args, nullptr);
    }

    template <typename T>
    bool ready(std::future<T>& future) {
        return pump_until([&] { return future.wait_for(std::chrono::seconds(0)) == std::future_status::ready; });
    }

    int page_kind() const {
        return shell_ && shell_->current_page() ? shell_->current_page()->kind() : -1;
    }

    // Waits until the page of that kind is current, its document loaded and its window shown.
    bool wait_page(int kind) {
        return pump_until([&] {
            auto* page = shell_->current_page();
            return page && page->kind() == kind && page->host_window()->loaded() && shell_->window().visible();
        });
    }

    void command(unsigned id) { shell_->on_command(id); }

    // Runs a script expression's function in the current page (dotted global name).
    Json::Value page_call(const std::string& name, const Json::Value& args = Json::Value(Json::arrayValue)) {
        return shell_->current_page()->call_script(name, args);
    }

    std::string artifact(const std::string& name) const {
        const char* directory = std::getenv("AGENT_ARTIFACT_DIR");
        const std::filesystem::path folder = directory != nullptr ? directory : "artifacts";
        std::filesystem::create_directories(folder);
        return (folder / name).string();
    }

    sandbox::Server& server() { return *server_; }

    std::filesystem::path runtime_;
    std::unique_ptr<sandbox::Server> server_;
    std::unique_ptr<varnelagent::WindowImpl> shell_;
    bool ended_ = false;
};

}  // namespace agent::testing
