#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "model/message.h"

struct sqlite3;

namespace agent {

// The messages the agent has received for the signed-in user, kept between runs so that the
// list opens at once, reads without a connection and can be searched. One SQLite database
// (WAL journal, mode 0600) per API host in the data folder, holding one user's messages: a
// sign-in as another user starts it afresh, a sign-out deletes it. A session that is not
// remembered keeps its archive in memory only.
//
// The server stays the truth: what a list page brings replaces what the archive holds for
// the same stretch of time (read marks follow it, a message it no longer has goes).
//
// Never throws. An archive that cannot be used on disk (a full disk, a read-only folder)
// works in memory for the session, with one WARN; a database that is damaged or not ours is
// moved aside as "<file>.corrupt" and made anew. Every call is safe from any thread; other
// processes (the command-line front end) may use the same file at the same time.
class MessageArchive {
public:
    // The newest messages kept per user; older ones go as new ones come.
    static constexpr std::size_t CAPACITY = 10000;
    // A body is kept as the list shows it: up to this many characters, then "…".
    static constexpr std::size_t MAX_BODY = 20000;
    static constexpr int SCHEMA_VERSION = 1;

    // Where the list was left: how many rows it showed and how far it was scrolled. Kept for
    // the life of the archive (not on disk), so that a list made anew opens where it was.
    struct Place {
        std::size_t rows = 0;
        std::int64_t scroll_top = 0;
    };

    // The archive of `user` (may be empty: whoever's archive is there) in `file`; an empty
    // file name keeps it in memory.
    static std::shared_ptr<MessageArchive> open(const std::wstring& file, const std::wstring& user);
    // An archive in memory.
    static std::shared_ptr<MessageArchive> in_memory();
    // The archive's file for the agent API at `api_uri` in the data folder `directory`.
    static std::wstring file_for(const std::wstring& directory, const std::wstring& api_uri);
    // Deletes an archive file with its journal (a sign-out); missing files are no error.
    static void remove_file(const std::wstring& file);

    ~MessageArchive();
    MessageArchive(const MessageArchive&) = delete;
    MessageArchive& operator=(const MessageArchive&) = delete;

    // The file it lives in; empty in memory.
    const std::wstring& file() const noexcept { return file_; }
    // Whether the last write went in (a full disk: no). What the archive reads then may
    // miss what came since.
    bool writing() const;

    // New messages (the stream, a catch-up), oldest first. A known id is updated in place.
    void add(const std::vector<Message>& messages);
    // A page of the server's list, newest first. With `newest` it is the list's first page:
    // whatever the archive holds that is newer than its oldest message and is not on it was
    // withdrawn and goes; with `last` nothing older remains on the server either. Returns
    // whether the page holds a message the archive knew before (false: there may be a gap
    // between it and what the archive holds).
    bool add_page(const std::vector<Message>& page, bool newest, bool last);
    void mark_read(const std::wstring& id);

    // The newest `count` messages, newest first.
    std::vector<Message> newest(std::size_t count) const;
    // Up to `count` messages older than the one with `id`, newest first; none when the id is
    // not in the archive.
    std::vector<Message> older_than(const std::wstring& id, std::size_t count) const;
    // Messages with every word of `query` in the subject, the body or the sender, each word
    // as a prefix ("треб" finds "Требование"), case and "ё" folded; newest first.
    std::vector<Message> search(std::wstring_view query, std::size_t limit) const;
    bool contains(const std::wstring& id) const;
    std::size_t size() const;

    Place place() const;
    void set_place(Place place);

private:
    MessageArchive(sqlite3* db, std::wstring file);
    struct Statements;

    // Runs a write; a failure is logged once (full disk) and the archive reads on.
    template <typename Work>
    void write(const char* what, Work&& work);
    void prune();
    // Stores the message; true when its id was there before.
    bool upsert(const Message& message);
    void erase(std::int64_t row);

    sqlite3* db_;
    std::wstring file_;
    mutable std::mutex mutex_;
    std::unique_ptr<Statements> statements_;
    bool write_failed_ = false;
    Place place_;
};

namespace details {

// The words of a text as the archive's search sees them: lower case, "ё" as "е", markup
// left out; one space between words.
std::wstring archive_words(std::wstring_view text);
// The full-text query for what the user typed: each word a prefix, all words needed. Empty
// when the text has no word.
std::string archive_query(std::wstring_view text);

}  // namespace details

}  // namespace agent
