#pragma once

#include <chrono>
#include <memory>
#include <string>

#include "model/uri_service.h"
#include "winhttp/proxy.h"

typedef struct _GtkWindow GtkWindow;
typedef struct _WebKitWebView WebKitWebView;

namespace varnelagent {

// The agent's own browser window, where the links of the pages and of the tray open: a
// normal decorated window with back, forward and reload, the page's title and address, and
// a button that hands the page to the desktop's browser.
//
// Its web context is its own, never the pages' one: no script bridge, no res: scheme and no
// page policy in a remote page. The context keeps a persistent cookie store under the user's
// data directory, which is where the link service writes the sign-in cookies, so the
// provider's services open signed in. Server certificates are verified as everywhere else
// in the program: the system's trust store, plus the configured extra CA file; a
// certificate that does not verify shows an error page instead of the content.
//
// Cookie work is asynchronous in the page engine; it is queued, and a page asked for is
// loaded only once the queue is empty, so the cookies are in the store before the request
// goes out. Nothing here waits in a nested loop. GUI thread only (calls from another
// thread are carried over to it).
class BrowserWindow : public agent::IBrowser {
public:
    struct Options {
        // Site data and the cookie store ("cookies.sqlite"); created with mode 0700.
        std::wstring data_directory;
        std::wstring cache_directory;
        // PEM file of an extra CA whose server certificates are trusted too (a stand-in
        // provider's own); empty for none.
        std::wstring ca_file;
        // Where "open in the desktop's browser" sends the page; XdgOpenBrowser when empty.
        std::shared_ptr<agent::IBrowser> desktop;
        // The agent's own proxy settings, which the pages go through as well.
        winhttp::ProxySettings proxy;
        // A persistent store (in data_directory), or an ephemeral one.
        bool remembered = true;
    };

    // The store is opened on first use, not here.
    explicit BrowserWindow(Options options);
    // Closes the window. Cookie work still queued is given up.
    ~BrowserWindow() override;
    BrowserWindow(const BrowserWindow&) = delete;
    BrowserWindow& operator=(const BrowserWindow&) = delete;

    // Parses `name=data` as a Set-Cookie header for the URL and queues it for the store.
    // False when the engine cannot start or the cookie is refused (a domain that does not
    // cover the URL, unparsable data). A secure cookie for a loopback address is kept
    // sendable over plain HTTP, as browsers treat loopback as a secure origin.
    bool set_cookie(const std::wstring& url, const std::wstring& name, const std::wstring& data) override;

    // Shows the window (the first link makes it, later ones reuse it) and loads the URL once
    // the queued cookie work is done. False when no window can be made (no display) or the
    // address is not http(s).
    bool open(const std::wstring& url) override;

    // Sign-out: closes the window (what it shows belongs to the user who leaves) and removes
    // everything the provider's sites stored (cookies, local storage, caches), so the next
    // person at the desk is signed in nowhere.
    void sign_out();

    // Without "Запомнить" the store is the engine's ephemeral one: nothing of the sites
    // reaches the disk. A change takes effect with the next page (the window closes).
    void set_remembered(bool remembered) override;

    // Closes the window; the next link makes a new one.
    void close();

    // The agent's proxy settings changed: the pages opened from now on go through these. A
    // named proxy gets its credentials when it asks for them (407); a proxy the desktop
    // chose (DefaultProxy) never gets the agent's.
    void set_proxy(const winhttp::ProxySettings& proxy) override;

    // Whether cookie work is queued or running (tests wait for it with a loop of their own).
    bool busy() const;

    // The window and its view while the window is open, else nullptr.
    GtkWindow* gtk_window() const;
    WebKitWebView* web_view() const;
    // What the window shows: the header's title and address.
    std::string title() const;
    std::string address() const;

    struct State;

private:
    static void apply_remembered(State& state, bool remembered);

    std::shared_ptr<State> state_;
};

}  // namespace varnelagent
