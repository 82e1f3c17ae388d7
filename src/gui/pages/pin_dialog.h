#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "crypto/pin_prompt.h"
#include "gui/shell_messages.h"

namespace varnelagent::pages {

// The certificate layer's PIN questions as a dialog of the shell ("res:pin.html", one of
// the message dialogs): asked from the task's thread, shown over the page's window by the
// GUI thread, answered when the user closes it. Closing the dialog is a cancelled PIN; a
// page that closes meanwhile ends the question as cancelled too. One object serves one
// task; it is not shared between threads.
class PinDialogPrompt : public agent::crypto::IPinPrompt {
public:
    enum class Purpose {
        Listing,  // a certificate file that cannot be listed without its PIN
        SignIn,   // the key of the certificate that signs in
    };

    PinDialogPrompt(WindowHandle window, Purpose purpose);

    std::optional<std::wstring> ask_pin(const agent::crypto::PinRequest& request) override;
    // While listing the user may try again: the next question says the PIN was wrong.
    bool pin_refused(const agent::crypto::PinRequest& request) override;

    // Which questions reach the user; the others are answered as cancelled at once.
    void set_filter(std::function<bool(const agent::crypto::PinRequest&)> filter) { filter_ = std::move(filter); }

    // Where the user closed the dialog (or the filter kept it closed), in the order asked.
    const std::vector<std::wstring>& declined() const noexcept { return declined_; }
    const std::vector<std::wstring>& asked() const noexcept { return asked_; }

    // The dialog's request for this question (the document and its properties).
    static Json::Value dialog_request(const agent::crypto::PinRequest& request, Purpose purpose, bool wrong);

private:
    WindowHandle window_;
    Purpose purpose_;
    std::function<bool(const agent::crypto::PinRequest&)> filter_;
    std::wstring refused_;  // the location whose last PIN was wrong
    std::vector<std::wstring> declined_;
    std::vector<std::wstring> asked_;
};

}  // namespace varnelagent::pages
