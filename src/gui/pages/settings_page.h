#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <vector>

#include "gui/pages/base_page.h"
#include "gui/pages/page_task.h"

namespace agent {
struct Channel;
}

namespace varnelagent::pages {

// The user's settings: autolaunch, silent mode, the desktop's notification centre, the
// notification channels (kept on the server) and the proxy. The proxy form's changes stay in the document until they are
// applied: when the page is left ("Сохранить изменения?" answered "Да") or, without being
// saved, before the channel list is tried again. GUI thread unless said otherwise.
class SettingsPage : public BasePage {
public:
    explicit SettingsPage(agent::AgentClient* client);
    // Ends the page's tasks first; answers still owed to the document are dropped.
    ~SettingsPage() override;

    PageKind kind() const override { return SETTINGS_PAGE; }
    std::string start_url() const override { return "res:settings.htm"; }

    // Unsaved proxy changes (the document's settings.changed()) are asked about in the
    // save question; then the check every page makes. False keeps the page.
    bool on_unload_page() override;
    // Not while the proxy choice or the custom proxy's fields were changed and not saved.
    bool may_release() override;

    // The tray's silent mode changed; the page's box follows.
    void on_silent_mode(bool enabled) override;

private:
    void add_functions();
    using ReplyId = std::uint64_t;

    Json::Value get_settings() const;
    void get_channels(const Json::Value& args);
    void turn_channel(const Json::Value& args);
    bool set_autolaunch(const Json::Value& args);
    bool set_desktop_notifications(const Json::Value& args);
    bool apply_settings(bool save);
    bool save_proxy();
    // Runs the function on the GUI thread after the script call has been answered (it may
    // run a dialog or wait for the document, which must not happen inside the call) and
    // settles the call's Promise with its result.
    void answer_later(const wchar_t* context, std::function<bool()> work);

    // Script calls answered later are kept here, on the GUI thread, until they are settled.
    ReplyId keep_reply(engine::DeferredReply reply);
    void settle(ReplyId id, bool result);

    std::map<ReplyId, engine::DeferredReply> replies_;
    ReplyId next_reply_ = 0;
    // The save question is being asked: another attempt to leave waits for its answer.
    bool asking_ = false;
    // Work queued on the GUI thread checks this before it touches the page.
    std::shared_ptr<int> alive_ = std::make_shared<int>(0);
    PageTasks tasks_;
};

// The channel list of the document: the channels grouped by sender, the groups in
// ascending order of the sender text, each group a title record (its first channel's
// sender name and icon) followed by its channels in the order of the server's answer.
Json::Value channel_records(const std::vector<agent::Channel>& channels);

}  // namespace varnelagent::pages
