#include "model/update_service.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cwchar>
#include <stdexcept>

#include <json/json.h>

#include "details/exception.h"
#include "details/io.h"
#include "details/logger.h"
#include "details/path.h"
#include "details/process.h"
#include "details/strings.h"
#include "model/client_lock.h"
#include "winhttp/api_call.h"
#include "winhttp/simple_client.h"

namespace agent {

namespace details {

Version parse_version(std::wstring_view text) {
    std::uint16_t parts[4] = {0, 0, 0, 0};
    std::size_t index = 0;
    std::size_t begin = 0;
    while (index < 4 && begin <= text.size()) {
        std::size_t end = text.find(L'.', begin);
        if (end == std::wstring_view::npos)
            end = text.size();
        const std::wstring part(text.substr(begin, end - begin));
        // The standard conversion: leading digits count, anything else gives 0.
        parts[index++] = static_cast<std::uint16_t>(std::wcstoul(part.c_str(), nullptr, 10));
        begin = end + 1;
    }
    return Version{parts[0], parts[1], parts[2], parts[3]};
}

const Version& own_version() {
    static const Version version = parse_version(AGENT_VERSION);
    return version;
}

bool is_installer_newer(const Version& installer, const Version& own) {
    const bool not_newer = own.major >= installer.major && own.minor >= installer.minor &&
                           own.build >= installer.build && own.revision >= installer.revision;
    return !not_newer;
}

namespace {

// The makeself header is a few hundred lines of shell; its label line comes early.
constexpr std::size_t HEADER_LIMIT = 16 * 1024;
constexpr std::string_view LABEL_PREFIX = "label=\"";

bool is_version_text(std::string_view text) {
    if (text.empty() || text.front() == '.' || text.back() == '.')
        return false;
    int dots = 0;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '.') {
            if (text[i - 1] == '.')
                return false;
            ++dots;
        } else if (text[i] < '0' || text[i] > '9') {
            return false;
        }
    }
    return dots <= 3;
}

std::optional<Version> version_of_label(std::string_view line) {
    const std::size_t close = line.rfind('"');
    if (close < LABEL_PREFIX.size())
        return std::nullopt;
    std::string_view label = line.substr(LABEL_PREFIX.size(), close - LABEL_PREFIX.size());
    while (!label.empty() && label.back() == ' ')
        label.remove_suffix(1);
    const std::size_t blank = label.rfind(' ');
    const std::string_view word = blank == std::string_view::npos ? label : label.substr(blank + 1);
    if (!is_version_text(word))
        return std::nullopt;
    return parse_version(utf8_to_wide(word));
}

}  // namespace

std::optional<Version> read_installer_version(const std::wstring& file) {
    const std::vector<std::uint8_t> bytes = io::read_file_head(file, HEADER_LIMIT);
    const std::string_view header(reinterpret_cast<const char*>(bytes.data()), bytes.size());

    std::size_t begin = 0;
    while (begin < header.size()) {
        std::size_t end = header.find('\n', begin);
        if (end == std::string_view::npos)
            end = header.size();
        const std::string_view line(header.data() + begin, end - begin);
        if (line.starts_with(LABEL_PREFIX))
            return version_of_label(line);
        begin = end + 1;
    }
    return std::nullopt;
}

}  // namespace details

namespace {

constexpr wchar_t REQUIRED_UPDATE[] = L"agent::UpdateService::required_update";
constexpr wchar_t CHECK_THREAD[] = L"agent::UpdateService::start_checking_update::thread";
constexpr wchar_t DOWNLOAD_UPDATE[] = L"agent::UpdateService::download_update";
constexpr wchar_t STOP_CHECKING[] = L"agent::UpdateService::stop_checking_update";

// The installer runs with the user's rights: it may only come over TLS, or over plain HTTP
// when the agent API itself is plain HTTP (a local stand-in provider).
bool is_allowed_installer_address(const std::wstring& url, const std::wstring& api_base) {
    if (details::starts_with_ascii_nocase(url, L"https://"))
        return true;
    return details::starts_with_ascii_nocase(url, L"http://") && details::starts_with_ascii_nocase(api_base, L"http://");
}

std::string_view as_text(const std::vector<std::uint8_t>& body) {
    return {reinterpret_cast<const char*>(body.data()), body.size()};
}

// The "uri" of an update answer.
std::wstring parse_update_uri(const std::vector<std::uint8_t>& body) {
    Json::Value root;
    std::string errors;
    if (!details::read_json(as_text(body), root, errors)) {
        AGENT_ERROR(CHECK_THREAD) << errors;
        throw std::runtime_error(errors);
    }
    if (!root.isObject() || !root["uri"].isString())
        return {};
    return details::utf8_to_wide(root["uri"].asString());
}

std::wstring version_text(const Version& v) {
    return std::to_wstring(v.major) + L"." + std::to_wstring(v.minor) + L"." + std::to_wstring(v.build) + L"." +
           std::to_wstring(v.revision);
}

}  // namespace

UpdateService::UpdateService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring path, std::wstring api_base)
    : client_(std::move(client)), path_(std::move(path)), api_base_(std::move(api_base)) {}

UpdateService::~UpdateService() {
    stop_checking_update();
}

void UpdateService::set_session_id(const std::wstring& session_id) {
    std::lock_guard lock(mutex_);
    session_id_ = session_id;
}

bool UpdateService::stopping() const {
    std::lock_guard lock(mutex_);
    return stopping_;
}

std::wstring UpdateService::session_id() const {
    std::lock_guard lock(mutex_);
    return session_id_;
}

void UpdateService::set_check_interval(std::chrono::milliseconds interval) {
    std::lock_guard lock(mutex_);
    interval_ = interval;
}

bool UpdateService::is_checking() const {
    std::lock_guard lock(mutex_);
    return running_;
}

void UpdateService::start_checking_update() {
    std::lock_guard control(control_mutex_);
    std::thread finished;
    {
        std::lock_guard lock(mutex_);
        if (running_)
            return;
        // A thread that ended by itself (401) is only joined here.
        finished = std::move(thread_);
    }
    if (finished.joinable())
        finished.join();
    std::lock_guard lock(mutex_);
    stopping_ = false;
    // The thread cannot clear the flag before this lock is released.
    running_ = true;
    try {
        thread_ = std::thread([this] { check_loop(); });
    } catch (...) {
        running_ = false;
        throw;
    }
}

void UpdateService::stop_checking_update() {
    std::lock_guard control(control_mutex_);
    std::thread thread;
    {
        std::lock_guard lock(mutex_);
        stopping_ = true;
        for (const auto& request : in_flight_)
            request->cancel();
        thread = std::move(thread_);
    }
    wake_.notify_all();
    if (!thread.joinable())
        return;
    AGENT_INFO(STOP_CHECKING) << "Stopping the update check";
    thread.join();
}

// Runs on the check thread.
void UpdateService::check_loop() {
    AGENT_INFO(CHECK_THREAD) << "Update check started";
    for (;;) {
        bool go_on = true;
        try {
            go_on = check_once();
        } catch (const WinHttpException& e) {
            if (stopping()) {
                AGENT_INFO(CHECK_THREAD) << "Check cut short: " << e.description();
            } else {
                AGENT_ERROR(CHECK_THREAD) << e.description();
            }
        } catch (const Exception& e) {
            AGENT_ERROR(CHECK_THREAD) << e.description();
        } catch (const std::exception& e) {
            AGENT_ERROR(CHECK_THREAD) << e.what();
        }
        std::unique_lock lock(mutex_);
        if (!go_on || wake_.wait_for(lock, interval_, [this] { return stopping_; }))
            break;
    }
    AGENT_INFO(CHECK_THREAD) << "Update check ended";
    std::lock_guard lock(mutex_);
    running_ = false;
}

// A request a stop can cut short while it runs. One of the check thread that begins after
// the stop is cut at once.
class UpdateService::Tracked {
public:
    Tracked(UpdateService& service, std::shared_ptr<winhttp::CancelHandle> handle, bool for_check_thread)
        : service_(service), handle_(std::move(handle)) {
        std::lock_guard lock(service_.mutex_);
        service_.in_flight_.push_back(handle_);
        if (for_check_thread && service_.stopping_)
            handle_->cancel();
    }
    ~Tracked() {
        std::lock_guard lock(service_.mutex_);
        std::erase(service_.in_flight_, handle_);
    }
    Tracked(const Tracked&) = delete;
    Tracked& operator=(const Tracked&) = delete;

private:
    UpdateService& service_;
    std::shared_ptr<winhttp::CancelHandle> handle_;
};

// Runs on the check thread.
bool UpdateService::check_once() {
    const std::shared_ptr<winhttp::SimpleClient> client = details::lock_http_client(client_, CHECK_THREAD);
    const std::wstring url = api_base_ + L"/v1/client/update";
    winhttp::Request request = details::open_api_request(*client, CHECK_THREAD, url, winhttp::METHOD_GET,
                                                         details::wide_to_utf8(session_id()));
    std::vector<std::uint8_t> body;
    std::uint32_t status = 0;
    {
        const Tracked tracked(*this, request.cancel_handle(), true);
        winhttp::Response response = request.receive();
        status = response.status_code();
        body = response.read_body();
    }
    details::log_status(CHECK_THREAD, status);
    details::log_body(CHECK_THREAD, body);

    if (status == 200) {
        const std::wstring uri = parse_update_uri(body);
        if (!required_update(path_))
            download(uri, true);
        return true;
    }
    if (status == 204)
        return true;
    try {
        details::throw_api_error(CHECK_THREAD, body, status);
    } catch (const AgentApiException&) {
        // Logged by throw_api_error; the check goes on at the next round.
    }
    // The session is no longer valid: nothing to ask until the next sign-in.
    return status != 401;
}

void UpdateService::download_update(const std::wstring& url) {
    download(url, false);
}

void UpdateService::download(const std::wstring& url, bool for_check_thread) {
    std::lock_guard download(download_mutex_);
    if (!is_allowed_installer_address(url, api_base_)) {
        AGENT_ERROR(DOWNLOAD_UPDATE) << "Installer address refused (not HTTPS): " << url;
        throw AgentException(AgentException::BAD_ANSWER, "installer address is not HTTPS: " + details::wide_to_utf8(url));
    }
    const std::wstring installer = details::path::join(path_, INSTALLER_FILE_NAME);
    try {
        const std::shared_ptr<winhttp::SimpleClient> client = details::lock_http_client(client_, DOWNLOAD_UPDATE);
        winhttp::Request request = details::open_linked_request(
            *client, DOWNLOAD_UPDATE, url, winhttp::METHOD_GET, details::wide_to_utf8(session_id()), api_base_);
        std::uint32_t status = 0;
        std::vector<std::uint8_t> body;
        {
            const Tracked tracked(*this, request.cancel_handle(), for_check_thread);
            winhttp::Response response = request.receive();
            status = response.status_code();
            details::log_status(DOWNLOAD_UPDATE, status);
            body = response.read_body();
        }
        if (status != 200) {
            try {
                details::throw_api_error(DOWNLOAD_UPDATE, body, status);
            } catch (const AgentApiException&) {
                // Logged; retried at the next check.
            }
            return;
        }
        details::io::write_file_or_throw(installer, body.data(), body.size());
        // The installer is a program of its own, started by update().
        if (::chmod(details::wide_to_utf8(installer).c_str(), 0700) != 0)
            throw SystemException(errno, "chmod");
        AGENT_INFO(DOWNLOAD_UPDATE) << "Installer saved: " << installer << " (" << body.size() << " bytes)";
    } catch (...) {
        if (details::io::exist_file(installer))
            details::io::delete_file(installer);
        throw;
    }
}

bool UpdateService::required_update(const std::wstring& directory) {
    const std::wstring installer = details::path::join(directory, INSTALLER_FILE_NAME);
    const std::wstring marker = details::path::join(directory, MARKER_FILE_NAME);

    std::optional<Version> version;
    try {
        version = details::read_installer_version(installer);
    } catch (const SystemException& e) {
        if (e.code() != ENOENT) {
            AGENT_ERROR(REQUIRED_UPDATE) << e.description();
        }
        return false;
    }
    if (!version) {
        AGENT_ERROR(REQUIRED_UPDATE) << "No version line in the installer header: " << installer;
        return false;
    }

    if (details::io::exist_file(marker)) {
        // This installer has been run at the previous start.
        AGENT_INFO(REQUIRED_UPDATE) << "Installer already used, removing it";
        details::io::delete_file(marker);
        details::io::delete_file(installer);
        return false;
    }

    const Version& own = details::own_version();
    if (!details::is_installer_newer(*version, own)) {
        AGENT_INFO(REQUIRED_UPDATE) << "Installer " << version_text(*version) << " is not newer than "
                                    << version_text(own) << ", removing it";
        details::io::delete_file(installer);
        return false;
    }
    AGENT_INFO(REQUIRED_UPDATE) << "Installer " << version_text(*version) << " is newer than " << version_text(own);
    return true;
}

bool UpdateService::update(const std::wstring& directory) {
    const std::wstring installer = details::path::join(directory, INSTALLER_FILE_NAME);
    const std::wstring marker = details::path::join(directory, MARKER_FILE_NAME);
    details::io::write_file(marker, "", 0);
    try {
        // makeself stops at an option it does not know; the installer's own options
        // follow "--". --nox11 keeps it from opening a terminal window of its own.
        details::start_detached({details::wide_to_utf8(installer), "--nox11", "--", "--silent", "--run"});
        AGENT_INFO(L"agent::UpdateService::update") << "Installer started: " << installer;
        return true;
    } catch (const SystemException& e) {
        AGENT_INFO(L"agent::UpdateService::update") << "ExecuteUpdate: " << e.description();
        return false;
    }
}

}  // namespace agent
