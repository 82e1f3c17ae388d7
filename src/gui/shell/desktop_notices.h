#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "model/message.h"

namespace winhttp {
class SimpleClient;
}

namespace varnelagent {

// New messages handed to the desktop's notification centre (org.freedesktop.Notifications
// on the session bus) instead of the popup, and the desktop's do-not-disturb state.
//
// At most MAX_SINGLE messages have a notice of their own at a time (the newest of a batch
// get them); every further message joins one grouped notice ("N новых уведомлений") that
// is updated in place. A notice's title is the sender, its body the subject and the first
// line of the text as plain text; its image the message's icon when it comes within
// ICON_WAIT, else the program's icon. Actions: "Открыть" (messages with a link), "Прочитано",
// and the notice itself (the list).
//
// Nothing here waits for the service: every call is asynchronous with CALL_TIMEOUT, and
// whatever the service does not take (absent, an error, no answer in time, or gone while
// its notices were open) comes back through `refused`, so the caller can show the popup
// instead. GUI thread only; the callbacks are called on the GUI thread from the main loop,
// never from inside show() or withdraw().
class DesktopNotices {
public:
    static constexpr std::size_t MAX_SINGLE = 3;
    static constexpr int CALL_TIMEOUT_MS = 2500;
    static constexpr int ICON_WAIT_MS = 1500;

    struct Handlers {
        std::function<void(std::vector<agent::Message>)> refused;
        std::function<void(const agent::Message&)> open;
        std::function<void(const std::wstring& id)> read;
        std::function<void()> show_list;
    };

    // Icons are fetched through the program's HTTP client, with the session header for the
    // agent API's own origin only.
    DesktopNotices(Handlers handlers, std::weak_ptr<winhttp::SimpleClient> http, std::wstring api_base);
    // Gives up the calls on their way and ends the icon fetches (promptly: they are
    // cancelled). The notices on the desktop stay; withdraw_all() first to take them away.
    ~DesktopNotices();
    DesktopNotices(const DesktopNotices&) = delete;
    DesktopNotices& operator=(const DesktopNotices&) = delete;

    // A batch of new messages, in arrival order. A message that already has a notice is
    // not shown twice.
    void show(const std::vector<agent::Message>& messages, const std::wstring& session_id);
    // The message was read: its notice goes, or the grouped notice counts one less.
    void withdraw(const std::wstring& id);
    // Every notice goes (the user signs out, the program ends).
    void withdraw_all();
    // Sends what is queued on the bus now (before the program ends).
    void flush();

    // The desktop asks for quiet: the service's `Inhibited` property, or GNOME's
    // "show-banners" turned off.
    bool inhibited() const;

    struct Core;

private:
    std::shared_ptr<Core> core_;
};

}  // namespace varnelagent
