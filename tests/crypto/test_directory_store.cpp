#include <gtest/gtest.h>

#include <sys/stat.h>

#include <fstream>

#include "crypto/certificate_store.h"
#include "crypto/decrypt.h"
#include "crypto/directory_store.h"
#include "details/exception.h"
#include "details/strings.h"
#include "fixtures.h"

namespace {

using agent::crypto::Certificate;
using agent::crypto::DirectoryStore;
using agent::crypto::StaticPinPrompt;
using agent::testing::crypto::capture_log;
using agent::testing::crypto::certificate_directory;
using agent::testing::crypto::make;
using agent::testing::crypto::same;
using namespace agent::certgen;

class DirectoryStoreTest : public agent::testing::SandboxTest {
protected:
    void SetUp() override {
        SandboxTest::SetUp();
        directory = certificate_directory();
    }

    std::vector<Certificate> all(agent::crypto::IPinPrompt* prompt = nullptr) {
        DirectoryStore store(agent::details::utf8_to_wide(directory.string()));
        return store.enumerate(prompt);
    }

    std::filesystem::path directory;
};

TEST_F(DirectoryStoreTest, ReadsEveryFormatInNameOrder) {
    const UserCertificate a = make(UserOptions::for_kind(SubjectKind::Person, 1));
    const UserCertificate b = make(UserOptions::for_kind(SubjectKind::Organization, 2));
    const UserCertificate c = make(UserOptions::for_kind(SubjectKind::Entrepreneur, 3));
    const UserCertificate d = make(UserOptions::for_kind(SubjectKind::Person, 4));
    Pkcs12Options with_pin;
    with_pin.pin = "1234";
    with_pin.chain = {agent::testing::crypto::authority().certificate()};
    d.write_pkcs12(directory / "d.PFX", with_pin);  // the chain's authority is not listed
    c.write_pem(directory / "c.pem");
    b.write_pem(directory / "b.crt", false);
    write_bytes(directory / "b.key", agent::testing::crypto::bytes_of(b.key_pem()));
    a.write_pkcs12(directory / "a.p12");

    const std::vector<Certificate> listed = all();
    ASSERT_EQ(listed.size(), 4u);
    EXPECT_TRUE(same(listed[0], a));
    EXPECT_TRUE(same(listed[1], b));
    EXPECT_TRUE(same(listed[2], c));
    EXPECT_TRUE(same(listed[3], d));
    for (const Certificate& certificate : listed) {
        EXPECT_TRUE(certificate.has_private_key());
        EXPECT_EQ(certificate.store_name(), agent::details::utf8_to_wide(directory.string()));
    }
}

TEST_F(DirectoryStoreTest, PemWithoutKeyIsListedWithoutOne) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    made.write_pem(directory / "alone.cer", false);
    const std::vector<Certificate> listed = all();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_FALSE(listed[0].has_private_key());
    EXPECT_TRUE(agent::crypto::list_sign_in_certificates().empty());
}

TEST_F(DirectoryStoreTest, BadFilesAreSkippedWithAnErrorAndNeverHideGoodOnes) {
    auto& log = capture_log();
    const UserCertificate good = make(UserOptions::for_kind(SubjectKind::Person));
    const std::vector<std::uint8_t> p12 = good.pkcs12();
    write_bytes(directory / "1-truncated.p12", std::vector<std::uint8_t>(p12.begin(), p12.begin() + p12.size() / 2));
    write_bytes(directory / "2-garbage.pfx", agent::testing::crypto::bytes_of("not a PKCS#12 file at all"));
    write_bytes(directory / "3-empty.pem", {});
    write_bytes(directory / "4-text.pem", agent::testing::crypto::bytes_of("-----BEGIN CERTIFICATE-----\nAAAA\n"));
    std::filesystem::create_symlink(directory / "nowhere", directory / "5-dangling.p12");
    ASSERT_EQ(::mkfifo((directory / "6-fifo.p12").c_str(), 0600), 0);  // must not block the listing
    std::filesystem::create_directory(directory / "7-folder.p12");
    write_bytes(directory / "8-huge.p12", std::vector<std::uint8_t>(DirectoryStore::MAX_FILE_SIZE + 1, 0x30));
    good.write_pkcs12(directory / "9-good.p12");

    const std::vector<Certificate> listed = all();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(same(listed[0], good));
    for (const char* name : {"1-truncated", "2-garbage", "3-empty", "4-text", "5-dangling", "6-fifo", "7-folder",
                             "8-huge"})
        EXPECT_EQ(log.lines_with(agent::details::utf8_to_wide(name)).size(), 1u) << name;
    EXPECT_EQ(log.lines_with(L"| ERROR |").size(), 8u);
}

TEST_F(DirectoryStoreTest, DuplicatesAreListedOnceWithTheirKey) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    made.write_pem(directory / "a-public.pem", false);
    made.write_pkcs12(directory / "b-copy.p12");
    made.write_pem(directory / "c-copy.pem");
    const std::vector<Certificate> listed = all();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(listed[0].has_private_key());
    EXPECT_EQ(listed[0].private_key()->location(), agent::details::utf8_to_wide((directory / "b-copy.p12").string()));
}

TEST_F(DirectoryStoreTest, ThousandsOfUnrelatedFilesAreIgnored) {
    for (int i = 0; i < 3000; ++i)
        std::ofstream(directory / ("note-" + std::to_string(i) + ".txt")) << "x";
    make(UserOptions::for_kind(SubjectKind::Person)).write_pkcs12(directory / "user.p12");
    EXPECT_EQ(all().size(), 1u);
}

TEST_F(DirectoryStoreTest, MissingDirectoryIsEmpty) {
    std::filesystem::remove_all(directory);
    EXPECT_TRUE(all().empty());
    EXPECT_TRUE(DirectoryStore(L"").enumerate(nullptr).empty());
}

TEST_F(DirectoryStoreTest, EncryptedCertificateNeedsThePinToBeListed) {
    auto& log = capture_log();
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    Pkcs12Options options;
    options.pin = "secret";
    options.encrypt_certificate = true;
    made.write_pkcs12(directory / "locked.p12", options);

    EXPECT_TRUE(all().empty());
    EXPECT_EQ(log.lines_with(L"locked.p12").size(), 1u);

    StaticPinPrompt wrong(L"guess");
    EXPECT_TRUE(all(&wrong).empty());
    EXPECT_EQ(wrong.asked(), 1);

    StaticPinPrompt right(L"secret");
    const std::vector<Certificate> listed = all(&right);
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(same(listed[0], made));
    EXPECT_TRUE(listed[0].has_private_key());
}

// A prompt that counts, and lets the listing ask again after a wrong PIN.
class RetryingPrompt : public agent::crypto::IPinPrompt {
public:
    explicit RetryingPrompt(std::vector<std::wstring> answers) : answers_(std::move(answers)) {}
    std::optional<std::wstring> ask_pin(const agent::crypto::PinRequest&) override {
        if (asked_ >= answers_.size())
            return std::nullopt;
        return answers_[asked_++];
    }
    bool pin_refused(const agent::crypto::PinRequest&) override {
        ++refused_;
        return true;
    }
    std::size_t asked_ = 0;
    int refused_ = 0;

private:
    std::vector<std::wstring> answers_;
};

TEST_F(DirectoryStoreTest, ALockedFileIsAskedOnceAndRememberedWithoutItsKey) {
    const UserCertificate made = make(UserOptions::for_kind(SubjectKind::Person));
    Pkcs12Options options;
    options.pin = "пин 5678";
    options.encrypt_certificate = true;
    made.write_pkcs12(directory / "locked.p12", options);
    const std::filesystem::path record = directory / ".locked.p12.listing";

    // A mistyped PIN is asked again; the right one lists the file and remembers it.
    RetryingPrompt prompt({L"guess", L"пин 5678"});
    ASSERT_EQ(all(&prompt).size(), 1u);
    EXPECT_EQ(prompt.asked_, 2u);
    EXPECT_EQ(prompt.refused_, 1);
    const std::string remembered = agent::testing::read_text(record);
    EXPECT_NE(remembered.find("BEGIN CERTIFICATE"), std::string::npos);
    EXPECT_EQ(remembered.find("PRIVATE KEY"), std::string::npos);
    EXPECT_EQ(remembered.find("5678"), std::string::npos);
    struct stat info {};
    ASSERT_EQ(::stat(record.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    // Later listings need no PIN, not even a prompt; the key still needs it.
    const std::vector<Certificate> listed = all();
    ASSERT_EQ(listed.size(), 1u);
    EXPECT_TRUE(same(listed[0], made));
    ASSERT_TRUE(listed[0].has_private_key());
    const auto challenge = envelope(made.certificate(), {1, 2, 3});
    EXPECT_THROW(agent::crypto::decrypt(listed[0], challenge, nullptr), agent::CryptoException);
    StaticPinPrompt right(L"пин 5678");
    EXPECT_EQ(agent::crypto::decrypt(listed[0], challenge, &right), (std::vector<std::uint8_t>{1, 2, 3}));

    // Another file under the same name is asked for again; a record that does not parse is
    // only a question more.
    const UserCertificate other = make(UserOptions::for_kind(SubjectKind::Person, 9));
    other.write_pkcs12(directory / "locked.p12", options);
    StaticPinPrompt again(L"пин 5678");
    ASSERT_EQ(all(&again).size(), 1u);
    EXPECT_EQ(again.asked(), 1);
    EXPECT_TRUE(same(all()[0], other));
    agent::testing::write_text(record, agent::testing::read_text(record).substr(0, 120));
    EXPECT_TRUE(all().empty());
    RetryingPrompt cancelled({});
    EXPECT_TRUE(all(&cancelled).empty());
    EXPECT_EQ(cancelled.refused_, 0);
}

TEST_F(DirectoryStoreTest, SignInListingKeepsOnlyUsableQualifiedCertificates) {
    auto& log = capture_log();
    const UserCertificate person = make(UserOptions::for_kind(SubjectKind::Person, 1));
    const UserCertificate organisation = make(UserOptions::for_kind(SubjectKind::Organization, 2));
    person.write_pkcs12(directory / "a-person.p12");
    organisation.write_pem(directory / "b-organisation.pem");
    make(UserOptions::for_kind(SubjectKind::Person, 3).expired()).write_pkcs12(directory / "c-expired.p12");
    make(UserOptions::for_kind(SubjectKind::Person, 4).not_yet_valid()).write_pkcs12(directory / "d-future.p12");
    make(UserOptions::for_kind(SubjectKind::Person, 5).without_private_key()).write_pkcs12(directory / "e-nokey.p12");
    UserOptions plain = UserOptions::for_kind(SubjectKind::Person, 6);
    plain.snils.reset();
    make(plain).write_pkcs12(directory / "f-plain.p12");
    // A certificate whose authority key identifier cannot be read is skipped on its own.
    UserOptions broken = UserOptions::for_kind(SubjectKind::Person, 7);
    broken.authority_key_id = false;
    broken.extra_extensions = {{"2.5.29.35", {0xFF, 0x00}}};
    make(broken).write_pkcs12(directory / "g-broken.p12");

    const std::vector<Certificate> listed = agent::crypto::list_sign_in_certificates();
    ASSERT_EQ(listed.size(), 2u);
    EXPECT_TRUE(same(listed[0], person));
    EXPECT_TRUE(same(listed[1], organisation));
    EXPECT_EQ(log.lines_with(L"d2i_AUTHORITY_KEYID").size(), 1u);
}

}  // namespace
