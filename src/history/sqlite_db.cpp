#include "history/sqlite_db.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <unistd.h>

#include <utility>

namespace gw::history {

Statement::Statement(Statement&& other) noexcept
    : stmt_(std::exchange(other.stmt_, nullptr)), failed_(other.failed_), code_(other.code_) {}

Statement& Statement::operator=(Statement&& other) noexcept {
    if (this != &other) {
        sqlite3_finalize(stmt_);
        stmt_ = std::exchange(other.stmt_, nullptr);
        failed_ = other.failed_;
        code_ = other.code_;
    }
    return *this;
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

void Statement::Bind(int index, std::int64_t value) { sqlite3_bind_int64(stmt_, index, value); }

void Statement::Bind(int index, const std::optional<std::int64_t>& value) {
    if (value) {
        sqlite3_bind_int64(stmt_, index, *value);
    } else {
        sqlite3_bind_null(stmt_, index);
    }
}

void Statement::Bind(int index, std::string_view text) {
    sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

bool Statement::Step() {
    const int code = sqlite3_step(stmt_);
    if (code == SQLITE_ROW) return true;
    if (code != SQLITE_DONE) {
        failed_ = true;
        code_ = code & 0xff;
    }
    return false;
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
    failed_ = false;
    code_ = 0;
}

bool Statement::IsNull(int column) const {
    return sqlite3_column_type(stmt_, column) == SQLITE_NULL;
}

std::int64_t Statement::Int(int column) const { return sqlite3_column_int64(stmt_, column); }

double Statement::Real(int column) const { return sqlite3_column_double(stmt_, column); }

std::string Statement::Text(int column) const {
    const unsigned char* text = sqlite3_column_text(stmt_, column);
    if (text == nullptr) return {};
    return std::string(reinterpret_cast<const char*>(text),
                       static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
}

Database::~Database() { Close(); }

bool Database::Open(const std::string& path, Mode mode) {
    Close();
    if (mode == Mode::ReadWrite) {
        // SQLite would create the file readable by all (0644 less the umask) and gives its
        // write-ahead log and shared-memory files the file's own mode: made here first, the
        // history is the owner's alone, as the journal is. A file that exists keeps its mode.
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) ::close(fd);
    }
    const int flags =
        mode == Mode::ReadOnly ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE;
    const int code = sqlite3_open_v2(path.c_str(), &db_, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    if (code != SQLITE_OK) {
        Fail(code);
        Close();
        return false;
    }
    sqlite3_extended_result_codes(db_, 0);
    // A reader meeting the writer's commit waits a little instead of failing.
    sqlite3_busy_timeout(db_, 2000);
    return true;
}

void Database::Close() {
    if (db_ != nullptr) sqlite3_close_v2(db_);
    db_ = nullptr;
}

bool Database::Execute(std::string_view sql) {
    char* message = nullptr;
    const int code = sqlite3_exec(db_, std::string(sql).c_str(), nullptr, nullptr, &message);
    if (code == SQLITE_OK) return true;
    code_ = code & 0xff;
    error_ = message != nullptr ? message : sqlite3_errstr(code);
    sqlite3_free(message);
    return false;
}

Statement Database::Prepare(std::string_view sql) {
    sqlite3_stmt* stmt = nullptr;
    const int code = sqlite3_prepare_v3(db_, sql.data(), static_cast<int>(sql.size()),
                                        SQLITE_PREPARE_PERSISTENT, &stmt, nullptr);
    if (code != SQLITE_OK) {
        Fail(code);
        return Statement();
    }
    return Statement(stmt);
}

std::optional<std::string> Database::QueryText(std::string_view sql) {
    Statement statement = Prepare(sql);
    if (!statement) return std::nullopt;
    if (!statement.Step()) {
        if (statement.Failed()) NoteFailure(statement);
        return std::nullopt;
    }
    return statement.Text(0);
}

void Database::NoteFailure(const Statement& statement) {
    code_ = statement.ErrorCode();
    error_ = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code_);
}

bool Database::IsDamage(int code) { return code == SQLITE_CORRUPT || code == SQLITE_NOTADB; }

void Database::Fail(int code) {
    code_ = code & 0xff;
    error_ = db_ != nullptr ? sqlite3_errmsg(db_) : sqlite3_errstr(code);
}

}  // namespace gw::history
