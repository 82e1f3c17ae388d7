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

std::wstring version_text(const Version& v) {
    return std::to_wstring(v.major) + L"." + std::to_wstring(v.minor) + L"." + std::to_wstring(v.build) + L"." +
           std::to_wstring(v.revision);
}

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
    return installer > own;
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

std::optional<Version> signed_version(std::string_view comment) {
    constexpr std::string_view FIELD = "version:";
    while (!comment.empty()) {
        const std::size_t blank = comment.find_first_of(" \t");
        const std::string_view word = comment.substr(0, blank);
        if (word.starts_with(FIELD)) {
            const std::string_view text = word.substr(FIELD.size());
            if (!is_version_text(text))
                return std::nullopt;
            return parse_version(utf8_to_wide(text));
        }
        if (blank == std::string_view::npos)
            break;
        comment.remove_prefix(blank + 1);
    }
    return std::nullopt;
}

std::wstring signature_address(const std::wstring& installer_url) {
    const std::size_t scheme = installer_url.find(L"://");
    const std::size_t rest = installer_url.find_first_of(L"?#", scheme == std::wstring::npos ? 0 : scheme + 3);
    if (rest == std::wstring::npos)
        return installer_url + L".minisig";
    return installer_url.substr(0, rest) + L".minisig" + installer_url.substr(rest);
}

std::optional<Version> check_installer(const std::wstring& installer, std::string_view signature,
                                       const std::vector<crypto::SigningKey>& keys, const Version& own,
                                       const wchar_t* function) {
    std::optional<Version> label;
    try {
        label = read_installer_version(installer);
    } catch (const SystemException& e) {
        AGENT_ERROR(function) << "Installer refused, it cannot be read: " << e.description();
        return std::nullopt;
    }
    if (!label) {
        AGENT_ERROR(function) << "Installer refused: no version line in its header";
        return std::nullopt;
    }
    std::string comment;
    try {
        comment = crypto::verify_file_signature(installer, signature, keys);
    } catch (const crypto::SignatureRefused& e) {
        AGENT_ERROR(function) << "Installer refused: " << e.what();
        return std::nullopt;
    } catch (const Exception& e) {
        AGENT_ERROR(function) << "Installer refused, its signature cannot be checked: " << e.description();
        return std::nullopt;
    }
    const std::optional<Version> signed_for = signed_version(comment);
    if (!signed_for) {
        AGENT_ERROR(function) << "Installer refused: the signature's trusted comment names no version";
        return std::nullopt;
    }
    if (*signed_for != *label) {
        AGENT_ERROR(function) << "Installer refused: it is labelled " << version_text(*label)
                              << " but signed for " << version_text(*signed_for);
        return std::nullopt;
    }
    if (!is_installer_newer(*label, own)) {
        AGENT_WARN(function) << "Installer refused: its version " << version_text(*label) << " is not newer than "
                             << version_text(own);
        return std::nullopt;
    }
    return label;
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

}  // namespace

const std::vector<crypto::SigningKey>& built_in_update_keys() {
    static const std::vector<crypto::SigningKey> keys = [] {
        // The Base64 lines of the public key files, made by the build.
        static constexpr const char* LINES[] = {
#include "model/update_keys.inc"
        };
        std::vector<crypto::SigningKey> parsed;
        for (const char* line : LINES)
            parsed.push_back(crypto::parse_public_key(line));
        return parsed;
    }();
    return keys;
}

UpdateService::UpdateService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring path, std::wstring api_base,
                             std::vector<crypto::SigningKey> keys)
    : client_(std::move(client)), path_(std::move(path)), api_base_(std::move(api_base)), keys_(std::move(keys)) {}

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
        if (!required_update(path_, keys_))
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

bool UpdateService::download_update(const std::wstring& url) {
    return download(url, false);
}

namespace {

// A file of ours being written; removed unless kept.
class PartFile {
public:
    explicit PartFile(std::string path) : path_(std::move(path)) {
        fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd_ < 0)
            throw SystemException(errno, "open");
    }
    ~PartFile() {
        if (fd_ >= 0)
            ::close(fd_);
        if (!kept_)
            ::unlink(path_.c_str());
    }
    PartFile(const PartFile&) = delete;
    PartFile& operator=(const PartFile&) = delete;

    void write(const char* data, std::size_t size) {
        while (size > 0) {
            const ssize_t n = ::write(fd_, data, size);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0)
                throw SystemException(n < 0 ? errno : ENOSPC, "write");
            data += n;
            size -= static_cast<std::size_t>(n);
        }
    }
    void finish() {
        const int fd = fd_;
        fd_ = -1;
        if (::fsync(fd) != 0) {
            const int error = errno;
            ::close(fd);
            throw SystemException(error, "fsync");
        }
        if (::close(fd) != 0)
            throw SystemException(errno, "close");
    }
    // Renamed to its place, it is no longer ours to remove.
    void keep_as(const std::string& target) {
        if (::rename(path_.c_str(), target.c_str()) != 0)
            throw SystemException(errno, "rename");
        kept_ = true;
    }

private:
    std::string path_;
    int fd_ = -1;
    bool kept_ = false;
};

void remove_if_present(const std::wstring& file) {
    if (details::io::exist_file(file))
        details::io::delete_file(file);
}

}  // namespace

std::optional<std::string> UpdateService::fetch_signature(winhttp::SimpleClient& client, const std::wstring& url,
                                                          bool for_check_thread) {
    winhttp::Request request = details::open_linked_request(client, DOWNLOAD_UPDATE, url, winhttp::METHOD_GET,
                                                            details::wide_to_utf8(session_id()), api_base_);
    const Tracked tracked(*this, request.cancel_handle(), for_check_thread);
    winhttp::Response response = request.receive();
    const std::uint32_t status = response.status_code();
    details::log_status(DOWNLOAD_UPDATE, status);
    if (status != 200) {
        AGENT_ERROR(DOWNLOAD_UPDATE) << "Installer refused: its signature " << url << " answers " << status;
        return std::nullopt;
    }
    std::vector<std::uint8_t> body;
    try {
        body = response.read_body(crypto::SIGNATURE_FILE_LIMIT);
    } catch (const AgentException& e) {
        AGENT_ERROR(DOWNLOAD_UPDATE) << "Installer refused: its signature " << url << ": " << e.description();
        return std::nullopt;
    }
    return std::string(body.begin(), body.end());
}

bool UpdateService::fetch_installer(winhttp::SimpleClient& client, const std::wstring& url, const std::wstring& file,
                                    bool for_check_thread) {
    winhttp::Request request = details::open_linked_request(client, DOWNLOAD_UPDATE, url, winhttp::METHOD_GET,
                                                            details::wide_to_utf8(session_id()), api_base_);
    const Tracked tracked(*this, request.cancel_handle(), for_check_thread);
    winhttp::Response response = request.receive();
    const std::uint32_t status = response.status_code();
    details::log_status(DOWNLOAD_UPDATE, status);
    if (status != 200) {
        try {
            details::throw_api_error(DOWNLOAD_UPDATE, response.read_body(), status);
        } catch (const AgentApiException&) {
            // Logged; retried at the next check.
        }
        return false;
    }
    const std::uint64_t limit = size_limit_;
    const std::string too_large = "Installer refused: larger than " + std::to_string(limit) + " bytes";
    if (winhttp::announced_length(response.headers()) > limit) {
        AGENT_ERROR(DOWNLOAD_UPDATE) << too_large;
        return false;
    }
    PartFile part(details::wide_to_utf8(file));
    std::uint64_t total = 0;
    std::string chunk;
    while (response.read_chunk(chunk)) {
        total += chunk.size();
        if (total > limit) {
            AGENT_ERROR(DOWNLOAD_UPDATE) << too_large;
            return false;
        }
        part.write(chunk.data(), chunk.size());
    }
    part.finish();
    part.keep_as(details::wide_to_utf8(file));
    return true;
}

bool UpdateService::download(const std::wstring& url, bool for_check_thread) {
    std::lock_guard download(download_mutex_);
    if (!is_allowed_installer_address(url, api_base_)) {
        AGENT_ERROR(DOWNLOAD_UPDATE) << "Installer address refused (not HTTPS): " << url;
        throw AgentException(AgentException::BAD_ANSWER, "installer address is not HTTPS: " + details::wide_to_utf8(url));
    }
    const std::wstring installer = details::path::join(path_, INSTALLER_FILE_NAME);
    const std::wstring signature_file = details::path::join(path_, SIGNATURE_FILE_NAME);
    // Written beside the installer and renamed to it only once it has been checked.
    const std::wstring part = installer + L".part";
    const std::shared_ptr<winhttp::SimpleClient> client = details::lock_http_client(client_, DOWNLOAD_UPDATE);
    // The small file first: without a signature the installer is not worth fetching.
    const std::wstring signature_url = details::signature_address(url);
    const std::optional<std::string> signature = fetch_signature(*client, signature_url, for_check_thread);
    if (!signature)
        return false;
    try {
        if (!fetch_installer(*client, url, part, for_check_thread))
            return false;
        const std::optional<Version> version =
            details::check_installer(part, *signature, keys_, details::own_version(), DOWNLOAD_UPDATE);
        if (!version) {
            details::io::delete_file(part);
            return false;
        }
        // The signature goes first: "update.exe" never stands without its own.
        details::io::write_file_or_throw(signature_file, signature->data(), signature->size());
        // The installer is a program of its own, started by update().
        if (::chmod(details::wide_to_utf8(part).c_str(), 0700) != 0)
            throw SystemException(errno, "chmod");
        if (::rename(details::wide_to_utf8(part).c_str(), details::wide_to_utf8(installer).c_str()) != 0)
            throw SystemException(errno, "rename");
        AGENT_INFO(DOWNLOAD_UPDATE) << "Installer saved: " << installer << " (version " << details::version_text(*version)
                                    << ", signature checked)";
        return true;
    } catch (const WinHttpException& e) {
        remove_if_present(part);
        if (e.code() == 1 /* CURLE_UNSUPPORTED_PROTOCOL */) {
            AGENT_ERROR(DOWNLOAD_UPDATE) << "Installer refused: a redirect led away from HTTPS (" << e.description()
                                         << ")";
        }
        throw;
    } catch (...) {
        remove_if_present(part);
        throw;
    }
}

namespace {

// The installer and its signature go together.
void remove_installer(const std::wstring& installer, const std::wstring& signature) {
    remove_if_present(installer);
    remove_if_present(signature);
}

// The signature file beside the installer, read with its size bound; nothing (logged) when
// it is missing, too large or unreadable.
std::optional<std::string> read_signature_file(const std::wstring& file, const wchar_t* function) {
    try {
        const std::vector<std::uint8_t> bytes = details::io::read_file_or_throw(file, crypto::SIGNATURE_FILE_LIMIT);
        return std::string(bytes.begin(), bytes.end());
    } catch (const SystemException& e) {
        AGENT_ERROR(function) << "Installer refused, no usable signature beside it: " << e.description();
        return std::nullopt;
    }
}

}  // namespace

bool UpdateService::required_update(const std::wstring& directory, const std::vector<crypto::SigningKey>& keys) {
    const std::wstring installer = details::path::join(directory, INSTALLER_FILE_NAME);
    const std::wstring signature = details::path::join(directory, SIGNATURE_FILE_NAME);
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
        remove_installer(installer, signature);
        return false;
    }

    const Version& own = details::own_version();
    if (!details::is_installer_newer(*version, own)) {
        AGENT_INFO(REQUIRED_UPDATE) << "Installer " << details::version_text(*version) << " is not newer than "
                                    << details::version_text(own) << ", removing it";
        remove_installer(installer, signature);
        return false;
    }
    const std::optional<std::string> text = read_signature_file(signature, REQUIRED_UPDATE);
    if (!text || !details::check_installer(installer, *text, keys, own, REQUIRED_UPDATE)) {
        AGENT_ERROR(REQUIRED_UPDATE) << "The installer is not run and is removed: " << installer;
        remove_installer(installer, signature);
        return false;
    }
    AGENT_INFO(REQUIRED_UPDATE) << "Installer " << details::version_text(*version) << " is newer than "
                                << details::version_text(own) << " and signed";
    return true;
}

bool UpdateService::update(const std::wstring& directory, const std::vector<crypto::SigningKey>& keys) {
    constexpr wchar_t UPDATE[] = L"agent::UpdateService::update";
    const std::wstring installer = details::path::join(directory, INSTALLER_FILE_NAME);
    const std::wstring signature = details::path::join(directory, SIGNATURE_FILE_NAME);
    const std::wstring marker = details::path::join(directory, MARKER_FILE_NAME);
    // Without the marker the next start would run the installer again.
    if (!details::io::write_file(marker, "", 0)) {
        AGENT_ERROR(UPDATE) << "The marker " << marker << " cannot be written: the installer is not started";
        return false;
    }
    // Right before it runs: the file may have changed since it was checked.
    const std::optional<std::string> text = read_signature_file(signature, UPDATE);
    if (!text || !details::check_installer(installer, *text, keys, details::own_version(), UPDATE)) {
        AGENT_ERROR(UPDATE) << "The installer is not run and is removed: " << installer;
        remove_installer(installer, signature);
        details::io::delete_file(marker);
        return false;
    }
    try {
        // makeself stops at an option it does not know; the installer's own options
        // follow "--". --nox11 keeps it from opening a terminal window of its own.
        details::start_detached({details::wide_to_utf8(installer), "--nox11", "--", "--silent", "--run"});
        AGENT_INFO(UPDATE) << "Installer started: " << installer;
        return true;
    } catch (const SystemException& e) {
        AGENT_INFO(UPDATE) << "ExecuteUpdate: " << e.description();
        return false;
    }
}

}  // namespace agent
