#include "model/update_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "details/exception.h"
#include "details/strings.h"
#include "links_updates_support.h"
#include "sandbox_server.h"
#include "support/sandbox.h"
#include "support/signing.h"
#include "winhttp/simple_client.h"

namespace agent::testing {
namespace {

using details::utf8_to_wide;
using details::wide_to_utf8;

// --- versions -----------------------------------------------------------------------------

TEST(Version, ParsedLikeTheStandardConversion) {
    EXPECT_EQ(details::parse_version(L"1.1.0.198"), (Version{1, 1, 0, 198}));
    EXPECT_EQ(details::parse_version(L"2.5"), (Version{2, 5, 0, 0}));
    EXPECT_EQ(details::parse_version(L""), (Version{}));
    EXPECT_EQ(details::parse_version(L"1.x.3rc.4.9"), (Version{1, 0, 3, 4}));
    // Kept in 16 bits.
    EXPECT_EQ(details::parse_version(L"65537.0.0.1"), (Version{1, 0, 0, 1}));
    EXPECT_EQ(details::own_version(), (Version{1, 1, 0, 198}));
}

TEST(Version, NewerOnlyInOrderOfSignificance) {
    const Version own{1, 1, 0, 198};
    EXPECT_TRUE(details::is_installer_newer({1, 1, 0, 199}, own));
    EXPECT_FALSE(details::is_installer_newer({1, 1, 0, 198}, own));
    EXPECT_TRUE(details::is_installer_newer({1, 2, 0, 0}, own));
    EXPECT_TRUE(details::is_installer_newer({2, 0, 0, 0}, own));
    // A greater build does not outweigh a smaller minor: that would be a rollback.
    EXPECT_FALSE(details::is_installer_newer({1, 0, 5, 0}, own));
    EXPECT_FALSE(details::is_installer_newer({1, 0, 0, 65535}, own));
    EXPECT_FALSE(details::is_installer_newer({0, 0, 0, 0}, own));
}

TEST(Version, SignedVersionAndSignatureAddress) {
    EXPECT_EQ(details::signed_version("version:1.1.0.199"), (Version{1, 1, 0, 199}));
    EXPECT_EQ(details::signed_version("timestamp:1765000000\tfile:a.run version:2.0"), (Version{2, 0, 0, 0}));
    EXPECT_EQ(details::signed_version("file:a.run"), std::nullopt);
    EXPECT_EQ(details::signed_version("version:1.1.0.199-beta"), std::nullopt);
    EXPECT_EQ(details::signed_version("release version:1.2"), (Version{1, 2, 0, 0}));
    EXPECT_EQ(details::signature_address(L"https://h/api/v1/client/installer"),
              L"https://h/api/v1/client/installer.minisig");
    EXPECT_EQ(details::signature_address(L"https://h/get?file=a.run#x"), L"https://h/get.minisig?file=a.run#x");
}

// --- the installer on disk ----------------------------------------------------------------------

class InstallerTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        directory = home().data_directory();
        std::filesystem::create_directories(wide_to_utf8(directory));
        signer = std::make_unique<SigningKeyPair>(home().path() / "release-key");
        keys = {signer->key()};
    }

    std::filesystem::path file(const wchar_t* name) const { return wide_to_utf8(directory + name); }
    std::filesystem::path installer() const { return file(UpdateService::INSTALLER_FILE_NAME); }
    std::filesystem::path signature() const { return file(UpdateService::SIGNATURE_FILE_NAME); }
    std::filesystem::path marker() const { return file(UpdateService::MARKER_FILE_NAME); }
    std::filesystem::path output() const { return home().path() / "installer-arguments.txt"; }

    // The version a label names, as a release signs it.
    static std::string comment_of(const std::string& label) {
        return "version:" + label.substr(label.rfind(' ') + 1);
    }

    // A real makeself archive as "update.exe", with its signature beside it as a download
    // leaves them.
    void place_installer(const std::string& label) {
        const std::string bytes = build_installer(home().path() / "work", label, output());
        write_text(installer(), bytes);
        ::chmod(installer().c_str(), 0700);
        write_text(signature(), signer->sign(bytes, comment_of(label)));
    }

    std::wstring directory;
    std::unique_ptr<SigningKeyPair> signer;
    std::vector<crypto::SigningKey> keys;
};

TEST_F(InstallerTest, VersionIsReadFromTheMakeselfHeader) {
    place_installer("Varnel Agent 1.1.0.199");
    EXPECT_EQ(details::read_installer_version(installer().wstring()), (Version{1, 1, 0, 199}));

    place_installer("Varnel Agent 2.0");
    EXPECT_EQ(details::read_installer_version(installer().wstring()), (Version{2, 0, 0, 0}));

    // The archive was not run to read it.
    EXPECT_FALSE(std::filesystem::exists(output()));
}

TEST_F(InstallerTest, HeaderWithoutVersionOrMissingFile) {
    place_installer("Varnel Agent");
    EXPECT_EQ(details::read_installer_version(installer().wstring()), std::nullopt);
    place_installer("Varnel Agent 1.1.0.199-beta");
    EXPECT_EQ(details::read_installer_version(installer().wstring()), std::nullopt);
    write_text(installer(), std::string("\x7f" "ELF\x02\x01\x01\0\0\0", 10) + std::string(40000, 'x'));
    EXPECT_EQ(details::read_installer_version(installer().wstring()), std::nullopt);

    std::filesystem::remove(installer());
    try {
        details::read_installer_version(installer().wstring());
        FAIL() << "no exception";
    } catch (const SystemException& e) {
        EXPECT_EQ(e.code(), static_cast<std::uint32_t>(ENOENT));
    }
}

TEST_F(InstallerTest, RequiredOnlyForANewerSignedInstaller) {
    EXPECT_FALSE(UpdateService::required_update(directory, keys));

    place_installer("Varnel Agent 1.1.0.199");
    EXPECT_TRUE(UpdateService::required_update(directory, keys));
    EXPECT_TRUE(std::filesystem::exists(installer()));
    // The program's own keys did not sign it: it is not run, and goes.
    EXPECT_FALSE(UpdateService::required_update(directory));
    EXPECT_FALSE(std::filesystem::exists(installer()));
    EXPECT_FALSE(std::filesystem::exists(signature()));

    // Older by significance though its build is greater: no rollback.
    place_installer("Varnel Agent 1.0.5.0");
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));

    place_installer("Varnel Agent 1.1.0.198");
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));
}

TEST_F(InstallerTest, AnInstallerChangedOnDiskAfterItsCheckIsNotRun) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_WARN);
    place_installer("Varnel Agent 1.1.0.199");
    std::string bytes = read_text(installer());
    bytes[bytes.size() - 10] ^= 1;
    write_text(installer(), bytes);
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));
    EXPECT_TRUE(log.contains(L"the signature does not match the file"));

    // Changed between the start's check and the run: the run checks once more.
    place_installer("Varnel Agent 1.1.0.199");
    ASSERT_TRUE(UpdateService::required_update(directory, keys));
    write_text(installer(), build_installer(home().path() / "work", "Varnel Agent 1.1.0.199", output()) + "#");
    EXPECT_FALSE(UpdateService::update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));
    EXPECT_FALSE(std::filesystem::exists(marker()));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(output())) << "nothing ran";

    // A signature file gone or grown to megabytes.
    place_installer("Varnel Agent 1.1.0.199");
    std::filesystem::remove(signature());
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));
    place_installer("Varnel Agent 1.1.0.199");
    write_text(signature(), read_text(signature()) + std::string(10 << 20, ' '));
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));
}

TEST_F(InstallerTest, UnreadableVersionIsLoggedAndKeepsTheFiles) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_ERROR);
    place_installer("Varnel Agent");
    write_text(marker(), "");
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_TRUE(std::filesystem::exists(installer()));
    EXPECT_TRUE(std::filesystem::exists(marker()));
    EXPECT_NE(log.text().find(L"agent::UpdateService::required_update"), std::wstring::npos);
}

TEST_F(InstallerTest, UpdateStartsTheInstallerOnceAndTheNextStartCleansUp) {
    place_installer("Varnel Agent 1.1.0.199");
    ASSERT_TRUE(UpdateService::required_update(directory, keys));
    ASSERT_TRUE(UpdateService::update(directory, keys));

    EXPECT_TRUE(std::filesystem::exists(marker()));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output()); }));
    EXPECT_EQ(read_text(output()), "--silent\n--run\n");

    // The next start finds the marker: the files go, nothing runs again.
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(marker()));
    EXPECT_FALSE(std::filesystem::exists(installer()));
    EXPECT_FALSE(std::filesystem::exists(signature()));
}

TEST_F(InstallerTest, InstallerThatCannotBeStartedOrMarkedIsNotRun) {
    EXPECT_FALSE(UpdateService::update(directory, keys));
    place_installer("Varnel Agent 1.1.0.199");
    ::chmod(installer().c_str(), 0600);
    EXPECT_FALSE(UpdateService::update(directory, keys));

    // Without the marker it would run at every start: it must not start at all.
    std::filesystem::remove(marker());
    ::chmod(installer().c_str(), 0700);
    std::filesystem::create_directories(marker() / "in-the-way");
    EXPECT_FALSE(UpdateService::update(directory, keys));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    EXPECT_FALSE(std::filesystem::exists(output()));
}

// --- against the stand-in provider ------------------------------------------------------------

class UpdateServerTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        server = std::make_unique<sandbox::Server>();
        server->start();
        client = direct_client();
        service = std::make_unique<UpdateService>(client, directory, utf8_to_wide(server->api_url()), keys);
        service->set_session_id(utf8_to_wide(server->create_session()));
        installer_bytes = build_installer(home().path() / "work", "Varnel Agent 1.1.0.199", output());
        signature_text = signer->sign(installer_bytes, "version:1.1.0.199");
    }
    void TearDown() override {
        service.reset();
        client.reset();
        server.reset();
        InstallerTest::TearDown();
    }

    static constexpr char CHECK_PATH[] = "/api/v1/client/update";

    std::size_t checks() const { return server->requests(CHECK_PATH).size(); }

    static constexpr char DOWNLOAD_PATH[] = "/api/v1/client/installer";

    std::size_t downloads() const { return server->requests(DOWNLOAD_PATH).size(); }

    std::unique_ptr<sandbox::Server> server;
    std::shared_ptr<winhttp::SimpleClient> client;
    std::unique_ptr<UpdateService> service;
    std::string installer_bytes;
    std::string signature_text;
};

TEST_F(UpdateServerTest, OfferIsDownloadedAndRunAtTheNextStart) {
    server->offer_update(installer_bytes, signature_text);
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return downloads() == 1 && std::filesystem::exists(installer()); }));
    service->stop_checking_update();

    EXPECT_EQ(read_text(installer()), installer_bytes);
    struct stat info {};
    ASSERT_EQ(::stat(installer().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    EXPECT_EQ(read_text(signature()), signature_text);
    EXPECT_EQ(server->requests(DOWNLOAD_PATH + std::string(".minisig")).size(), 1u);

    // Next start.
    ASSERT_TRUE(UpdateService::required_update(directory, keys));
    ASSERT_TRUE(UpdateService::update(directory, keys));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output()); }));
    // The start after the installation.
    EXPECT_FALSE(UpdateService::required_update(directory, keys));
    EXPECT_FALSE(std::filesystem::exists(installer()));
    EXPECT_FALSE(std::filesystem::exists(marker()));
}

TEST_F(UpdateServerTest, ChecksRepeatUntilStoppedAndNoOfferDownloadsNothing) {
    service->set_check_interval(std::chrono::milliseconds(20));
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return checks() >= 3; }));
    service->stop_checking_update();
    EXPECT_FALSE(service->is_checking());
    const std::size_t after_stop = checks();
    EXPECT_EQ(server->requests(CHECK_PATH).front().header("Authorization").rfind("varnel.sid ", 0), 0u);
    EXPECT_EQ(downloads(), 0u);
    EXPECT_FALSE(std::filesystem::exists(installer()));

    // A stopped service can start again (next session).
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return checks() > after_stop; }));
}

TEST_F(UpdateServerTest, WaitingNewerInstallerIsNotDownloadedAgain) {
    place_installer("Varnel Agent 1.1.0.200");
    server->offer_update(installer_bytes, signature_text);
    service->set_check_interval(std::chrono::milliseconds(20));
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return checks() >= 2; }));
    service->stop_checking_update();
    EXPECT_EQ(downloads(), 0u);
    EXPECT_EQ(details::read_installer_version(installer().wstring()), (Version{1, 1, 0, 200}));
}

TEST_F(UpdateServerTest, UnauthorizedEndsTheCheckThread) {
    server->add_fault(fault(CHECK_PATH, 401, R"({"status":401,"message":"Сессия истекла"})"));
    service->set_check_interval(std::chrono::milliseconds(20));
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return !service->is_checking(); }));
    EXPECT_EQ(checks(), 1u);

    // Other failures keep it going.
    server->add_fault(fault(CHECK_PATH, 500, "<html>oops</html>", 2));
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return checks() >= 4; }));
    EXPECT_TRUE(service->is_checking());
}

TEST_F(UpdateServerTest, StopCutsAHangingCheckShort) {
    server->add_fault(fault(CHECK_PATH, 0, {}, 1, std::chrono::seconds(30)));
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return checks() == 1; }));
    const auto begin = std::chrono::steady_clock::now();
    service->stop_checking_update();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(10));
    EXPECT_FALSE(service->is_checking());
}

TEST_F(UpdateServerTest, StopCutsARunningDownloadAndTheNextCheckFetchesItAgain) {
    server->offer_update(installer_bytes, signature_text);
    // A download over a link so slow that waiting for it would hang the exit.
    server->add_fault(fault(DOWNLOAD_PATH, 0, {}, 1, std::chrono::seconds(60)));
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return downloads() == 1; }));
    const auto begin = std::chrono::steady_clock::now();
    service->stop_checking_update();
    EXPECT_LT(std::chrono::steady_clock::now() - begin, std::chrono::seconds(5));
    EXPECT_FALSE(service->is_checking());
    EXPECT_FALSE(std::filesystem::exists(installer()));

    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return downloads() == 2 && std::filesystem::exists(installer()); }));
    service->stop_checking_update();
    EXPECT_EQ(read_text(installer()), installer_bytes);
}

TEST_F(UpdateServerTest, InstallerOfAnotherHostIsAskedWithoutTheSession) {
    sandbox::Server elsewhere;
    elsewhere.start();
    elsewhere.offer_update(installer_bytes, signature_text);
    // The other host asks for a session it was not given: the signature is refused there,
    // and the installer is not fetched at all.
    EXPECT_FALSE(service->download_update(utf8_to_wide(elsewhere.api_url()) + L"/v1/client/installer"));
    const auto asked = elsewhere.requests(DOWNLOAD_PATH + std::string(".minisig"));
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].header("Authorization"), "");
    EXPECT_TRUE(elsewhere.requests(DOWNLOAD_PATH).empty());

    server->offer_update(installer_bytes, signature_text);
    service->download_update(utf8_to_wide(server->api_url()) + L"/v1/client/installer");
    ASSERT_EQ(downloads(), 1u);
    EXPECT_EQ(server->requests(DOWNLOAD_PATH)[0].header("Authorization").rfind("varnel.sid ", 0), 0u);
    EXPECT_EQ(read_text(installer()), installer_bytes);
}

TEST_F(UpdateServerTest, FailedDownloadLeavesNothingBehind) {
    const std::wstring api = utf8_to_wide(server->api_url());
    // Non-200: nothing written.
    EXPECT_FALSE(service->download_update(api + L"/v1/no-such-installer"));
    EXPECT_FALSE(std::filesystem::exists(installer()));

    // Transport failure: the error reaches the thread, and no part of a file stays.
    server->offer_update(installer_bytes, signature_text);
    server->add_fault(fault(DOWNLOAD_PATH, 0, {}, 1));
    EXPECT_THROW(service->download_update(L"http://127.0.0.1:1/update.run"), WinHttpException);
    EXPECT_FALSE(std::filesystem::exists(installer()));
    EXPECT_TRUE(std::filesystem::is_empty(wide_to_utf8(directory)));
}

// Each of these leaves the running version alone: nothing kept, nothing run, and a log line
// that says why.
TEST_F(UpdateServerTest, AnInstallerWithoutAGoodSignatureIsNeitherKeptNorRun) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_WARN);
    const std::wstring url = utf8_to_wide(server->api_url()) + L"/v1/client/installer";
    SigningKeyPair stranger(home().path() / "stranger");
    const std::string older = build_installer(home().path() / "work", "Varnel Agent 1.0.9.500", output());
    std::string changed = installer_bytes;
    changed[changed.size() - 100] ^= 1;
    const std::string signature = signer->sign(installer_bytes, "version:1.1.0.199");
    struct Case {
        const char* what;
        std::string installer;
        std::optional<std::string> signature;
        const wchar_t* reason;
    };
    const Case cases[] = {
        {"no signature", installer_bytes, std::nullopt, L"its signature"},
        {"another key", installer_bytes, stranger.sign(installer_bytes, "version:1.1.0.199"),
         L"not made by a key the program trusts"},
        {"another file", installer_bytes, signer->sign(older, "version:1.1.0.199"),
         L"does not match the file"},
        {"truncated", installer_bytes, signature.substr(0, 120), L"malformed"},
        {"one byte changed", changed, signature, L"does not match the file"},
        {"another version", installer_bytes, signer->sign(installer_bytes, "version:1.1.0.299"),
         L"labelled 1.1.0.199 but signed for 1.1.0.299"},
        {"no version", installer_bytes, signer->sign(installer_bytes, "file:installer.run"), L"names no version"},
        {"older than the running one", older, signer->sign(older, "version:1.0.9.500"),
         L"1.0.9.500 is not newer than 1.1.0.198"},
        {"10 MB signature", installer_bytes, signature + std::string(10 << 20, ' '), L"larger than 4096 bytes"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        server->offer_update(c.installer, c.signature);
        EXPECT_FALSE(service->download_update(url));
        EXPECT_TRUE(std::filesystem::is_empty(wide_to_utf8(directory)));
        EXPECT_TRUE(log.contains(c.reason)) << log.text();
        EXPECT_FALSE(UpdateService::required_update(directory, keys));
    }

    // Over the size bound: not read to the end, nothing kept.
    server->offer_update(installer_bytes, signature);
    service->set_installer_size_limit(installer_bytes.size() - 1);
    EXPECT_FALSE(service->download_update(url));
    EXPECT_TRUE(std::filesystem::is_empty(wide_to_utf8(directory)));
    EXPECT_TRUE(log.contains(L"larger than " + std::to_wstring(installer_bytes.size() - 1) + L" bytes"));
    service->set_installer_size_limit(UpdateService::INSTALLER_SIZE_LIMIT);
    EXPECT_TRUE(service->download_update(url));
}

TEST_F(UpdateServerTest, AnHttpsDownloadFollowsNoRedirectToPlainHttp) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_WARN);
    sandbox::Options options;
    options.tls = true;
    sandbox::Server secure(options);
    secure.start();
    client->set_ca_file(utf8_to_wide(secure.ca_certificate().string()));
    UpdateService update(client, directory, utf8_to_wide(secure.api_url()), keys);
    update.set_session_id(utf8_to_wide(secure.create_session()));
    // The plain server has it all; the secure one only points there.
    server->offer_update(installer_bytes, signature_text);
    const std::string plain = server->api_url() + "/v1/client/installer";
    secure.offer_update(installer_bytes, signature_text);
    auto redirect = fault(DOWNLOAD_PATH, 302, "", 1);
    redirect.location = plain;
    secure.add_fault(redirect);
    EXPECT_THROW(update.download_update(utf8_to_wide(secure.api_url()) + L"/v1/client/installer"), WinHttpException);
    EXPECT_TRUE(log.contains(L"a redirect led away from HTTPS"));
    EXPECT_TRUE(server->requests(DOWNLOAD_PATH).empty());
    EXPECT_TRUE(std::filesystem::is_empty(wide_to_utf8(directory)));

    // To HTTPS it goes on.
    for (const std::string tail : {"", ".minisig"}) {
        auto moved = fault(DOWNLOAD_PATH + tail, 302, "", 1);
        moved.location = secure.api_url() + "/v1/client/installer" + tail;
        secure.add_fault(moved);
    }
    EXPECT_TRUE(update.download_update(utf8_to_wide(secure.api_url()) + L"/v1/client/installer"));
    EXPECT_EQ(secure.requests(DOWNLOAD_PATH).size(), 3u);
}

TEST_F(UpdateServerTest, InstallerOnlyComesOverHttpsUnlessTheApiIsPlainHttp) {
    UpdateService secure(client, directory, L"https://agent.varnel.example/api");
    EXPECT_THROW(secure.download_update(utf8_to_wide(server->base_url()) + L"/api/v1/client/installer"),
                 AgentException);
    EXPECT_THROW(service->download_update(L"file:///etc/passwd"), AgentException);
    EXPECT_THROW(service->download_update(L"ftp://127.0.0.1/update.run"), AgentException);
    EXPECT_THROW(service->download_update(L""), AgentException);
    EXPECT_TRUE(server->requests().empty());
}

}  // namespace
}  // namespace agent::testing
