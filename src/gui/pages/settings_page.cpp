#include "gui/pages/settings_page.h"

#include <chrono>

#include "details/configuration.h"
#include "details/exception.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/registry.h"
#include "details/strings.h"
#include "gui/error.h"
#include "model/agent_client.h"
#include "model/channel_service.h"

namespace varnelagent::pages {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

constexpr wchar_t DESTRUCTOR[] = L"varnelagent::pages::SettingsPage::~SettingsPage";
constexpr wchar_t ON_UNLOAD_PAGE[] = L"varnelagent::pages::SettingsPage::on_unload_page";
constexpr wchar_t GET_CHANNELS[] = L"varnelagent::pages::SettingsPage::get_channels";
constexpr wchar_t TURN_CHANNEL[] = L"varnelagent::pages::SettingsPage::turn_channel";
constexpr wchar_t APPLY_SETTINGS[] = L"varnelagent::pages::SettingsPage::apply_settings";
constexpr wchar_t SAVE_PROXY[] = L"varnelagent::pages::SettingsPage::save_proxy";
constexpr wchar_t SET_AUTOLAUNCH[] = L"varnelagent::pages::SettingsPage::set_autolaunch";
constexpr wchar_t SET_DESKTOP_NOTIFICATIONS[] = L"varnelagent::pages::SettingsPage::set_desktop_notifications";

// The autolaunch entry's name among the per-user start-up entries.
constexpr wchar_t AUTOLAUNCH_VALUE_NAME[] = L"VarnelAgent";

Json::Value arguments(Json::Value value) {
    Json::Value args(Json::arrayValue);
    args.append(std::move(value));
    return args;
}

// What the user is told when the start-up entry did not follow the box.
std::wstring autolaunch_failure(bool enable) {
    const std::wstring file = agent::registry::autostart_file(agent::registry::RUN_KEY, AUTOLAUNCH_VALUE_NAME);
    if (enable)
        return L"Не удалось включить запуск Агента при включении компьютера: не записан файл «" + file + L"».";
    return L"Не удалось отключить запуск Агента при включении компьютера: не удалён файл «" + file + L"».";
}

}  // namespace

Json::Value channel_records(const std::vector<agent::Channel>& channels) {
    // std::wstring compares code by code, which orders the senders as their texts' code
    // points; inside a group the server's order stays.
    std::map<std::wstring, std::vector<const agent::Channel*>> groups;
    for (const agent::Channel& channel : channels)
        groups[channel.sender].push_back(&channel);
    Json::Value list(Json::arrayValue);
    for (const auto& [sender, members] : groups) {
        const agent::Channel& first = *members.front();
        Json::Value title(Json::objectValue);
        title["name"] = wide_to_utf8(first.sender_name);
        title["icon"] = icon_address(first.icon);
        list.append(std::move(title));
        for (const agent::Channel* channel : members) {
            Json::Value record(Json::objectValue);
            record["name"] = wide_to_utf8(channel->name);
            record["id"] = wide_to_utf8(channel->id);
            record["group"] = wide_to_utf8(channel->group);
            record["enabled"] = channel->enabled;
            list.append(std::move(record));
        }
    }
    return list;
}

SettingsPage::SettingsPage(agent::AgentClient* client) : BasePage(client) {
    add_functions();
}

SettingsPage::~SettingsPage() {
    closing_ = true;
    try {
        tasks_.close();
    } catch (...) {
        error::log_exception(std::current_exception(), DESTRUCTOR);
    }
    // The document is going away with the page: its open calls are rejected.
    replies_.clear();
}

bool SettingsPage::on_unload_page() {
    if (!attached())
        return true;
    // A second way out taken while the question is being asked (a page link queued before
    // the dialog appeared) is refused: the open question decides, and it is asked once.
    if (asking_)
        return false;
    const std::weak_ptr<int> alive = alive_;
    bool changed = false;
    try {
        const Json::Value answer = call_script("settings.changed");
        changed = answer.isBool() && answer.asBool();
    } catch (...) {
        // A document that cannot answer has nothing the user could keep.
        error::log_exception(std::current_exception(), ON_UNLOAD_PAGE);
    }
    if (changed) {
        // The question is a dialog of its own, with its own loop: the user may take their
        // time over it, and nothing waits on the document meanwhile.
        asking_ = true;
        const bool may_leave = save_proxy();
        // The program may have been ended while the question was open.
        if (alive.expired())
            return false;
        asking_ = false;
        if (!may_leave)
            return false;
    }
    return BasePage::on_unload_page();
}

bool SettingsPage::may_release() {
    if (!attached() || asking_)
        return !asking_;
    try {
        const Json::Value changed = call_script("settings.changed");
        return changed.isBool() && !changed.asBool();
    } catch (...) {
        // A document that cannot say is kept: what it holds may be the user's.
        error::log_exception(std::current_exception(), L"varnelagent::pages::SettingsPage::may_release");
        return false;
    }
}

void SettingsPage::on_silent_mode(bool enabled) {
    call_script_async("settings.set_silent_mode", arguments(enabled));
}

void SettingsPage::add_functions() {
    add_script_function("get_settings", [this](const Json::Value&) { return get_settings(); });
    add_script_function("get_channels", [this](const Json::Value& args) {
        get_channels(args);
        return Json::Value();
    });
    add_script_function("turn_channel", [this](const Json::Value& args) {
        turn_channel(args);
        return Json::Value();
    });
    add_script_function("apply_settings", [this](const Json::Value& args) {
        const bool save = is_true(args[0]);
        answer_later(APPLY_SETTINGS, [this, save] { return apply_settings(save); });
        return Json::Value();
    });
    add_script_function("set_silent_mode", [this](const Json::Value&) {
        // The window flips the flag, sets the tray's check mark and tells this page the new
        // state; the argument is not read, so each call flips once.
        if (shell_owner() != nullptr)
            shell_owner()->on_command(ID_SILENT_MODE);
        return Json::Value();
    });
    add_script_function("set_autolaunch", [this](const Json::Value& args) { return set_autolaunch(args); });
    add_script_function("set_desktop_notifications",
                        [this](const Json::Value& args) { return set_desktop_notifications(args); });
}

Json::Value SettingsPage::get_settings() const {
    const auto& configuration = client().configuration();
    Json::Value settings(Json::objectValue);
    settings["autolaunch"] = configuration->is_autolaunch();
    settings["silentMode"] = configuration->silent_mode;
    settings["desktopNotifications"] = configuration->desktop_notifications;
    settings["proxy"] = error::proxy_to_value(configuration->proxy);
    return settings;
}

void SettingsPage::get_channels(const Json::Value& args) {
    const engine::ScriptCallback end = host_window()->callback(args[0]);
    const engine::ScriptCallback items = host_window()->callback(args[1]);
    const WindowHandle window = window_handle();
    tasks_.start({GET_CHANNELS,
                  // Task thread, task lock held.
                  [this, end, items] {
                      const Json::Value list = channel_records(client().channel_service().user_channels());
                      tasks_.callback(items, arguments(list));
                      tasks_.callback(end, arguments(true));
                  },
                  [this, end] { tasks_.callback(end, arguments(false)); },
                  // Task thread, after the lock: a transport failure only shows the
                  // document's no-connection picture, whose click tries again.
                  [window](std::exception_ptr failure) {
                      try {
                          std::rethrow_exception(failure);
                      } catch (const agent::WinHttpException& e) {
                          AGENT_ERROR(GET_CHANNELS) << e.description();
                      } catch (const agent::AgentApiException& e) {
                          AGENT_ERROR(GET_CHANNELS) << e.description();
                          error::report_api_error(e.status(), e.message(), window);
                      } catch (...) {
                          error::show_error(error::log_exception(std::current_exception(), GET_CHANNELS), window);
                      }
                  }});
}

void SettingsPage::turn_channel(const Json::Value& args) {
    const std::wstring id = utf8_to_wide(string_of(args[0]));
    const bool state = is_true(args[1]);
    const ReplyId reply = keep_reply(engine::defer_reply());
    if (id.empty()) {
        AGENT_ERROR(TURN_CHANNEL) << "No channel id";
        settle(reply, false);
        return;
    }
    const WindowHandle window = window_handle();
    // Off becomes on and on becomes off: the document sends the state before the click.
    tasks_.start({TURN_CHANNEL,
                  // Task thread, task lock held.
                  [this, id, state, reply] {
                      client().channel_service().change_status(id, !state);
                      tasks_.on_gui_thread([this, reply] { settle(reply, true); });
                  },
                  nullptr,
                  // Task thread, after the lock: the dialog first, then the refusal, so the
                  // switch stays as it was.
                  [this, window, reply](std::exception_ptr failure) {
                      try {
                          std::rethrow_exception(failure);
                      } catch (const agent::WinHttpException& e) {
                          AGENT_ERROR(TURN_CHANNEL) << e.description();
                          error::show_error_code(error::ERROR_PROXY, window);
                      } catch (const agent::AgentApiException& e) {
                          AGENT_ERROR(TURN_CHANNEL) << e.description();
                          error::report_api_error(e.status(), e.message(), window);
                      } catch (...) {
                          error::log_exception(std::current_exception(), TURN_CHANNEL);
                      }
                      tasks_.on_gui_thread([this, reply] { settle(reply, false); });
                  }});
}

bool SettingsPage::set_autolaunch(const Json::Value& args) {
    const bool enable = is_true(args[0]);
    const auto& configuration = client().configuration();
    configuration->set_autolaunch(enable);
    const bool enabled = configuration->is_autolaunch();
    if (enabled != enable) {
        const std::wstring text = autolaunch_failure(enable);
        AGENT_ERROR(SET_AUTOLAUNCH) << text;
        // After this call has been answered: the dialog runs a loop of its own.
        post_on_gui_thread([text, window = window_handle()] { error::show_error(text, window); }, SET_AUTOLAUNCH);
    }
    // The box shows what the desktop will do at the next logon.
    return enabled;
}

bool SettingsPage::set_desktop_notifications(const Json::Value& args) {
    const bool enable = is_true(args[0]);
    const auto& configuration = client().configuration();
    const bool before = configuration->desktop_notifications;
    configuration->desktop_notifications = enable;
    try {
        configuration->save();
    } catch (const agent::SystemException& e) {
        // The choice holds only once it is in the file: the next start would not know it.
        configuration->desktop_notifications = before;
        error::log_exception(std::current_exception(), SET_DESKTOP_NOTIFICATIONS);
        const std::wstring file = agent::details::path::join(configuration->path, L"config");
        const std::wstring text =
            L"Не удалось сохранить настройку: не удалось записать файл «" + file + L"» (" + e.message() + L").";
        post_on_gui_thread([text, window = window_handle()] { error::show_error(text, window); },
                           SET_DESKTOP_NOTIFICATIONS);
    }
    return configuration->desktop_notifications;
}

bool SettingsPage::apply_settings(bool save) {
    const WindowHandle window = window_handle();
    const std::weak_ptr<int> alive = alive_;
    try {
        const Json::Value record = call_script("settings.get_proxy_settings");
        if (alive.expired())
            return false;
        // Without an answer there is nothing to apply (read as a record it would mean a
        // direct connection).
        if (!record.isObject())
            throw engine::EngineException(L"The page gave no proxy settings");
        client().set_proxy(error::proxy_from_value(record));
    } catch (...) {
        error::show_error(error::log_exception(std::current_exception(), APPLY_SETTINGS), window);
        return false;
    }
    if (!save)
        return true;
    const auto& configuration = client().configuration();
    try {
        configuration->save();
        return true;
    } catch (const agent::SystemException& e) {
        // The proxy is in use until the program ends; the form keeps its changes, so
        // leaving the page asks again.
        error::log_exception(std::current_exception(), APPLY_SETTINGS);
        const std::wstring file = agent::details::path::join(configuration->path, L"config");
        error::show_error(L"Настройки прокси применены, но не сохранены: не удалось записать файл «" + file + L"» (" +
                              e.message() + L").",
                          window);
    } catch (...) {
        error::show_error(error::log_exception(std::current_exception(), APPLY_SETTINGS), window);
    }
    return false;
}

bool SettingsPage::save_proxy() {
    const std::weak_ptr<int> alive = alive_;
    const WindowHandle window = window_handle();
    try {
        Json::Value question(Json::objectValue);
        question["page"] = "res:save.html";
        // A question closed without an answer keeps the page, however it was closed.
        const std::optional<Json::Value> answer = request_dialog_on(window, question);
        if (!answer) {
            AGENT_ERROR(SAVE_PROXY) << "The question about the changed proxy settings could not be shown";
            return false;
        }
        if (alive.expired() || !answer->isBool())
            return false;
        if (!answer->asBool())
            return true;
        // The document shows what is wrong under the fields.
        const Json::Value valid = call_script("settings.validate_proxy");
        if (alive.expired() || !(valid.isBool() && valid.asBool()))
            return false;
        return apply_settings(true);
    } catch (...) {
        error::show_error(error::log_exception(std::current_exception(), SAVE_PROXY), window);
        return false;
    }
}

void SettingsPage::answer_later(const wchar_t* context, std::function<bool()> work) {
    const ReplyId reply = keep_reply(engine::defer_reply());
    const std::weak_ptr<int> alive = alive_;
    post_on_gui_thread(
        [this, alive, reply, work = std::move(work)] {
            if (alive.expired() || closing())
                return;
            const bool result = work();
            // The work may have run a dialog during which the page went away.
            if (!alive.expired())
                settle(reply, result);
        },
        context);
}

SettingsPage::ReplyId SettingsPage::keep_reply(engine::DeferredReply reply) {
    const ReplyId id = ++next_reply_;
    replies_.emplace(id, std::move(reply));
    return id;
}

void SettingsPage::settle(ReplyId id, bool result) {
    const auto found = replies_.find(id);
    if (found == replies_.end())
        return;
    engine::DeferredReply reply = std::move(found->second);
    replies_.erase(found);
    reply.resolve(Json::Value(result));
}

}  // namespace varnelagent::pages
