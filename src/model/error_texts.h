#pragma once

#include <exception>
#include <string>
#include <string_view>

// The program's error texts by code, and the one decision of what the user is shown for a
// failure. The windows show the texts in the error dialog (HTML fragments); the
// command-line front end writes them out as plain text.
namespace agent {

inline constexpr int ERROR_CONNECTION = 0;
inline constexpr int ERROR_UNKNOWN_EMAIL = 1;
inline constexpr int ERROR_WRONG_PASSWORD = 2;
inline constexpr int ERROR_AUTHORIZATION = 3;
inline constexpr int ERROR_PROXY = 4;
inline constexpr int ERROR_SESSION_EXPIRED = 5;
inline constexpr int ERROR_PROXY_CREDENTIALS = 6;
inline constexpr int ERROR_PRIVATE_KEY = 7;
inline constexpr int ERROR_NO_KEY_CONTAINER = 8;
inline constexpr int ERROR_CANCELLED = 9;
inline constexpr int ERROR_WRONG_PIN = 10;
inline constexpr int ERROR_TOO_MANY_ATTEMPTS = 11;

// Title and HTML message of an error code; codes outside 0 to 11 give the generic pair
// ("Произошла ошибка", "Непредвиденная ошибка"). Links are anchors: http(s) addresses of
// the provider's sites, or a page of the program ("settings.htm").
struct ErrorText {
    std::wstring_view title;
    std::wstring_view message;
};
ErrorText error_text(int code) noexcept;

// An exception's text as the log and the dialogs give it: an agent::Exception's
// description(), a std::exception's what(), else "Unknown exception". Never throws for the
// exception it is given (out of memory gives an empty text).
std::wstring exception_text(const std::exception_ptr& error) noexcept;

// Where the failure happened: signing in (a 401 is a refusal of the credentials, a
// transport failure may be the proxy's) or a call of a signed-in session (a 401 means the
// session has expired).
enum class ErrorContext { SignIn, Call };

enum class ErrorAction {
    Code,            // the code's title and message
    Text,            // `text` under the title of code 3
    ProxyError,      // sign-in could not reach the server: code 0's texts and the proxy form
    Credentials,     // the proxy wants credentials (407 at sign-in): the credentials form
    SessionExpired,  // code 5, then the user is signed out
};

struct ErrorChoice {
    ErrorAction action = ErrorAction::Text;
    int code = ERROR_AUTHORIZATION;  // whose title (and, but for Text, message) is shown
    std::wstring text;               // Text: the failure's own text
    // The failure's own description where the code's text does not say what went wrong
    // (transport and unknown key failures); empty otherwise. For the log or a terminal.
    std::wstring detail;
};

// The reaction of the windows to a failure, for both front ends:
//  - transport failure (WinHttpException): sign-in ProxyError, a call code 4;
//  - API error (AgentApiException) by status: 407 sign-in Credentials, a call code 6;
//    401 sign-in code 3, a call SessionExpired; 0 (error codes without a status): the
//    first code "UserNotFound" 1, "BadPassword" 2, "TooManyIncorrectAttempts" 11, any
//    other the error's text; any other status the error's text;
//  - key failure (CryptoException): no matching key 8, wrong PIN 10, PIN entry cancelled
//    9, anything else 7;
//  - anything else: exception_text() as Text.
ErrorChoice choose_error(const std::exception_ptr& error, ErrorContext context);

}  // namespace agent
