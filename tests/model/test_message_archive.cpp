// The message archive against real SQLite files: what the list and the stream put in comes
// back in the list's order, the server's pages reconcile it, search finds words as users type
// them, and damaged files, unwritable folders and a second process are survived.
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "capture_logger.h"
#include "client_fixture.h"
#include "model/message_archive.h"
#include "model/message_service.h"

namespace agent::testing {
namespace {

namespace fs = std::filesystem;

Message make(int n, const std::wstring& subject = L"", const std::wstring& body = L"", bool read = false) {
    Message message;
    message.id = L"m" + std::to_wstring(n);
    message.subject = subject.empty() ? L"Сообщение " + std::to_wstring(n) : subject;
    message.body = body.empty() ? L"Текст " + std::to_wstring(n) : body;
    message.organization = L"ИФНС России № 46";
    message.read = read;
    // One a minute, n = 0 first: a greater n is newer.
    message.created.kind = DateTime::Local;
    message.created.year = 2026;
    message.created.month = 11;
    message.created.day = 1 + n / 1440;
    message.created.hour = static_cast<std::uint8_t>(n / 60 % 24);
    message.created.minute = static_cast<std::uint8_t>(n % 60);
    return message;
}

// Newest first, as a server page is.
std::vector<Message> page(int newest, int oldest) {
    std::vector<Message> messages;
    for (int n = newest; n >= oldest; --n)
        messages.push_back(make(n));
    return messages;
}

std::vector<std::wstring> ids(const std::vector<Message>& messages) {
    std::vector<std::wstring> result;
    for (const Message& message : messages)
        result.push_back(message.id);
    return result;
}

class ArchiveTest : public SandboxTest {
protected:
    std::wstring file() const { return MessageArchive::file_for(home().data_directory(), L"https://agent.example:8443/api"); }
    fs::path path() const { return fs::path(details::wide_to_utf8(file())); }
};

TEST_F(ArchiveTest, KeepsWhatCameInTheListsOrderAcrossRunsInAPrivateFile) {
    {
        auto archive = MessageArchive::open(file(), L"user-1");
        EXPECT_TRUE(archive->add_page(page(59, 30), true, false) == false);
        // The stream brings two, one of them twice; a body with markup stays as it came.
        Message marked = make(61, L"Разметка", L"<b>жирный</b> [ссылка](https://example.com/a)");
        archive->add({make(60), marked, make(60)});
        archive->mark_read(L"m45");
        archive->set_place({45, 1200});
    }
    EXPECT_EQ(path().filename(), "messages-agent.example_8443.db");
    struct stat info {};
    ASSERT_EQ(::stat(path().c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 0777, 0600u);

    auto archive = MessageArchive::open(file(), L"user-1");
    EXPECT_EQ(archive->size(), 32u);
    const std::vector<Message> newest = archive->newest(3);
    EXPECT_EQ(ids(newest), (std::vector<std::wstring>{L"m61", L"m60", L"m59"}));
    EXPECT_EQ(newest[0].body, L"<b>жирный</b> [ссылка](https://example.com/a)");
    EXPECT_EQ(newest[2], make(59)) << "every field comes back as it went in";
    EXPECT_EQ(ids(archive->older_than(L"m32", 5)), (std::vector<std::wstring>{L"m31", L"m30"}));
    EXPECT_TRUE(archive->older_than(L"m30", 5).empty());
    EXPECT_TRUE(archive->older_than(L"unknown", 5).empty());
    EXPECT_TRUE(archive->search(L"m45", 5).empty());
    EXPECT_TRUE(archive->older_than(L"m46", 1).at(0).read);
    // The place is the session's, not the file's.
    EXPECT_EQ(archive->place().rows, 0u);

    // Another user's sign-in finds nothing of the first one's.
    auto other = MessageArchive::open(file(), L"user-2");
    EXPECT_EQ(other->size(), 0u);
}

TEST_F(ArchiveTest, TheServersPagesAreTheTruthForTheTimeTheyCover) {
    auto archive = MessageArchive::open(file(), L"user");
    archive->add_page(page(99, 70), true, false);
    archive->add_page(page(69, 40), false, false);
    ASSERT_EQ(archive->size(), 60u);

    // Since then: 95 and 80 were withdrawn, 90 was read elsewhere, 100 and 101 are new.
    std::vector<Message> first = page(101, 71);
    std::erase_if(first, [](const Message& m) { return m.id == L"m95" || m.id == L"m80"; });
    for (Message& m : first)
        m.read = m.id == L"m90";
    EXPECT_TRUE(archive->add_page(first, true, false)) << "the page meets what the archive knew";
    EXPECT_FALSE(archive->contains(L"m95"));
    EXPECT_FALSE(archive->contains(L"m80"));
    EXPECT_TRUE(archive->contains(L"m70")) << "older than the page: not the page's to judge";
    EXPECT_TRUE(archive->newest(200).size() == 60u);
    EXPECT_TRUE(archive->older_than(L"m91", 1).at(0).read);

    // An older page withdraws within its own stretch only; the last one also below it.
    std::vector<Message> older = page(69, 50);
    std::erase_if(older, [](const Message& m) { return m.id == L"m60"; });
    archive->add_page(older, false, true);
    EXPECT_FALSE(archive->contains(L"m60"));
    EXPECT_FALSE(archive->contains(L"m49")) << "nothing is older than the last page";
    EXPECT_TRUE(archive->contains(L"m69"));

    // A first page with nothing known: a gap may lie behind it.
    EXPECT_FALSE(archive->add_page(page(300, 271), true, false));
    // The server has no message at all any more.
    archive->add_page({}, true, true);
    EXPECT_EQ(archive->size(), 0u);
}

TEST_F(ArchiveTest, KeepsTheNewestTenThousandAndTheirWordsOnly) {
    auto archive = MessageArchive::open(file(), L"user");
    std::vector<Message> batch;
    for (int n = 0; n < static_cast<int>(MessageArchive::CAPACITY) + 50; ++n)
        batch.push_back(make(n, L"", n == 10 ? L"Уникальное слово" : n == 10020 ? L"Уникальное второе" : L""));
    archive->add(batch);
    EXPECT_EQ(archive->size(), MessageArchive::CAPACITY);
    EXPECT_FALSE(archive->contains(L"m49"));
    EXPECT_TRUE(archive->contains(L"m50"));
    EXPECT_EQ(ids(archive->search(L"уникальн", 10)), std::vector<std::wstring>{L"m10020"})
        << "the words of a message that went are gone with it";

    // A body as long as a book is kept as the list shows it.
    archive->add({make(20000, L"Длинное", std::wstring(50000, L'я'))});
    EXPECT_EQ(archive->newest(1).at(0).body.size(), MessageArchive::MAX_BODY + 1);
}

TEST_F(ArchiveTest, FindsWordsByTheirBeginningWhateverTheCaseOrTheLetterYo) {
    auto archive = MessageArchive::open(file(), L"user");
    archive->add({
        make(1, L"Требование о представлении пояснений", L"По декларации по НДС за III квартал"),
        make(2, L"Новогодняя ёлка", L"Приглашаем на праздник"),
        make(3, L"Протокол", L"<a href=\"https://example.com\">Ссылка</a> на документ"),
        make(4, L"Письмо", L"Банк «Б» сообщает: счёт открыт"),
    });
    auto found = [&](const std::wstring& query) { return ids(archive->search(query, 10)); };
    EXPECT_EQ(found(L"треб"), std::vector<std::wstring>{L"m1"});
    EXPECT_EQ(found(L"ТРЕБОВАНИЕ ндс"), std::vector<std::wstring>{L"m1"}) << "every word is needed";
    EXPECT_TRUE(found(L"требование елка").empty());
    EXPECT_EQ(found(L"елка"), std::vector<std::wstring>{L"m2"});
    EXPECT_EQ(found(L"счет"), std::vector<std::wstring>{L"m4"});
    EXPECT_EQ(found(L"ифнс"), (std::vector<std::wstring>{L"m4", L"m3", L"m2", L"m1"})) << "the sender, newest first";
    EXPECT_EQ(found(L"ссылк"), std::vector<std::wstring>{L"m3"});
    EXPECT_TRUE(found(L"href").empty()) << "markup is not a word of the message";
    EXPECT_TRUE(found(L"вание").empty()) << "a word is found by its beginning";
    // What the user types is never a query of its own.
    for (const std::wstring query : {L"", L"   ", L"\"", L"NOT", L"треб*", L"a OR b", L"(", L"^треб", L"subject:треб"})
        EXPECT_NO_THROW(archive->search(query, 10)) << details::wide_to_utf8(query);
    EXPECT_EQ(found(L"«треб»"), std::vector<std::wstring>{L"m1"});
}

TEST_F(ArchiveTest, ADamagedOrForeignFileIsMovedAsideAndAnUnwritableFolderLeavesOneInMemory) {
    auto& log = CaptureLogger::install(details::LEVEL_WARN);
    write_text(path(), std::string(8192, 'x'));
    {
        auto archive = MessageArchive::open(file(), L"user");
        EXPECT_EQ(archive->file(), file());
        archive->add({make(1)});
        EXPECT_EQ(archive->size(), 1u);
    }
    EXPECT_EQ(read_text(path().string() + ".corrupt"), std::string(8192, 'x'));
    EXPECT_TRUE(log.contains(L".corrupt"));

    // Someone else's SQLite database at our file's place.
    fs::remove(path());
    {
        sqlite3* db = nullptr;
        ASSERT_EQ(sqlite3_open(path().c_str(), &db), SQLITE_OK);
        sqlite3_exec(db, "CREATE TABLE recipes(name TEXT); INSERT INTO recipes VALUES('борщ');", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    auto archive = MessageArchive::open(file(), L"user");
    EXPECT_EQ(archive->size(), 0u);
    archive->add({make(2)});
    EXPECT_TRUE(archive->contains(L"m2"));
    EXPECT_TRUE(fs::exists(path().string() + ".corrupt"));

    // A place the archive cannot be written to (a file where its folder should be; a
    // read-only folder is no obstacle to root): memory, one WARN, the list still works.
    const fs::path blocked = home().path() / "blocked";
    write_text(blocked, "a file");
    auto memory = MessageArchive::open(details::utf8_to_wide((blocked / "messages.db").string()), L"user");
    EXPECT_TRUE(memory->file().empty());
    memory->add({make(3)});
    EXPECT_EQ(memory->newest(5).size(), 1u);
    EXPECT_TRUE(log.contains(L"cannot be kept"));
}

// A real small file system that fills up (root can mount one; elsewhere the case is skipped).
TEST_F(ArchiveTest, AFullDiskCostsTheNewMessagesOnlyWithOneWarning) {
    const fs::path disk = home().path() / "disk";
    fs::create_directories(disk);
    const std::string command = "mount -t tmpfs -o size=192k tmpfs '" + disk.string() + "' 2>/dev/null";
    if (::geteuid() != 0 || std::system(command.c_str()) != 0)
        GTEST_SKIP() << "no small file system can be mounted here";
    auto& log = CaptureLogger::install(details::LEVEL_WARN);
    {
        auto archive = MessageArchive::open(details::utf8_to_wide((disk / "messages.db").string()), L"user");
        ASSERT_FALSE(archive->file().empty());
        std::size_t kept = 0;
        for (int n = 0; n < 400 && archive->writing(); ++n) {
            archive->add({make(n, L"", std::wstring(1000, L'ж'))});
            kept = archive->size();
        }
        EXPECT_FALSE(archive->writing()) << "192 KiB hold 400 KiB of messages";
        archive->add({make(1000)});
        archive->mark_read(L"m1");
        EXPECT_EQ(archive->size(), kept) << "what was in stays readable";
        EXPECT_EQ(archive->newest(1).size(), 1u);
        EXPECT_EQ(log.matching(L"was not written").size(), 1u);
    }
    std::system(("umount '" + disk.string() + "'").c_str());
}

TEST_F(ArchiveTest, TwoProcessesWriteTheSameFileAtOnce) {
    const std::wstring name = file();
    MessageArchive::open(name, L"user");  // made before the two start
    const pid_t child = ::fork();
    ASSERT_GE(child, 0);
    const int base = child == 0 ? 0 : 1000;
    auto archive = MessageArchive::open(name, L"user");
    for (int n = 0; n < 300; ++n) {
        archive->add({make(base + n)});
        archive->newest(30);
    }
    if (child == 0)
        ::_exit(archive->size() >= 300 ? 0 : 1);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(MessageArchive::open(name, L"user")->size(), 600u);
}

class ArchiveClientTest : public ClientTest {};

TEST_F(ArchiveClientTest, ARememberedSessionKeepsItOnDiskAndTheSignOutTakesItAway) {
    auto agent = create();
    agent->authenticate(wide(sandbox::Server::DEMO_LOGIN), wide(sandbox::Server::DEMO_PASSWORD), true);
    const std::wstring file = agent->archive()->file();
    ASSERT_FALSE(file.empty());
    // Reconciled with the stand-in's list: 45 demo messages, one of them withdrawn later.
    MessageReader reader = agent->message_service().create_reader(30);
    bool first = true;
    while (!reader.finished()) {
        agent->archive()->add_page(reader.get_messages(), first, reader.finished());
        first = false;
    }
    EXPECT_EQ(agent->archive()->size(), server().messages().size());
    const std::string newest = server().messages().front().id;
    ASSERT_TRUE(server().remove_message(server().messages().at(1).id));
    MessageReader again = agent->message_service().create_reader(30);
    agent->archive()->add_page(again.get_messages(), true, again.finished());
    EXPECT_EQ(agent->archive()->size(), server().messages().size());

    // The next start finds it.
    agent.reset();
    agent = create();
    ASSERT_TRUE(agent->has_session());
    EXPECT_EQ(agent->archive()->newest(1).at(0).id, wide(newest));

    agent->signout();
    EXPECT_FALSE(fs::exists(details::wide_to_utf8(file)));
    EXPECT_EQ(agent->archive()->size(), 0u);

    // Not remembered: nothing on disk.
    agent->authenticate(wide(sandbox::Server::DEMO_LOGIN), wide(sandbox::Server::DEMO_PASSWORD), false);
    EXPECT_TRUE(agent->archive()->file().empty());
    agent->archive()->add({make(1)});
    EXPECT_FALSE(fs::exists(details::wide_to_utf8(file)));
}

}  // namespace
}  // namespace agent::testing
