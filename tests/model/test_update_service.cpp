#include "model/update_service.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cerrno>

#include "details/exception.h"
#include "details/strings.h"
#include "links_updates_support.h"
#include "sandbox_server.h"
#include "support/sandbox.h"
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

TEST(Version, ComponentsAreComparedOneByOne) {
    const Version own{1, 1, 0, 198};
    EXPECT_TRUE(details::is_installer_newer({1, 1, 0, 199}, own));
    EXPECT_FALSE(details::is_installer_newer({1, 1, 0, 198}, own));
    EXPECT_TRUE(details::is_installer_newer({1, 2, 0, 0}, own));
    // Not in order of significance: a greater build wins although the minor is smaller.
    EXPECT_TRUE(details::is_installer_newer({1, 0, 5, 0}, own));
    EXPECT_FALSE(details::is_installer_newer({1, 0, 0, 7}, own));
    EXPECT_FALSE(details::is_installer_newer({0, 0, 0, 0}, own));
}

// --- the installer on disk ----------------------------------------------------------------------

class InstallerTest : public SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        directory = home().data_directory();
        std::filesystem::create_directories(wide_to_utf8(directory));
    }

    std::filesystem::path file(const wchar_t* name) const { return wide_to_utf8(directory + name); }
    std::filesystem::path installer() const { return file(UpdateService::INSTALLER_FILE_NAME); }
    std::filesystem::path marker() const { return file(UpdateService::MARKER_FILE_NAME); }
    std::filesystem::path output() const { return home().path() / "installer-arguments.txt"; }

    // A real makeself archive as "update.exe".
    void place_installer(const std::string& label) {
        write_text(installer(), build_installer(home().path() / "work", label, output()));
        ::chmod(installer().c_str(), 0700);
    }

    std::wstring directory;
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

TEST_F(InstallerTest, RequiredOnlyForANewerInstaller) {
    EXPECT_FALSE(UpdateService::required_update(directory));

    place_installer("Varnel Agent 1.1.0.199");
    EXPECT_TRUE(UpdateService::required_update(directory));
    EXPECT_TRUE(std::filesystem::exists(installer()));

    place_installer("Varnel Agent 1.0.5.0");
    EXPECT_TRUE(UpdateService::required_update(directory));

    place_installer("Varnel Agent 1.1.0.198");
    EXPECT_FALSE(UpdateService::required_update(directory));
    EXPECT_FALSE(std::filesystem::exists(installer()));
}

TEST_F(InstallerTest, UnreadableVersionIsLoggedAndKeepsTheFiles) {
    CaptureLogger& log = CaptureLogger::install(details::LEVEL_ERROR);
    place_installer("Varnel Agent");
    write_text(marker(), "");
    EXPECT_FALSE(UpdateService::required_update(directory));
    EXPECT_TRUE(std::filesystem::exists(installer()));
    EXPECT_TRUE(std::filesystem::exists(marker()));
    EXPECT_NE(log.text().find(L"agent::UpdateService::required_update"), std::wstring::npos);
}

TEST_F(InstallerTest, UpdateStartsTheInstallerOnceAndTheNextStartCleansUp) {
    place_installer("Varnel Agent 1.1.0.199");
    ASSERT_TRUE(UpdateService::required_update(directory));
    ASSERT_TRUE(UpdateService::update(directory));

    EXPECT_TRUE(std::filesystem::exists(marker()));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output()); }));
    EXPECT_EQ(read_text(output()), "--silent\n--run\n");

    // The next start finds the marker: both files go, nothing runs again.
    EXPECT_FALSE(UpdateService::required_update(directory));
    EXPECT_FALSE(std::filesystem::exists(marker()));
    EXPECT_FALSE(std::filesystem::exists(installer()));
}

TEST_F(InstallerTest, InstallerThatCannotBeStartedIsFalse) {
    EXPECT_FALSE(UpdateService::update(directory));
    place_installer("Varnel Agent 1.1.0.199");
    ::chmod(installer().c_str(), 0600);
    EXPECT_FALSE(UpdateService::update(directory));
}

// --- against the stand-in provider ------------------------------------------------------------

class UpdateServerTest : public InstallerTest {
protected:
    void SetUp() override {
        InstallerTest::SetUp();
        server = std::make_unique<sandbox::Server>();
        server->start();
        client = direct_client();
        service = std::make_unique<UpdateService>(client, directory, utf8_to_wide(server->api_url()));
        service->set_session_id(utf8_to_wide(server->create_session()));
        installer_bytes = build_installer(home().path() / "work", "Varnel Agent 1.1.0.199", output());
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
};

TEST_F(UpdateServerTest, OfferIsDownloadedAndRunAtTheNextStart) {
    server->offer_update(installer_bytes);
    service->start_checking_update();
    ASSERT_TRUE(wait_for([&] { return downloads() == 1 && std::filesystem::exists(installer()); }));
    service->stop_checking_update();

    EXPECT_EQ(read_text(installer()), installer_bytes);
    struct stat info {};
    ASSERT_EQ(::stat(installer().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0700u);

    // Next start.
    ASSERT_TRUE(UpdateService::required_update(directory));
    ASSERT_TRUE(UpdateService::update(directory));
    ASSERT_TRUE(wait_for([&] { return std::filesystem::exists(output()); }));
    // The start after the installation.
    EXPECT_FALSE(UpdateService::required_update(directory));
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
    server->offer_update(installer_bytes);
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
    server->offer_update(installer_bytes);
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
    elsewhere.offer_update(installer_bytes);
    service->download_update(utf8_to_wide(elsewhere.api_url()) + L"/v1/client/installer");
    ASSERT_EQ(elsewhere.requests(DOWNLOAD_PATH).size(), 1u);
    EXPECT_EQ(elsewhere.requests(DOWNLOAD_PATH)[0].header("Authorization"), "");

    server->offer_update(installer_bytes);
    service->download_update(utf8_to_wide(server->api_url()) + L"/v1/client/installer");
    ASSERT_EQ(downloads(), 1u);
    EXPECT_EQ(server->requests(DOWNLOAD_PATH)[0].header("Authorization").rfind("varnel.sid ", 0), 0u);
    EXPECT_EQ(read_text(installer()), installer_bytes);
}

TEST_F(UpdateServerTest, FailedDownloadLeavesNoInstaller) {
    const std::wstring api = utf8_to_wide(server->api_url());
    // Non-200: nothing written.
    EXPECT_NO_THROW(service->download_update(api + L"/v1/no-such-installer"));
    EXPECT_FALSE(std::filesystem::exists(installer()));

    // Transport failure: an earlier file is removed too, and the error reaches the thread.
    place_installer("Varnel Agent 1.1.0.199");
    EXPECT_THROW(service->download_update(L"http://127.0.0.1:1/update.run"), WinHttpException);
    EXPECT_FALSE(std::filesystem::exists(installer()));
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
