#include "gui/pages/pin_dialog.h"

#include "details/logger.h"
#include "details/strings.h"
#include "gui/error.h"

namespace varnelagent::pages {

using agent::details::utf8_to_wide;
using agent::details::wide_to_utf8;

namespace {

std::wstring file_name(const std::wstring& path) {
    const std::size_t slash = path.rfind(L'/');
    return slash == std::wstring::npos ? path : path.substr(slash + 1);
}

}  // namespace

PinDialogPrompt::PinDialogPrompt(WindowHandle window, Purpose purpose) : window_(window), purpose_(purpose) {}

Json::Value PinDialogPrompt::dialog_request(const agent::crypto::PinRequest& request, Purpose purpose, bool wrong) {
    Json::Value value(Json::objectValue);
    value["page"] = "res:pin.html";
    value["purpose"] = purpose == Purpose::Listing ? "listing" : "sign-in";
    value["holder"] = wide_to_utf8(request.holder);
    value["file"] = wide_to_utf8(file_name(request.location));
    value["wrong"] = wrong;
    return value;
}

std::optional<std::wstring> PinDialogPrompt::ask_pin(const agent::crypto::PinRequest& request) {
    if (filter_ && !filter_(request)) {
        declined_.push_back(request.location);
        return std::nullopt;
    }
    const bool wrong = !refused_.empty() && refused_ == request.location;
    refused_.clear();
    asked_.push_back(request.location);
    Json::Value answer;
    try {
        answer = error::request_dialog(dialog_request(request, purpose_, wrong), window_);
    } catch (const HandOverCancelled&) {
        // The page is closing: nobody is there to answer, and nothing is remembered.
        return std::nullopt;
    }
    const Json::Value* pin = answer.isObject() ? answer.find("pin", "pin" + 3) : nullptr;
    if (pin == nullptr || !pin->isString()) {
        AGENT_INFO(L"varnelagent::pages::PinDialogPrompt::ask_pin") << "No PIN given for " << request.location;
        declined_.push_back(request.location);
        return std::nullopt;
    }
    return utf8_to_wide(pin->asString());
}

bool PinDialogPrompt::pin_refused(const agent::crypto::PinRequest& request) {
    AGENT_INFO(L"varnelagent::pages::PinDialogPrompt::pin_refused") << "Wrong PIN for " << request.location;
    if (purpose_ != Purpose::Listing)
        return false;
    refused_ = request.location;
    return true;
}

}  // namespace varnelagent::pages
