#include "history/history_store.h"

#include <cmath>
#include <cstdio>

#include "history/history_sql.h"

namespace gw::history {

namespace {

std::optional<std::int64_t> Stored(const std::optional<double>& value, const FieldRow& field) {
    if (!value || !std::isfinite(*value) || std::fabs(*value) > 1e12) return std::nullopt;
    return std::llround(*value * field.Scale) - field.Offset;
}

}  // namespace

std::string HistoryPathIn(const std::string& dir) {
    if (dir.empty() || dir.back() == '/') return dir + kHistoryFileName;
    return dir + "/" + kHistoryFileName;
}

HistoryStore::Opened HistoryStore::Open(const std::string& path, Millis now) {
    Close();
    path_ = path;
    Opened opened;
    if (!db_.Open(path, Database::Mode::ReadWrite)) {
        // The folder or the file's rights: nothing to set aside, try again later.
        opened.Error = db_.Error();
        return opened;
    }
    std::string reason;
    if (Check(reason)) {
        opened.Ok = Prepare(opened.Error);
        if (opened.Ok) return opened;
        reason = opened.Error;
    }
    if (!reason.empty() && !Database::IsDamage(db_.ErrorCode()) && reason == db_.Error()) {
        // Busy, locked, out of memory: the file may be sound; try again later.
        opened.Error = reason;
        Close();
        return opened;
    }
    // Whatever this file is, it is not a history we can write: keep it for the user to look
    // at, and start a new one so that nothing else depends on it.
    return Restart(reason, now);
}

HistoryStore::Opened HistoryStore::Restart(const std::string& reason, Millis now) {
    Opened opened;
    opened.Reason = reason;
    opened.SetAside = SetAside(now);
    std::string why;
    if (!db_.Open(path_, Database::Mode::ReadWrite) || !Check(why) || !Prepare(opened.Error)) {
        if (opened.Error.empty()) opened.Error = why.empty() ? db_.Error() : why;
        Close();
        return opened;
    }
    opened.Ok = true;
    return opened;
}

std::string HistoryStore::SetAside(Millis now) {
    Close();
    const std::string target = path_ + ".set-aside-" + LocalTimeText(now, "%Y%m%d-%H%M%S");
    if (std::rename(path_.c_str(), target.c_str()) != 0) {
        std::remove(path_.c_str());
        std::remove((path_ + "-wal").c_str());
        std::remove((path_ + "-shm").c_str());
        return {};
    }
    std::rename((path_ + "-wal").c_str(), (target + "-wal").c_str());
    std::remove((path_ + "-shm").c_str());
    return target;
}

bool HistoryStore::Check(std::string& reason) {
    const std::optional<std::string> id = db_.QueryText("PRAGMA application_id");
    if (!id) {
        reason = db_.Error();
        return false;
    }
    if (*id == "0") {
        const std::optional<std::string> tables =
            db_.QueryText("SELECT count(*) FROM sqlite_master");
        if (!tables) {
            reason = db_.Error();
            return false;
        }
        if (*tables != "0") {
            reason = "it is not a history file of this program";
            return false;
        }
        // A new file: ours from now on.
        if (!db_.Execute("PRAGMA application_id = " + std::to_string(kApplicationId) +
                         "; PRAGMA user_version = " + std::to_string(kSchemaVersion))) {
            reason = db_.Error();
            return false;
        }
    } else if (*id != std::to_string(kApplicationId)) {
        reason = "it is not a history file of this program";
        return false;
    }
    const std::optional<std::string> version = db_.QueryText("PRAGMA user_version");
    if (!version || *version != std::to_string(kSchemaVersion)) {
        reason = "it was written by another version";
        return false;
    }
    const std::optional<std::string> check = db_.QueryText("PRAGMA quick_check");
    if (!check || *check != "ok") {
        reason = check ? "damaged: " + *check : db_.Error();
        return false;
    }
    return true;
}

bool HistoryStore::Prepare(std::string& error) {
    // WAL lets the readers go on while we commit. How hard each commit syncs is Write's choice.
    db_.QueryText("PRAGMA journal_mode = WAL");
    synced_ = false;
    if (!db_.Execute("PRAGMA synchronous = NORMAL; PRAGMA journal_size_limit = 4194304;") ||
        !db_.Execute(CreateSchemaSql())) {
        error = db_.Error();
        return false;
    }
    insert_reading_ = db_.Prepare(InsertReadingSql());
    insert_event_ = db_.Prepare(InsertEventSql());
    fold_ = db_.Prepare(FoldMinutesSql());
    delete_readings_ = db_.Prepare(DeleteReadingsSql());
    oldest_reading_ = db_.Prepare("SELECT min(t) FROM readings");
    drop_minutes_ = db_.Prepare("DELETE FROM minutes WHERE m < ?1 / 60000");
    drop_events_ = db_.Prepare("DELETE FROM events WHERE t < ?1");
    if (!insert_reading_ || !insert_event_ || !fold_ || !delete_readings_ || !oldest_reading_ ||
        !drop_minutes_ || !drop_events_) {
        error = db_.Error();
        return false;
    }
    return true;
}

void HistoryStore::Close() {
    insert_reading_ = Statement();
    insert_event_ = Statement();
    fold_ = Statement();
    delete_readings_ = Statement();
    oldest_reading_ = Statement();
    drop_minutes_ = Statement();
    drop_events_ = Statement();
    db_.Close();
}

bool HistoryStore::Write(const std::vector<Reading>& readings, const std::vector<Event>& events,
                         std::string& error, bool& damaged, bool sync) {
    damaged = false;
    if (!IsOpen()) {
        error = "the history file is not open";
        return false;
    }
    if (sync != synced_) {
        db_.Execute(sync ? "PRAGMA synchronous = FULL" : "PRAGMA synchronous = NORMAL");
        synced_ = sync;
    }
    const auto fail = [&](const Statement* statement) {
        if (statement != nullptr) db_.NoteFailure(*statement);
        error = db_.Error();
        damaged = Database::IsDamage(db_.ErrorCode());
        db_.Execute("ROLLBACK");
        return false;
    };
    if (!db_.Execute("BEGIN IMMEDIATE")) return fail(nullptr);
    for (const Reading& reading : readings) {
        insert_reading_.Reset();
        insert_reading_.Bind(1, reading.Time);
        insert_reading_.Bind(2, static_cast<std::int64_t>(reading.Bits));
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            insert_reading_.Bind(static_cast<int>(i) + 3, Stored(reading.Values[i], kFields[i]));
        }
        insert_reading_.Step();
        if (insert_reading_.Failed()) return fail(&insert_reading_);
    }
    for (const Event& event : events) {
        insert_event_.Reset();
        insert_event_.Bind(1, event.Time);
        insert_event_.Bind(2, static_cast<std::int64_t>(event.Kind));
        insert_event_.Bind(3, event.Text);
        insert_event_.Step();
        if (insert_event_.Failed()) return fail(&insert_event_);
    }
    if (!db_.Execute("COMMIT")) return fail(nullptr);
    return true;
}

bool HistoryStore::Fold(Millis from, Millis to, std::string& error) {
    if (!db_.Execute("BEGIN IMMEDIATE")) {
        error = db_.Error();
        return false;
    }
    for (Statement* statement : {&fold_, &delete_readings_}) {
        statement->Reset();
        statement->Bind(1, from);
        statement->Bind(2, to);
        statement->Step();
        if (statement->Failed()) {
            db_.NoteFailure(*statement);
            error = db_.Error();
            db_.Execute("ROLLBACK");
            return false;
        }
    }
    if (!db_.Execute("COMMIT")) {
        error = db_.Error();
        db_.Execute("ROLLBACK");
        return false;
    }
    return true;
}

bool HistoryStore::Thin(Millis now, std::string& error) {
    if (!IsOpen()) return false;
    constexpr Millis kMinute = 60000;
    const Millis cutoff = (now - kFullResolution) / kMinute * kMinute;
    for (;;) {
        oldest_reading_.Reset();
        if (!oldest_reading_.Step() || oldest_reading_.IsNull(0)) break;
        const Millis oldest = oldest_reading_.Int(0) / kMinute * kMinute;
        oldest_reading_.Reset();
        if (oldest >= cutoff) break;
        if (!Fold(oldest, std::min(cutoff, oldest + kFoldChunk), error)) return false;
    }
    oldest_reading_.Reset();
    for (Statement* statement : {&drop_minutes_, &drop_events_}) {
        statement->Reset();
        statement->Bind(1, now - kKept);
        statement->Step();
        if (statement->Failed()) {
            db_.NoteFailure(*statement);
            error = db_.Error();
            return false;
        }
    }
    return true;
}

}  // namespace gw::history
