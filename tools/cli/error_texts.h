#pragma once

#include <exception>
#include <string>

#include "model/error_texts.h"

namespace agent::cli {

// The agent's error text of a code (any code outside 0 to 11 is the unexpected error) as
// plain text for a terminal: title, ": ", message; the dialog's line breaks become blanks,
// its web links "text (address)", and links to the windows' own pages are left out.
std::wstring error_code_text(int code);

// SignIn: a 401 means the credentials were refused; Call: the saved session has expired.
using Context = ErrorContext;

struct UserError {
    std::wstring text;
    // The saved session is no longer valid: the caller signs out.
    bool session_expired = false;
};

// What the user is told about a failure: the windows' choice (agent::choose_error) in
// words, with the technical detail in brackets where the text alone does not say what
// went wrong.
UserError describe_error(const std::exception_ptr& error, Context context);

}  // namespace agent::cli
