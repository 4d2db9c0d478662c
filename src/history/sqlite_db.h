// A thin owner of one SQLite connection and its prepared statements, with errors as values:
// every call says whether it worked and keeps the library's text for the log line.
//
// Thread rule: one connection belongs to one thread at a time (SQLite's "multi-thread" mode);
// the writer and every reader open their own.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

struct sqlite3;
struct sqlite3_stmt;

namespace gw::history {

class Statement {
public:
    Statement() = default;
    Statement(Statement&& other) noexcept;
    Statement& operator=(Statement&& other) noexcept;
    ~Statement();

    explicit operator bool() const { return stmt_ != nullptr; }

    // Parameters count from 1, as in SQL's ?1.
    void Bind(int index, std::int64_t value);
    void Bind(int index, const std::optional<std::int64_t>& value);
    void Bind(int index, std::string_view text);
    // True while a row is ready; false at the end or on an error (then Failed() is true).
    bool Step();
    // Resets for the next run and clears the bindings.
    void Reset();
    bool Failed() const { return failed_; }
    int ErrorCode() const { return code_; }

    bool IsNull(int column) const;
    std::int64_t Int(int column) const;
    double Real(int column) const;
    std::string Text(int column) const;

private:
    friend class Database;
    Statement(sqlite3_stmt* stmt) : stmt_(stmt) {}
    sqlite3_stmt* stmt_ = nullptr;
    bool failed_ = false;
    int code_ = 0;
};

class Database {
public:
    enum class Mode { ReadWrite, ReadOnly };

    Database() = default;
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Opens (ReadWrite: and creates) `path`. False with Error() set when it fails.
    bool Open(const std::string& path, Mode mode);
    void Close();
    bool IsOpen() const { return db_ != nullptr; }

    // Runs one or more statements without results. False with Error() set.
    bool Execute(std::string_view sql);
    // Prepares one statement; an empty Statement with Error() set when it fails.
    Statement Prepare(std::string_view sql);
    // The first column of the first row of `sql`, as text; nothing when there is no row.
    std::optional<std::string> QueryText(std::string_view sql);

    const std::string& Error() const { return error_; }
    // SQLite's primary result code of the last failure (SQLITE_CORRUPT, SQLITE_NOTADB, ...).
    int ErrorCode() const { return code_; }
    // Takes the error of a statement that failed in Step().
    void NoteFailure(const Statement& statement);
    // The code means the file is not a sound database of any kind.
    static bool IsDamage(int code);

private:
    void Fail(int code);
    sqlite3* db_ = nullptr;
    std::string error_;
    int code_ = 0;
};

}  // namespace gw::history
