#include "model/message_archive.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <cstdio>
#include <stdexcept>
#include <unordered_set>

#include "details/logger.h"
#include "details/strings.h"

namespace agent {

using details::utf8_to_wide;
using details::wide_to_utf8;

namespace {

constexpr wchar_t OPEN[] = L"agent::MessageArchive::open";
constexpr wchar_t WRITE[] = L"agent::MessageArchive::write";
constexpr wchar_t READ[] = L"agent::MessageArchive::read";

// "VRNL": what marks a database as ours.
constexpr int APPLICATION_ID = 0x56524E4C;

// The schema, one step per version: step i takes a database of version i to version i + 1.
const char* const MIGRATIONS[] = {
    // 0 -> 1
    "CREATE TABLE meta(key TEXT PRIMARY KEY, value TEXT NOT NULL) WITHOUT ROWID;"
    "CREATE TABLE messages("
    "  row INTEGER PRIMARY KEY,"
    "  id TEXT NOT NULL UNIQUE,"
    "  created INTEGER NOT NULL,"
    "  created_kind INTEGER NOT NULL,"
    "  read INTEGER NOT NULL,"
    "  priority INTEGER NOT NULL,"
    "  channel TEXT NOT NULL,"
    "  organization TEXT NOT NULL,"
    "  subject TEXT NOT NULL,"
    "  body TEXT NOT NULL,"
    "  link TEXT NOT NULL,"
    "  icon TEXT NOT NULL);"
    "CREATE INDEX messages_by_time ON messages(created, row);"
    // The words only: the text itself is in messages.
    "CREATE VIRTUAL TABLE message_words USING fts5(subject, body, organization, content='',"
    "  tokenize='unicode61 remove_diacritics 2', prefix='2 3');",
};
static_assert(std::size(MIGRATIONS) == MessageArchive::SCHEMA_VERSION);

constexpr char COLUMNS[] = "row, id, created, created_kind, read, priority, channel, organization, subject, body, link, icon";

class ArchiveError : public std::runtime_error {
public:
    ArchiveError(int code, const std::string& text) : std::runtime_error(text), code_(code) {}
    int code() const noexcept { return code_; }

private:
    int code_;
};

[[noreturn]] void fail(sqlite3* db, int code, const char* what) {
    throw ArchiveError(code, std::string(what) + ": " + (db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code)));
}

void exec(sqlite3* db, const char* sql) {
    char* error = nullptr;
    const int code = sqlite3_exec(db, sql, nullptr, nullptr, &error);
    if (code != SQLITE_OK) {
        std::string text = error != nullptr ? error : sqlite3_errstr(code);
        sqlite3_free(error);
        throw ArchiveError(code, text);
    }
}

// One prepared statement, reset and unbound when the scope that used it ends.
class Statement {
public:
    Statement(sqlite3* db, const std::string& sql) : db_(db) {
        const int code = sqlite3_prepare_v3(db, sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT, &statement_, nullptr);
        if (code != SQLITE_OK)
            fail(db, code, "prepare");
    }
    ~Statement() { sqlite3_finalize(statement_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    class Use {
    public:
        explicit Use(Statement& statement) : s_(statement) {}
        ~Use() {
            sqlite3_reset(s_.statement_);
            sqlite3_clear_bindings(s_.statement_);
        }
        Use& bind(int index, std::int64_t value) {
            check(sqlite3_bind_int64(s_.statement_, index, value));
            return *this;
        }
        Use& bind(int index, const std::wstring& text) {
            const std::string utf8 = wide_to_utf8(text);
            check(sqlite3_bind_text(s_.statement_, index, utf8.data(), static_cast<int>(utf8.size()), SQLITE_TRANSIENT));
            return *this;
        }
        Use& bind(int index, const std::string& text) {
            check(sqlite3_bind_text(s_.statement_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT));
            return *this;
        }
        // True while there is a row.
        bool step() {
            const int code = sqlite3_step(s_.statement_);
            if (code == SQLITE_ROW)
                return true;
            if (code != SQLITE_DONE)
                fail(s_.db_, code, "step");
            return false;
        }
        std::int64_t integer(int column) const { return sqlite3_column_int64(s_.statement_, column); }
        std::wstring text(int column) const {
            const auto* data = reinterpret_cast<const char*>(sqlite3_column_text(s_.statement_, column));
            return data == nullptr ? std::wstring()
                                   : utf8_to_wide(std::string_view(data, sqlite3_column_bytes(s_.statement_, column)));
        }

    private:
        void check(int code) {
            if (code != SQLITE_OK)
                fail(s_.db_, code, "bind");
        }
        Statement& s_;
    };

private:
    sqlite3* db_;
    sqlite3_stmt* statement_ = nullptr;
};

// A transaction that takes the write lock at once (another process waits for it up to the
// busy time-out) and is rolled back unless committed.
class Transaction {
public:
    explicit Transaction(sqlite3* db) : db_(db) { exec(db_, "BEGIN IMMEDIATE"); }
    ~Transaction() {
        if (!done_)
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    void commit() {
        exec(db_, "COMMIT");
        done_ = true;
    }

private:
    sqlite3* db_;
    bool done_ = false;
};

// The creation time as a number that sorts as DateTime does.
std::int64_t time_key(const DateTime& time) {
    std::int64_t key = time.year;
    for (const std::int64_t part : {std::int64_t{time.month}, std::int64_t{time.day}, std::int64_t{time.hour},
                                    std::int64_t{time.minute}, std::int64_t{time.second}})
        key = key * 100 + part;
    return key * 1000 + time.millisecond;
}

DateTime from_time_key(std::int64_t key, std::int32_t kind) {
    DateTime time;
    time.kind = kind;
    time.millisecond = static_cast<std::uint16_t>(key % 1000);
    key /= 1000;
    time.second = static_cast<std::uint8_t>(key % 100);
    key /= 100;
    time.minute = static_cast<std::uint8_t>(key % 100);
    key /= 100;
    time.hour = static_cast<std::uint8_t>(key % 100);
    key /= 100;
    time.day = static_cast<std::uint8_t>(key % 100);
    key /= 100;
    time.month = static_cast<std::uint8_t>(key % 100);
    time.year = static_cast<std::uint16_t>(key / 100);
    return time;
}

std::wstring kept_body(const std::wstring& body) {
    if (body.size() <= MessageArchive::MAX_BODY)
        return body;
    return body.substr(0, MessageArchive::MAX_BODY) + L"…";
}

Message read_row(const Statement::Use& row) {
    Message message;
    message.id = row.text(1);
    message.created = from_time_key(row.integer(2), static_cast<std::int32_t>(row.integer(3)));
    message.read = row.integer(4) != 0;
    message.priority = static_cast<std::uint32_t>(row.integer(5));
    message.channel = row.text(6);
    message.organization = row.text(7);
    message.subject = row.text(8);
    message.body = row.text(9);
    message.link = row.text(10);
    message.icon = row.text(11);
    return message;
}

bool is_word_character(wchar_t c) {
    if (c < 0x80)
        return (c >= L'0' && c <= L'9') || (c >= L'a' && c <= L'z') || (c >= L'A' && c <= L'Z');
    // Latin-1 punctuation and signs, general punctuation, "№" and the like are no letters.
    if ((c >= 0xA0 && c <= 0xBF) || c == 0xD7 || c == 0xF7)
        return false;
    if ((c >= 0x2000 && c <= 0x206F) || (c >= 0x2100 && c <= 0x214F) || (c >= 0x3000 && c <= 0x303F))
        return false;
    return true;
}

wchar_t fold(wchar_t c) {
    if (c >= L'A' && c <= L'Z')
        return static_cast<wchar_t>(c + 0x20);
    if (c == 0x401 || c == 0x451)  // Ё, ё
        return 0x435;              // е
    if (c >= 0x410 && c <= 0x42F)
        return static_cast<wchar_t>(c + 0x20);
    if (c >= 0x400 && c <= 0x40F)
        return static_cast<wchar_t>(c + 0x50);
    return c;
}

void close_db(sqlite3* db) {
    if (db != nullptr)
        sqlite3_close_v2(db);
}

struct Opened {
    sqlite3* db = nullptr;
    bool fresh = false;
};

// A database of ours at the newest schema, or ArchiveError. A file that is not one of ours
// is ArchiveError SQLITE_NOTADB.
Opened open_database(const std::string& path, const std::string& user) {
    if (path != ":memory:") {
        // The data folder of a first start may not be there yet.
        const auto slash = path.rfind('/');
        if (slash != std::string::npos && slash > 0) {
            std::error_code ignored;
            const std::filesystem::path folder = path.substr(0, slash);
            if (!std::filesystem::exists(folder, ignored) && std::filesystem::create_directories(folder, ignored))
                std::filesystem::permissions(folder, std::filesystem::perms::owner_all, ignored);
        }
        // Made 0600 before SQLite sees it; its journal files take the same mode.
        const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd < 0)
            throw ArchiveError(SQLITE_CANTOPEN, path + ": " + std::strerror(errno));
        ::fchmod(fd, 0600);
        ::close(fd);
    }
    sqlite3* db = nullptr;
    const int code = sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX,
                                     nullptr);
    if (code != SQLITE_OK) {
        const std::string text = db != nullptr ? sqlite3_errmsg(db) : sqlite3_errstr(code);
        close_db(db);
        throw ArchiveError(code, text);
    }
    try {
        sqlite3_busy_timeout(db, 5000);
        sqlite3_extended_result_codes(db, 0);
        exec(db, "PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL; PRAGMA foreign_keys=OFF;");
        auto pragma = [db](const char* sql) {
            Statement statement(db, sql);
            Statement::Use use(statement);
            return use.step() ? use.integer(0) : 0;
        };
        const std::int64_t application = pragma("PRAGMA application_id");
        std::int64_t version = pragma("PRAGMA user_version");
        const std::int64_t tables = pragma("SELECT count(*) FROM sqlite_schema");
        Opened opened{db, false};
        if (application == 0 && version == 0 && tables == 0) {
            opened.fresh = true;
        } else if (application != APPLICATION_ID) {
            throw ArchiveError(SQLITE_NOTADB, "not a message archive");
        } else if (version > MessageArchive::SCHEMA_VERSION) {
            throw ArchiveError(SQLITE_NOTADB, "made by a newer version (schema " + std::to_string(version) + ")");
        } else {
            Statement check(db, "PRAGMA quick_check");
            Statement::Use use(check);
            const std::wstring result = use.step() ? use.text(0) : L"";
            if (result != L"ok")
                throw ArchiveError(SQLITE_CORRUPT, "damaged: " + wide_to_utf8(result));
        }
        for (; version < MessageArchive::SCHEMA_VERSION; ++version) {
            Transaction transaction(db);
            exec(db, MIGRATIONS[version]);
            exec(db, ("PRAGMA user_version=" + std::to_string(version + 1)).c_str());
            exec(db, ("PRAGMA application_id=" + std::to_string(APPLICATION_ID)).c_str());
            transaction.commit();
        }
        // A sign-in as someone else: what is here belongs to the user who left.
        if (!user.empty()) {
            Statement owner(db, "SELECT value FROM meta WHERE key = 'user'");
            std::string kept;
            {
                Statement::Use use(owner);
                if (use.step())
                    kept = wide_to_utf8(use.text(0));
            }
            if (kept != user) {
                Transaction transaction(db);
                if (!kept.empty()) {
                    exec(db, "DELETE FROM messages");
                    exec(db, "DELETE FROM message_words");
                }
                Statement set(db, "INSERT OR REPLACE INTO meta(key, value) VALUES('user', ?1)");
                Statement::Use use(set);
                use.bind(1, user).step();
                transaction.commit();
            }
        }
        return opened;
    } catch (...) {
        close_db(db);
        throw;
    }
}

bool is_damage(int code) {
    return code == SQLITE_NOTADB || code == SQLITE_CORRUPT;
}

}  // namespace

struct MessageArchive::Statements {
    explicit Statements(sqlite3* db)
        : find(db, "SELECT row, subject, body, organization FROM messages WHERE id = ?1"),
          insert(db,
                 "INSERT INTO messages(id, created, created_kind, read, priority, channel, organization, subject, body,"
                 " link, icon) VALUES(?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9, ?10, ?11)"),
          update(db,
                 "UPDATE messages SET created = ?2, created_kind = ?3, read = ?4, priority = ?5, channel = ?6,"
                 " organization = ?7, subject = ?8, body = ?9, link = ?10, icon = ?11 WHERE row = ?1"),
          by_row(db, "SELECT subject, body, organization FROM messages WHERE row = ?1"),
          remove(db, "DELETE FROM messages WHERE row = ?1"),
          add_words(db, "INSERT INTO message_words(rowid, subject, body, organization) VALUES(?1, ?2, ?3, ?4)"),
          remove_words(db,
                       "INSERT INTO message_words(message_words, rowid, subject, body, organization)"
                       " VALUES('delete', ?1, ?2, ?3, ?4)"),
          read(db, "UPDATE messages SET read = 1 WHERE id = ?1"),
          newest(db, std::string("SELECT ") + COLUMNS + " FROM messages ORDER BY created DESC, row DESC LIMIT ?1"),
          position(db, "SELECT created, row FROM messages WHERE id = ?1"),
          older(db, std::string("SELECT ") + COLUMNS +
                        " FROM messages WHERE (created, row) < (?1, ?2) ORDER BY created DESC, row DESC LIMIT ?3"),
          search(db, "SELECT m.row, m.id, m.created, m.created_kind, m.read, m.priority, m.channel, m.organization,"
                     " m.subject, m.body, m.link, m.icon FROM message_words JOIN messages m ON m.row = message_words.rowid"
                     " WHERE message_words MATCH ?1 ORDER BY m.created DESC, m.row DESC LIMIT ?2"),
          in_range(db, "SELECT row, id FROM messages WHERE created > ?1 AND created < ?2"),
          count(db, "SELECT count(*) FROM messages"),
          beyond(db, "SELECT row FROM messages ORDER BY created DESC, row DESC LIMIT -1 OFFSET ?1") {}

    Statement find, insert, update, by_row, remove, add_words, remove_words, read, newest, position, older, search, in_range,
        count, beyond;
};

std::shared_ptr<MessageArchive> MessageArchive::open(const std::wstring& file, const std::wstring& user) {
    if (file.empty())
        return in_memory();
    const std::string path = wide_to_utf8(file);
    const std::string owner = wide_to_utf8(user);
    try {
        try {
            const Opened opened = open_database(path, owner);
            return std::shared_ptr<MessageArchive>(new MessageArchive(opened.db, file));
        } catch (const ArchiveError& e) {
            if (!is_damage(e.code()))
                throw;
            // Kept for whoever wants to look at it; the list is built anew from the server.
            AGENT_ERROR(OPEN) << "The message archive " << file << " cannot be read (" << utf8_to_wide(e.what())
                              << "); it is kept as " << file << L".corrupt and made anew";
            const std::string aside = path + ".corrupt";
            if (std::rename(path.c_str(), aside.c_str()) != 0)
                std::remove(path.c_str());
            std::remove((path + "-wal").c_str());
            std::remove((path + "-shm").c_str());
            const Opened opened = open_database(path, owner);
            return std::shared_ptr<MessageArchive>(new MessageArchive(opened.db, file));
        }
    } catch (const ArchiveError& e) {
        AGENT_WARN(OPEN) << "The message archive cannot be kept in " << file << " (" << utf8_to_wide(e.what())
                         << "); the list works from the server, with this session's messages in memory";
        return in_memory();
    }
}

std::shared_ptr<MessageArchive> MessageArchive::in_memory() {
    try {
        const Opened opened = open_database(":memory:", "");
        return std::shared_ptr<MessageArchive>(new MessageArchive(opened.db, L""));
    } catch (const ArchiveError& e) {
        // Only a system out of memory gets here: an archive that holds nothing.
        AGENT_ERROR(OPEN) << "No message archive: " << utf8_to_wide(e.what());
        return std::shared_ptr<MessageArchive>(new MessageArchive(nullptr, L""));
    }
}

std::wstring MessageArchive::file_for(const std::wstring& directory, const std::wstring& api_uri) {
    // The API's host and port, as a file name.
    std::wstring authority = api_uri;
    const auto scheme = authority.find(L"://");
    if (scheme != std::wstring::npos)
        authority.erase(0, scheme + 3);
    authority = authority.substr(0, authority.find_first_of(L"/?#"));
    const auto at = authority.rfind(L'@');
    if (at != std::wstring::npos)
        authority.erase(0, at + 1);
    std::wstring name;
    for (const wchar_t c : authority)
        name += (is_word_character(c) && c < 0x80) || c == L'.' || c == L'-' ? fold(c) : L'_';
    if (name.empty())
        name = L"default";
    std::wstring folder = directory;
    if (!folder.empty() && folder.back() != L'/')
        folder += L'/';
    return folder + L"messages-" + name + L".db";
}

void MessageArchive::remove_file(const std::wstring& file) {
    if (file.empty())
        return;
    const std::string path = wide_to_utf8(file);
    for (const char* suffix : {"", "-wal", "-shm"})
        std::remove((path + suffix).c_str());
}

MessageArchive::MessageArchive(sqlite3* db, std::wstring file) : db_(db), file_(std::move(file)) {
    if (db_ == nullptr)
        return;
    try {
        statements_ = std::make_unique<Statements>(db_);
    } catch (const ArchiveError& e) {
        AGENT_ERROR(OPEN) << "No message archive: " << utf8_to_wide(e.what());
        close_db(db_);
        db_ = nullptr;
    }
}

MessageArchive::~MessageArchive() {
    statements_.reset();
    close_db(db_);
}

template <typename Work>
void MessageArchive::write(const char* what, Work&& work) {
    if (db_ == nullptr)
        return;
    try {
        Transaction transaction(db_);
        work();
        prune();
        transaction.commit();
        write_failed_ = false;
    } catch (const std::exception& e) {
        // Once per run of failures: a full disk must not fill the log too.
        if (!write_failed_) {
            AGENT_WARN(WRITE) << "The message archive " << file_ << " was not written (" << what
                              << "): " << utf8_to_wide(e.what());
        }
        write_failed_ = true;
    }
}

bool MessageArchive::upsert(const Message& message) {
    Statements& s = *statements_;
    const std::wstring body = kept_body(message.body);
    std::int64_t row = 0;
    {
        Statement::Use find(s.find);
        find.bind(1, message.id);
        if (find.step()) {
            row = find.integer(0);
            Statement::Use words(s.remove_words);
            words.bind(1, row)
                .bind(2, details::archive_words(find.text(1)))
                .bind(3, details::archive_words(find.text(2)))
                .bind(4, details::archive_words(find.text(3)))
                .step();
        }
    }
    {
        // ?1 is the row of an update, the id of an insert; the fields follow in the same places.
        Statement::Use put(row != 0 ? s.update : s.insert);
        if (row != 0)
            put.bind(1, row);
        else
            put.bind(1, message.id);
        put.bind(2, time_key(message.created))
            .bind(3, std::int64_t{message.created.kind})
            .bind(4, std::int64_t{message.read ? 1 : 0})
            .bind(5, std::int64_t{message.priority})
            .bind(6, message.channel)
            .bind(7, message.organization)
            .bind(8, message.subject)
            .bind(9, body)
            .bind(10, message.link)
            .bind(11, message.icon)
            .step();
    }
    const bool existed = row != 0;
    if (!existed)
        row = sqlite3_last_insert_rowid(db_);
    Statement::Use words(s.add_words);
    words.bind(1, row)
        .bind(2, details::archive_words(message.subject))
        .bind(3, details::archive_words(body))
        .bind(4, details::archive_words(message.organization))
        .step();
    return existed;
}

void MessageArchive::erase(std::int64_t row) {
    Statements& s = *statements_;
    std::wstring subject, body, organization;
    {
        Statement::Use use(s.by_row);
        use.bind(1, row);
        if (!use.step())
            return;
        subject = use.text(0);
        body = use.text(1);
        organization = use.text(2);
    }
    Statement::Use words(s.remove_words);
    words.bind(1, row)
        .bind(2, details::archive_words(subject))
        .bind(3, details::archive_words(body))
        .bind(4, details::archive_words(organization))
        .step();
    Statement::Use remove(s.remove);
    remove.bind(1, row).step();
}

void MessageArchive::prune() {
    std::vector<std::int64_t> rows;
    {
        Statement::Use beyond(statements_->beyond);
        beyond.bind(1, static_cast<std::int64_t>(CAPACITY));
        while (beyond.step())
            rows.push_back(beyond.integer(0));
    }
    for (const std::int64_t row : rows)
        erase(row);
}

void MessageArchive::add(const std::vector<Message>& messages) {
    std::lock_guard lock(mutex_);
    write("new messages", [&] {
        for (const Message& message : messages)
            if (!message.id.empty())
                upsert(message);
    });
}

bool MessageArchive::add_page(const std::vector<Message>& page, bool newest, bool last) {
    std::lock_guard lock(mutex_);
    bool known = false;
    write("a page of the list", [&] {
        std::unordered_set<std::wstring> ids;
        std::int64_t low = 0, high = 0;
        // Oldest first, so that of two messages of the same time the newer has the later row.
        for (auto it = page.rbegin(); it != page.rend(); ++it) {
            if (it->id.empty())
                continue;
            // An id the page holds twice was not known before for its second time.
            const bool first_time = ids.insert(it->id).second;
            if (upsert(*it) && first_time)
                known = true;
            const std::int64_t key = time_key(it->created);
            low = ids.size() == 1 ? key : std::min(low, key);
            high = ids.size() == 1 ? key : std::max(high, key);
        }
        // The stretch of time the page covers holds only what the server still has.
        std::int64_t from = low, to = high;
        if (newest)
            to = INT64_MAX;
        if (last)
            from = INT64_MIN;
        if (ids.empty() && !(newest && last))
            return;
        std::vector<std::int64_t> withdrawn;
        {
            Statement::Use range(statements_->in_range);
            range.bind(1, from).bind(2, to);
            while (range.step())
                if (ids.count(range.text(1)) == 0)
                    withdrawn.push_back(range.integer(0));
        }
        for (const std::int64_t row : withdrawn)
            erase(row);
    });
    return known;
}

void MessageArchive::mark_read(const std::wstring& id) {
    if (id.empty())
        return;
    std::lock_guard lock(mutex_);
    write("a read mark", [&] {
        Statement::Use read(statements_->read);
        read.bind(1, id).step();
    });
}

std::vector<Message> MessageArchive::newest(std::size_t count) const {
    std::lock_guard lock(mutex_);
    std::vector<Message> messages;
    if (db_ == nullptr)
        return messages;
    try {
        Statement::Use rows(statements_->newest);
        rows.bind(1, static_cast<std::int64_t>(count));
        while (rows.step())
            messages.push_back(read_row(rows));
    } catch (const std::exception& e) {
        AGENT_ERROR(READ) << utf8_to_wide(e.what());
    }
    return messages;
}

std::vector<Message> MessageArchive::older_than(const std::wstring& id, std::size_t count) const {
    std::lock_guard lock(mutex_);
    std::vector<Message> messages;
    if (db_ == nullptr || id.empty())
        return messages;
    try {
        std::int64_t created = 0, row = 0;
        {
            Statement::Use position(statements_->position);
            position.bind(1, id);
            if (!position.step())
                return messages;
            created = position.integer(0);
            row = position.integer(1);
        }
        Statement::Use rows(statements_->older);
        rows.bind(1, created).bind(2, row).bind(3, static_cast<std::int64_t>(count));
        while (rows.step())
            messages.push_back(read_row(rows));
    } catch (const std::exception& e) {
        AGENT_ERROR(READ) << utf8_to_wide(e.what());
    }
    return messages;
}

std::vector<Message> MessageArchive::search(std::wstring_view query, std::size_t limit) const {
    std::vector<Message> messages;
    const std::string match = details::archive_query(query);
    std::lock_guard lock(mutex_);
    if (db_ == nullptr || match.empty())
        return messages;
    try {
        Statement::Use rows(statements_->search);
        rows.bind(1, match).bind(2, static_cast<std::int64_t>(limit));
        while (rows.step())
            messages.push_back(read_row(rows));
    } catch (const std::exception& e) {
        AGENT_ERROR(READ) << "Search: " << utf8_to_wide(e.what());
    }
    return messages;
}

bool MessageArchive::contains(const std::wstring& id) const {
    std::lock_guard lock(mutex_);
    if (db_ == nullptr)
        return false;
    try {
        Statement::Use find(statements_->find);
        find.bind(1, id);
        return find.step();
    } catch (const std::exception& e) {
        AGENT_ERROR(READ) << utf8_to_wide(e.what());
        return false;
    }
}

std::size_t MessageArchive::size() const {
    std::lock_guard lock(mutex_);
    if (db_ == nullptr)
        return 0;
    try {
        Statement::Use count(statements_->count);
        return count.step() ? static_cast<std::size_t>(count.integer(0)) : 0;
    } catch (const std::exception& e) {
        AGENT_ERROR(READ) << utf8_to_wide(e.what());
        return 0;
    }
}

bool MessageArchive::writing() const {
    std::lock_guard lock(mutex_);
    return db_ != nullptr && !write_failed_;
}

MessageArchive::Place MessageArchive::place() const {
    std::lock_guard lock(mutex_);
    return place_;
}

void MessageArchive::set_place(Place place) {
    std::lock_guard lock(mutex_);
    place_ = place;
}

namespace details {

std::wstring archive_words(std::wstring_view text) {
    std::wstring words;
    words.reserve(text.size());
    bool in_tag = false;
    bool space = true;
    for (std::size_t i = 0; i < text.size(); ++i) {
        const wchar_t c = text[i];
        // Markup the server may send is no word of the message.
        if (c == L'<' && i + 1 < text.size() && (text[i + 1] == L'/' || (text[i + 1] < 0x80 && std::isalpha(static_cast<int>(text[i + 1])) != 0))) {
            in_tag = true;
            continue;
        }
        if (in_tag) {
            if (c == L'>')
                in_tag = false;
            continue;
        }
        if (is_word_character(c)) {
            words += fold(c);
            space = false;
        } else if (!space) {
            words += L' ';
            space = true;
        }
    }
    if (!words.empty() && words.back() == L' ')
        words.pop_back();
    return words;
}

std::string archive_query(std::wstring_view text) {
    std::string query;
    const std::wstring words = archive_words(text);
    std::size_t start = 0;
    while (start < words.size()) {
        std::size_t end = words.find(L' ', start);
        if (end == std::wstring::npos)
            end = words.size();
        if (!query.empty())
            query += " AND ";
        // Quoted, each word is a string to FTS5, never an operator.
        query += '"' + wide_to_utf8(words.substr(start, end - start)) + "\"*";
        start = end + 1;
    }
    return query;
}

}  // namespace details

}  // namespace agent
