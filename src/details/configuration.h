#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "details/proxy_settings.h"

namespace agent {

// Deployment addresses used when the file "config" names none.
inline constexpr wchar_t DEFAULT_AGENT_URI[] = L"https://agent.varnel.example/api";
inline constexpr wchar_t DEFAULT_AUTH_URI[] = L"https://login.varnel.example/auth";
inline constexpr wchar_t DEFAULT_INSTRUCTION_URI[] = L"http://help.varnel.example/support/faq/40/565";

// Name of the autolaunch value (the XDG autostart entry "varnel-agent.desktop").
inline constexpr wchar_t AUTOLAUNCH_VALUE_NAME[] = L"VarnelAgent";

// The process-wide settings. Pages assign the fields on the GUI thread and call save();
// services read the addresses, the client id and the proxy when they set up requests.
class IConfiguration {
public:
    virtual ~IConfiguration() = default;

    virtual bool is_autolaunch() = 0;
    virtual void set_autolaunch(bool enabled) = 0;
    // Writes the file "config" whole. Throws SystemException naming the failed call.
    virtual void save() = 0;
    virtual void reset_silent_mode() = 0;

    std::wstring path;  // data directory, with a trailing "/"
    std::wstring client;
    std::wstring uri;
    std::wstring auth_uri;
    std::wstring instruction;
    std::wstring last_email;
    ProxySettings proxy;
    // An extra CA certificate file trusted besides the system store (a local stand-in
    // provider's own CA). Key "ca_file"; written only when set.
    std::wstring ca_file;
    // Seconds without a byte on the message stream after which it reconnects; 0 keeps the
    // program's limit (MessageService::SILENCE_LIMIT). Key "stream_silence_limit", a whole
    // number from 1 to 86400; written only when set, so files without it stay as they are.
    std::uint32_t stream_silence_limit = 0;
    bool silent_mode = false;
    // New messages go to the desktop's notification centre instead of the popup. Key
    // "desktop_notifications" with the value 1, written only when on, so files without it
    // read as before.
    bool desktop_notifications = false;
    bool first_run = false;
    // The proxy password lives in the desktop's keyring (a Secret Service runs): "config"
    // holds the proxy's user, never its password then.
    bool proxy_password_in_keyring = false;
    // Whether secrets may go to the desktop's keyring at all. Key "secret_store" with the
    // value "file" turns it off (a throw-away demo on someone's desktop); written only then.
    bool use_keyring = true;
};

class ConfigurationKeyValue : public IConfiguration {
public:
    // Reads "config" in the directory (created 0700 when missing), fills in defaults,
    // creates and installs the process logger and logs the effective values.
    static std::shared_ptr<ConfigurationKeyValue> load(const std::wstring& directory);

    bool is_autolaunch() override;
    void set_autolaunch(bool enabled) override;
    void save() override;
    void reset_silent_mode() override;

    // The whole text save() writes.
    std::string serialize() const;
    // Applies the "key = value" lines of a file's text: keys trimmed and compared in lower
    // case, the value after the first "=" trimmed, unknown keys and lines without "="
    // skipped, a later line winning. A value that cannot be used (a "log_enabled" that is no
    // number, a "stream_silence_limit" out of range) is left out, the default stays, and
    // load() logs one WARN naming the key: one bad line never stops the program.
    void read(std::string_view text);

    // The keys whose values read() left out, with the values, in the order met.
    const std::vector<std::pair<std::wstring, std::wstring>>& rejected() const noexcept { return rejected_; }

    bool log_enabled = true;
    std::wstring log_path;
    std::wstring log_level;
    bool log_defaults = true;

private:
    // Puts the proxy password into the keyring when one runs (the first start after an
    // update moves one found in the file), or takes it from there.
    void keep_proxy_password();
    // What the keyring holds now, so that a save stores the password only when it changed.
    struct KeptProxy {
        std::wstring url, user, password;
        bool operator==(const KeptProxy&) const = default;
    };
    std::optional<KeptProxy> kept_proxy_;
    std::vector<std::pair<std::wstring, std::wstring>> rejected_;
};

// 8-4-4-4-12 lower-case hex digits from MT19937 seeded with the seed (whole seconds): how
// earlier versions made the id.
std::wstring generate_client_id(std::uint32_t seed);

// The same form from the system's random source (getrandom): what a new installation gets.
std::wstring random_client_id();

}  // namespace agent
