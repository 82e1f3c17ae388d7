#pragma once

#include <exception>
#include <string>

namespace agent::cli {

// The agent's error texts by code (0 to 11; any other code is the unexpected error), as
// plain text for a terminal: title, ": ", message, with the dialog's links written out.
std::wstring error_code_text(int code);

enum class Context {
    SignIn,  // a 401 means the credentials were refused
    Call,    // a 401 means the saved session has expired
};

struct UserError {
    std::wstring text;
    // The saved session is no longer valid: the caller signs out.
    bool session_expired = false;
};

// What the user is told about a failure, chosen the way the agent's windows choose it:
// transport errors, the server's error codes, HTTP 401 and 407, certificate key errors;
// anything else gives its own text.
UserError describe_error(const std::exception_ptr& error, Context context);

}  // namespace agent::cli
