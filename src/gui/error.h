#pragma once

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>

#include <json/value.h>

#include "gui/shell_messages.h"
#include "model/error_texts.h"
#include "winhttp/proxy.h"

// The program's error texts and the one way every page reports a failure: log it under a
// context name, then ask the window for the error dialog.
namespace varnelagent::error {

// The error texts and codes are the core's (model/error_texts.h), shared with the
// command-line front end.
using agent::error_text;
using agent::ErrorText;

using agent::ERROR_AUTHORIZATION;
using agent::ERROR_CANCELLED;
using agent::ERROR_CONNECTION;
using agent::ERROR_NO_KEY_CONTAINER;
using agent::ERROR_PRIVATE_KEY;
using agent::ERROR_PROXY;
using agent::ERROR_PROXY_CREDENTIALS;
using agent::ERROR_SESSION_EXPIRED;
using agent::ERROR_TOO_MANY_ATTEMPTS;
using agent::ERROR_UNKNOWN_EMAIL;
using agent::ERROR_WRONG_PASSWORD;
using agent::ERROR_WRONG_PIN;

// The exception's text (an agent::Exception's description(), a std::exception's what(),
// else "Unknown exception"), logged at ERROR as "<context> | <text>". Never throws.
std::wstring log_exception(std::exception_ptr exception, std::wstring_view context) noexcept;

// Each asks the window for a dialog (on_dialog_request, from the GUI thread or a worker) and
// returns the dialog's result: false when no dialog could be shown. show_error's text is
// shown as plain text (it may come from a server); the coded errors are the program's own
// HTML texts.
Json::Value show_error(const std::wstring& text, WindowHandle window);
Json::Value show_error_code(int code, WindowHandle window);
Json::Value show_proxy_error(const winhttp::ProxySettings& settings, WindowHandle window);
Json::Value show_credentials(WindowHandle window);
// Any dialog: the request is a document URL, or an object whose "page" names the document.
Json::Value request_dialog(const Json::Value& request, WindowHandle window);

// A failed agent API call: 401 shows code 5 and then posts Change user to the window, 407
// shows code 6, any other status shows the text.
Json::Value report_api_error(std::int32_t status, const std::wstring& text, WindowHandle window);

// The proxy record the scripts exchange: "mode", and for a named proxy "url", "port",
// "username", "password".
Json::Value proxy_to_value(const winhttp::ProxySettings& settings);
winhttp::ProxySettings proxy_from_value(const Json::Value& value);

}  // namespace varnelagent::error
