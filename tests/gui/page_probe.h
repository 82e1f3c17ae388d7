#pragma once

#include <string>

#include <json/value.h>

typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

// Looking into a window's document from a test, and acting on it as a person does: an
// expression evaluated in the page (its value through JSON), a real pointer click on an
// element, a picture of the whole window as the screen shows it.
namespace agent::testing {

// The expression's value; null when it throws (a failure unless `polling`: while a
// document is being replaced an evaluation may fail).
Json::Value evaluate(WebKitWebView* view, const std::string& expression, bool polling = false);

// Evaluates until the expression is true or the time is up.
bool wait_true(WebKitWebView* view, const std::string& expression, int seconds = 15);

// The text as a JavaScript string literal.
std::string quoted(const std::string& text);

// Moves the pointer to the middle of the first element matching the selector and clicks
// with the main button (XTest). Returns without waiting for what the click does. False
// when there is no such element.
bool click_element(GtkWindow* window, WebKitWebView* view, const std::string& selector);

// The window as it is on the screen, title bar and all, into a PNG file.
void snapshot_window(GtkWindow* window, const std::string& path);

}  // namespace agent::testing
