#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

namespace winhttp {
class SimpleClient;
}

namespace agent {

// The running program's version.
// The running program's version, set by the build (1.1.0.198 unless a release says otherwise).
inline constexpr wchar_t AGENT_VERSION[] = L"" AGENT_VERSION_TEXT;

// major.minor.build.revision, each 16 bits.
struct Version {
    std::uint16_t major = 0;
    std::uint16_t minor = 0;
    std::uint16_t build = 0;
    std::uint16_t revision = 0;

    friend bool operator==(const Version&, const Version&) = default;
};

// Keeps the client up to date in two steps separated by a restart: while a user is signed
// in, a background thread asks the agent API every ten minutes for a newer client and
// downloads its installer as "update.exe" into the data directory; at the next start the
// shell asks required_update() and, when true, update() starts the installer and the
// program ends. The marker "already_use_update" makes one installer run only once.
//
// The installer is a makeself archive; its version is read from the header line
// `label="Varnel Agent <major>.<minor>.<build>.<revision>"` without running it.
class UpdateService {
public:
    static constexpr wchar_t INSTALLER_FILE_NAME[] = L"update.exe";
    static constexpr wchar_t MARKER_FILE_NAME[] = L"already_use_update";
    // Between two checks of the check thread.
    static constexpr std::chrono::milliseconds CHECK_INTERVAL{600000};

    UpdateService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring path, std::wstring api_base);
    // Stops the check thread.
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    void set_session_id(const std::wstring& session_id);

    // True when "update.exe" in the directory should be run now. A marker left by the
    // previous start removes both files; an installer that is not newer than the running
    // program is deleted. Never throws for file or version errors (they are logged).
    static bool required_update(const std::wstring& directory);

    // Writes the marker and starts "update.exe" of the directory detached with the
    // installer's options "--silent --run". True when the installer was started.
    static bool update(const std::wstring& directory);

    // Starts the check thread (first check at once, then every CHECK_INTERVAL); a running
    // one is left alone. Called at session start.
    void start_checking_update();

    // Stops the check thread: a download in progress finishes first, a check request or
    // the wait between checks is cut short. Called at sign-out and by the destructor.
    void stop_checking_update();

    // Downloads the installer from the URL into "update.exe" (mode 0700). Only an HTTPS
    // address is accepted, or plain HTTP when the API base itself is plain HTTP. A status
    // other than 200 is logged and writes nothing. Transport and file errors delete the
    // partial installer and propagate.
    void download_update(const std::wstring& url);

    // Whether the check thread is running (it ends by itself after a 401).
    bool is_checking() const;

    // The wait between two checks (CHECK_INTERVAL unless changed; tests and benchmarks
    // shorten it). Takes effect from the next wait.
    void set_check_interval(std::chrono::milliseconds interval);

private:
    void check_loop();
    // One check; false when the thread should end (401).
    bool check_once();
    std::shared_ptr<winhttp::SimpleClient> lock_client(const wchar_t* function) const;
    std::wstring session_id() const;
    bool stopping() const;

    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring path_;
    std::wstring api_base_;

    // Serialises start_checking_update and stop_checking_update.
    std::mutex control_mutex_;
    mutable std::mutex mutex_;  // guards everything below
    std::wstring session_id_;
    std::chrono::milliseconds interval_ = CHECK_INTERVAL;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;
    // Held for the whole of a download, so that stopping waits for it to finish.
    std::mutex download_mutex_;
    // Cancels the check request in flight, when one is.
    std::function<void()> cancel_check_;
};

namespace details {

// "1.1.0.198" split at the dots; each part is read as a decimal number (leading digits
// only, 0 when none) and kept in 16 bits; missing parts are 0.
Version parse_version(std::wstring_view text);

// The version of the running program, parsed once.
const Version& own_version();

// True unless every component of `own` is greater than or equal to the same component of
// `installer`: components are compared one by one, not in order of significance.
bool is_installer_newer(const Version& installer, const Version& own);

// The version the makeself header of the file carries (its `label="... <version>"` line),
// read without running it. Nothing when the file has no such line. Throws SystemException
// when the file cannot be opened or read (ENOENT when it does not exist).
std::optional<Version> read_installer_version(const std::wstring& file);

}  // namespace details

}  // namespace agent
