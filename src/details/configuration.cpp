#include "details/configuration.h"

#include <sys/random.h>

#include <cerrno>
#include <ctime>
#include <exception>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <stdexcept>

#include <fmt/format.h>
#include <fmt/xchar.h>

#include "details/exception.h"
#include "details/io.h"
#include "details/keyring.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/registry.h"
#include "details/strings.h"

namespace agent {

namespace {

using namespace agent::details;

constexpr wchar_t BLANKS[] = L" \t\f\v\n\r";

std::wstring trim(const std::wstring& text) {
    const auto first = text.find_first_not_of(BLANKS);
    if (first == std::wstring::npos)
        return {};
    const auto last = text.find_last_not_of(BLANKS);
    return text.substr(first, last - first + 1);
}

// A whole number as std::stoi reads it (leading blanks and digits, anything after them
// ignored); nothing when there is no number or it does not fit.
std::optional<int> parse_int(const std::wstring& value) {
    try {
        return std::stoi(value);
    } catch (const std::logic_error&) {
        return std::nullopt;
    }
}

// A whole number of seconds from 1 to a day; 0 for anything else.
std::uint32_t parse_silence_limit(const std::wstring& value) {
    if (value.empty() || value.size() > 5 || value.find_first_not_of(L"0123456789") != std::wstring::npos)
        return 0;
    const unsigned long seconds = std::stoul(value);
    return seconds >= 1 && seconds <= 86400 ? static_cast<std::uint32_t>(seconds) : 0;
}

// False when the value cannot be used (the default stays).
bool apply(ConfigurationKeyValue& config, const std::wstring& key, const std::wstring& value) {
    if (key == L"uri")
        config.uri = value;
    else if (key == L"auth_uri")
        config.auth_uri = value;
    else if (key == L"client")
        config.client = value;
    else if (key == L"proxy_mode")
        config.proxy.mode = proxy_mode_from_name(value);
    else if (key == L"proxy_uri")
        config.proxy.url = value;
    else if (key == L"proxy_user")
        config.proxy.user = value;
    else if (key == L"proxy_password")
        config.proxy.password = value;
    else if (key == L"log_enabled") {
        const std::optional<int> number = parse_int(value);
        if (!number)
            return false;
        config.log_enabled = *number != 0;
        config.log_defaults = false;
    } else if (key == L"log_path") {
        config.log_path = value;
        config.log_defaults = false;
    } else if (key == L"log_level") {
        config.log_level = value;
        config.log_defaults = false;
    } else if (key == L"instruction")
        config.instruction = value;
    else if (key == L"last_email")
        config.last_email = value;
    else if (key == L"ca_file")
        config.ca_file = value;
    else if (key == L"desktop_notifications")
        config.desktop_notifications = value == L"1";
    else if (key == L"secret_store")
        config.use_keyring = value != L"file";
    return true;
}

void read_file_lines(ConfigurationKeyValue& config, const std::wstring& file) {
    std::ifstream input(wide_to_utf8(file), std::ios::binary);
    if (!input)
        return;
    const std::string text((std::istreambuf_iterator<char>(input)), std::istreambuf_iterator<char>());
    config.read(text);
}

}  // namespace

void ConfigurationKeyValue::read(std::string_view file_text) {
    std::size_t start = 0;
    while (start < file_text.size()) {
        std::size_t end = file_text.find('\n', start);
        if (end == std::string_view::npos)
            end = file_text.size();
        const std::wstring text = utf8_to_wide(file_text.substr(start, end - start));
        start = end + 1;
        const auto equals = text.find(L'=');
        if (equals == std::wstring::npos)
            continue;
        const std::wstring key = to_lower_ascii(trim(text.substr(0, equals)));
        const std::wstring value = trim(text.substr(equals + 1));
        std::erase_if(rejected_, [&key](const auto& entry) { return entry.first == key; });
        if (key == L"stream_silence_limit") {
            stream_silence_limit = parse_silence_limit(value);
            if (stream_silence_limit == 0)
                rejected_.emplace_back(key, value);
            continue;
        }
        if (!apply(*this, key, value))
            rejected_.emplace_back(key, value);
    }
}

std::wstring random_client_id() {
    std::uint8_t bytes[16];
    std::size_t got = 0;
    while (got < sizeof bytes) {
        const ssize_t n = ::getrandom(bytes + got, sizeof bytes - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw SystemException(errno, "getrandom");
        got += static_cast<std::size_t>(n);
    }
    std::wstring text;
    for (std::size_t i = 0; i < sizeof bytes; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text += L'-';
        text += fmt::format(L"{:02x}", bytes[i]);
    }
    return text;
}

std::wstring generate_client_id(std::uint32_t seed) {
    std::mt19937 engine(seed);
    std::wstring groups[8];
    for (auto& group : groups) {
        const double u = static_cast<double>(engine()) / 4294967296.0;
        const auto n = static_cast<std::uint32_t>((u + 1.0) * 65536.0);
        group = fmt::format(L"{:05x}", n).substr(1);
    }
    return groups[0] + groups[1] + L"-" + groups[2] + L"-" + groups[3] + L"-" + groups[4] + L"-" + groups[5] +
           groups[6] + groups[7];
}

std::shared_ptr<ConfigurationKeyValue> ConfigurationKeyValue::load(const std::wstring& directory) {
    auto config = std::make_shared<ConfigurationKeyValue>();
    config->path = directory;
    path::make_directories(directory, 0700);
    read_file_lines(*config, path::join(config->path, L"config"));

    if (config->proxy.mode == NamedProxy && config->proxy.url.empty())
        config->proxy.mode = DefaultProxy;
    if (config->uri.empty())
        config->uri = DEFAULT_AGENT_URI;
    if (config->auth_uri.empty())
        config->auth_uri = DEFAULT_AUTH_URI;

    // A first start that cannot write its file still runs; the failure is logged below,
    // once the logger exists, and the id is made again at the next start.
    std::exception_ptr save_failure;
    if (config->client.empty()) {
        config->first_run = true;
        config->client = random_client_id();
        try {
            config->save();
        } catch (const Exception&) {
            save_failure = std::current_exception();
        }
    }
    if (config->instruction.empty())
        config->instruction = DEFAULT_INSTRUCTION_URI;

    // A log folder that cannot be made (a file in its place, no room) leaves the default log.
    std::wstring log_failure;
    if (config->log_enabled) {
        std::unique_ptr<ILogger> logger;
        if (!config->log_defaults) {
            try {
                logger = create_logger(config->log_path, parse_level(config->log_level));
            } catch (const std::exception& e) {
                log_failure = utf8_to_wide(std::string_view(e.what()));
            }
        }
        install_logger(logger ? std::move(logger) : create_logger(L"", LEVEL_WARN));
    } else {
        install_logger(nullptr);
    }

    constexpr auto function = L"agent::ConfigurationKeyValue::load";
    if (save_failure) {
        try {
            std::rethrow_exception(save_failure);
        } catch (const Exception& e) {
            AGENT_ERROR(function) << e.description();
        }
    }
    AGENT_INFO(function) << "Server url: " << config->uri;
    AGENT_INFO(function) << "Auth url: " << config->auth_uri;
    AGENT_INFO(function) << "Path: " << config->path;
    AGENT_INFO(function) << "Client id: " << config->client;
    AGENT_INFO(function) << "Proxy url: " << config->proxy.url;
    AGENT_INFO(function) << "Proxy mode: " << static_cast<int>(config->proxy.mode);
    config->keep_proxy_password();
    if (!log_failure.empty()) {
        AGENT_WARN(function) << "log_path \"" << config->log_path << "\" cannot be used (" << log_failure
                             << "); the default log is used";
    }
    for (const auto& [key, value] : config->rejected_) {
        if (key == L"stream_silence_limit") {
            AGENT_WARN(function) << "stream_silence_limit \"" << value
                                 << "\" is not a number of seconds from 1 to 86400; the program's limit applies";
        } else {
            AGENT_WARN(function) << key << " \"" << value << "\" is not a number; the default is used";
        }
    }
    return config;
}

std::string ConfigurationKeyValue::serialize() const {
    std::wstring text;
    auto entry = [&text](const wchar_t* key, const std::wstring& value) {
        if (!value.empty())
            text += std::wstring(key) + L" = " + value + L"\r\n";
    };
    entry(L"client", client);
    entry(L"uri", uri);
    entry(L"auth_uri", auth_uri);
    entry(L"instruction", instruction);
    entry(L"last_email", last_email);
    entry(L"proxy_mode", proxy_mode_name(proxy.mode));
    entry(L"proxy_uri", proxy.url);
    entry(L"proxy_user", proxy.user);
    if (!proxy_password_in_keyring)
        entry(L"proxy_password", proxy.password);
    entry(L"ca_file", ca_file);
    if (stream_silence_limit != 0)
        entry(L"stream_silence_limit", std::to_wstring(stream_silence_limit));
    if (desktop_notifications)
        entry(L"desktop_notifications", L"1");
    if (!use_keyring)
        entry(L"secret_store", L"file");
    if (!log_defaults) {
        entry(L"log_enabled", log_enabled ? L"1" : L"0");
        entry(L"log_path", log_path);
        entry(L"log_level", log_level);
    }
    return wide_to_utf8(text);
}

void ConfigurationKeyValue::keep_proxy_password() {
    constexpr auto function = L"agent::ConfigurationKeyValue::keep_proxy_password";
    if (!use_keyring || !keyring::available())
        return;
    const keyring::Key key{"proxy", wide_to_utf8(proxy.url), wide_to_utf8(proxy.user)};
    std::string error;
    if (proxy.password.empty()) {
        // Moved there earlier, or never given.
        if (proxy.user.empty())
            return;
        if (const auto password = keyring::lookup(key, error)) {
            proxy.password = utf8_to_wide(*password);
            proxy_password_in_keyring = true;
            kept_proxy_ = KeptProxy{proxy.url, proxy.user, proxy.password};
        } else if (!error.empty()) {
            AGENT_WARN(function) << "The proxy password cannot be read from the keyring (" << error << ")";
        }
        return;
    }
    // Found in the file: it moves into the keyring, and the file is written without it.
    if (!keyring::store(key, "Варнел.Агент: прокси-сервер", wide_to_utf8(proxy.password), error)) {
        AGENT_WARN(function) << "The proxy password stays in " << path::join(path, L"config") << " (the keyring: "
                             << error << ")";
        return;
    }
    proxy_password_in_keyring = true;
    kept_proxy_ = KeptProxy{proxy.url, proxy.user, proxy.password};
    try {
        save();
        AGENT_INFO(function) << "The proxy password moved into the keyring";
    } catch (const Exception& e) {
        AGENT_ERROR(function) << e.description();
    }
}

void ConfigurationKeyValue::save() {
    // The proxy password goes to the keyring when one runs and it changed; without one, or
    // refused there, it stays in the file.
    const KeptProxy now{proxy.url, proxy.user, proxy.password};
    if (use_keyring && (proxy_password_in_keyring || keyring::available()) && !(kept_proxy_ && *kept_proxy_ == now)) {
        std::string error;
        if (kept_proxy_)
            keyring::clear({"proxy", wide_to_utf8(kept_proxy_->url), wide_to_utf8(kept_proxy_->user)}, error);
        kept_proxy_.reset();
        proxy_password_in_keyring = false;
        if (proxy.password.empty()) {
            kept_proxy_ = now;
            proxy_password_in_keyring = keyring::available();
        } else if (keyring::store({"proxy", wide_to_utf8(proxy.url), wide_to_utf8(proxy.user)},
                                  "Варнел.Агент: прокси-сервер", wide_to_utf8(proxy.password), error)) {
            kept_proxy_ = now;
            proxy_password_in_keyring = true;
        } else {
            AGENT_WARN(L"agent::ConfigurationKeyValue::save")
                << "The proxy password is kept in " << path::join(path, L"config") << " (the keyring: " << error
                << ")";
        }
    }
    const std::string text = serialize();
    if (!path::make_directories(path, 0700))
        throw SystemException(ENOTDIR, "mkdir");
    io::write_file_or_throw(path::join(path, L"config"), text.data(), text.size());
}

bool ConfigurationKeyValue::is_autolaunch() {
    return !registry::get_value(registry::RUN_KEY, AUTOLAUNCH_VALUE_NAME).empty();
}

void ConfigurationKeyValue::set_autolaunch(bool enabled) {
    if (enabled)
        registry::add_value(registry::RUN_KEY, AUTOLAUNCH_VALUE_NAME,
                            path::get_launch_file_name(path::get_executable_file_name()));
    else
        registry::delete_value(registry::RUN_KEY, AUTOLAUNCH_VALUE_NAME);
}

void ConfigurationKeyValue::reset_silent_mode() {
    silent_mode = false;
}

}  // namespace agent
