#pragma once

#include <atomic>
#include <chrono>
#include <compare>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "crypto/minisign.h"

namespace winhttp {
class CancelHandle;
class SimpleClient;
}  // namespace winhttp

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
    // In order of significance: major, then minor, build, revision.
    friend auto operator<=>(const Version&, const Version&) = default;
};

// The keys whose signatures an installer must carry, built into the program (the minisign
// public key files named by the build's AGENT_UPDATE_KEYS).
const std::vector<crypto::SigningKey>& built_in_update_keys();

// Keeps the client up to date in two steps separated by a restart: while a user is signed
// in, a background thread asks the agent API every ten minutes for a newer client and
// downloads its installer as "update.exe" into the data directory; at the next start the
// shell asks required_update() and, when true, update() starts the installer and the
// program ends. The marker "already_use_update" makes one installer run only once.
//
// The installer is a makeself archive; its version is read from the header line
// `label="Varnel Agent <major>.<minor>.<build>.<revision>"` without running it. It is kept
// and run only with a minisign signature ("update.exe.minisig" beside it) by one of the
// trusted keys whose trusted comment names the same version ("version:<version>"), and only
// when that version is greater than the running one. The signature is checked when the
// installer has been downloaded and again right before it is run.
class UpdateService {
public:
    static constexpr wchar_t INSTALLER_FILE_NAME[] = L"update.exe";
    static constexpr wchar_t SIGNATURE_FILE_NAME[] = L"update.exe.minisig";
    static constexpr wchar_t MARKER_FILE_NAME[] = L"already_use_update";
    // Between two checks of the check thread.
    static constexpr std::chrono::milliseconds CHECK_INTERVAL{600000};
    // The largest installer downloaded; it is written to disk as it arrives.
    static constexpr std::uint64_t INSTALLER_SIZE_LIMIT = std::uint64_t{512} << 20;

    UpdateService(std::weak_ptr<winhttp::SimpleClient> client, std::wstring path, std::wstring api_base,
                  std::vector<crypto::SigningKey> keys = built_in_update_keys());
    // Stops the check thread.
    ~UpdateService();
    UpdateService(const UpdateService&) = delete;
    UpdateService& operator=(const UpdateService&) = delete;

    void set_session_id(const std::wstring& session_id);

    // True when "update.exe" in the directory should be run now. A marker left by the
    // previous start removes the installer, its signature and the marker; an installer that
    // is not newer than the running program, or whose signature the keys do not accept, is
    // deleted with its signature. Never throws for file, version or signature errors (they
    // are logged with their reason).
    static bool required_update(const std::wstring& directory,
                                const std::vector<crypto::SigningKey>& keys = built_in_update_keys());

    // Writes the marker, checks the signature once more (the file may have changed since
    // required_update) and starts "update.exe" of the directory detached with the
    // installer's options "--silent --run". True when the installer was started. A marker
    // that cannot be written, or a signature that no longer holds, starts nothing (the
    // latter deletes the files): the program then starts as usual.
    static bool update(const std::wstring& directory,
                       const std::vector<crypto::SigningKey>& keys = built_in_update_keys());

    // Starts the check thread (first check at once, then every CHECK_INTERVAL); a running
    // one is left alone. Called at session start.
    void start_checking_update();

    // Stops the check thread promptly: a check request, a download in progress and the
    // wait between checks are all cut short, however slow the link. A cut download leaves
    // no "update.exe" (as after a transport failure), so the next check downloads it
    // again. Called at sign-out and by the destructor.
    void stop_checking_update();

    // Downloads the installer from the URL and its signature from signature_address(url),
    // and keeps them as "update.exe" (mode 0700) and "update.exe.minisig" when the
    // signature holds for a newer version; true then. Only an HTTPS address is accepted, or
    // plain HTTP when the API base itself is plain HTTP; a download that starts over HTTPS
    // follows only HTTPS redirects. The session header goes only to the agent API's own
    // origin. A status other than 200, an installer over INSTALLER_SIZE_LIMIT, a missing or
    // refused signature, or an installer that is not newer, is logged with its reason and
    // keeps nothing (false). Transport and file errors (a stop among them) delete what was
    // written and propagate.
    bool download_update(const std::wstring& url);

    // Whether the check thread is running (it ends by itself after a 401).
    bool is_checking() const;

    // The wait between two checks (CHECK_INTERVAL unless changed; tests and benchmarks
    // shorten it). Takes effect from the next wait.
    void set_check_interval(std::chrono::milliseconds interval);
    // The largest installer downloaded (INSTALLER_SIZE_LIMIT unless changed; tests lower it).
    void set_installer_size_limit(std::uint64_t bytes) { size_limit_ = bytes; }

private:
    class Tracked;

    void check_loop();
    // One check; false when the thread should end (401).
    bool check_once();
    bool download(const std::wstring& url, bool for_check_thread);
    // Streams the installer into the file; false (logged) for a status other than 200 or a
    // body over the size limit.
    bool fetch_installer(winhttp::SimpleClient& client, const std::wstring& url, const std::wstring& file,
                         bool for_check_thread);
    // The signature file's text; nothing (logged) for a status other than 200 or a body
    // over crypto::SIGNATURE_FILE_LIMIT.
    std::optional<std::string> fetch_signature(winhttp::SimpleClient& client, const std::wstring& url,
                                               bool for_check_thread);
    std::wstring session_id() const;
    bool stopping() const;

    std::weak_ptr<winhttp::SimpleClient> client_;
    std::wstring path_;
    std::wstring api_base_;
    std::vector<crypto::SigningKey> keys_;
    std::atomic<std::uint64_t> size_limit_{INSTALLER_SIZE_LIMIT};

    // Serialises start_checking_update and stop_checking_update.
    std::mutex control_mutex_;
    mutable std::mutex mutex_;  // guards everything below
    std::wstring session_id_;
    std::chrono::milliseconds interval_ = CHECK_INTERVAL;
    std::condition_variable wake_;
    bool stopping_ = false;
    bool running_ = false;
    std::thread thread_;
    // One download at a time writes "update.exe".
    std::mutex download_mutex_;
    // The requests in flight (check and download), cancelled by a stop.
    std::vector<std::shared_ptr<winhttp::CancelHandle>> in_flight_;
};

namespace details {

// "1.1.0.198" split at the dots; each part is read as a decimal number (leading digits
// only, 0 when none) and kept in 16 bits; missing parts are 0.
Version parse_version(std::wstring_view text);

// "1.1.0.198".
std::wstring version_text(const Version& version);

// The version of the running program, parsed once.
const Version& own_version();

// Whether the installer's version is greater than the running one, in order of
// significance (1.1.0.198 is newer than 1.0.5.0).
bool is_installer_newer(const Version& installer, const Version& own);

// The version a signature's trusted comment names: the blank-separated field
// "version:<major>.<minor>.<build>.<revision>" (one to four parts). Nothing without one.
std::optional<Version> signed_version(std::string_view trusted_comment);

// Where an installer's signature is: the installer's address with ".minisig" appended to
// its path (before any query or fragment), so on the same origin.
std::wstring signature_address(const std::wstring& installer_url);

// Checks the installer against its signature text with the keys: the signature holds, its
// trusted comment names the installer's label version, and that version is newer than
// `own`. The version when all holds; otherwise nothing, with the reason logged at ERROR
// under `function`.
std::optional<Version> check_installer(const std::wstring& installer, std::string_view signature,
                                       const std::vector<crypto::SigningKey>& keys, const Version& own,
                                       const wchar_t* function);

// The version the makeself header of the file carries (its `label="... <version>"` line),
// read without running it. Nothing when the file has no such line. Throws SystemException
// when the file cannot be opened or read (ENOENT when it does not exist).
std::optional<Version> read_installer_version(const std::wstring& file);

}  // namespace details

}  // namespace agent
