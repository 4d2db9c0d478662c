#include "history/history_reader.h"

#include <algorithm>
#include <filesystem>

#include "history/history_sql.h"
#include "history/history_store.h"
#include "history/sqlite_db.h"

namespace gw::history {

namespace {

// Opens the file read-only; false without error when there is no file yet.
bool OpenForReading(const std::string& path, Database& db, std::string& error) {
    std::error_code code;
    if (!std::filesystem::exists(path, code)) return false;
    if (!db.Open(path, Database::Mode::ReadOnly)) {
        error = db.Error();
        return false;
    }
    return true;
}

double InUnit(const FieldRow& field, double stored) {
    return (stored + field.Offset) / field.Scale;
}

std::optional<double> Value(const Statement& statement, int column, const FieldRow& field) {
    if (statement.IsNull(column)) return std::nullopt;
    return InUnit(field, statement.Real(column));
}

// Times from outside are brought within what a file can hold before any arithmetic on them.
Millis Clamped(Millis t) { return std::clamp<Millis>(t, kEarliestTime, kLatestTime + 1); }

}  // namespace

Millis StepFor(Millis from, Millis to, int points, Millis now) {
    from = Clamped(from);
    to = Clamped(to);
    Millis step = std::max<Millis>(1000, (to - from + points - 1) / std::max(points, 1));
    step = (step + 999) / 1000 * 1000;
    if (from < now - HistoryStore::kFullResolution) step = std::max<Millis>(step, 60000);
    return step;
}

std::vector<Bucket> HistoryReader::Buckets(Millis from, Millis to, Millis& step,
                                           std::string& error) const {
    std::vector<Bucket> out;
    from = Clamped(from);
    to = Clamped(to);
    if (to <= from) return out;
    step = std::max<Millis>({step, 1, (to - from + kMaxBuckets - 1) / kMaxBuckets});
    Database db;
    if (!OpenForReading(path_, db, error)) return out;
    Statement query = db.Prepare(BucketsSql());
    if (!query) {
        error = db.Error();
        return out;
    }
    query.Bind(1, from);
    query.Bind(2, to);
    query.Bind(3, step);
    while (query.Step()) {
        Bucket bucket;
        bucket.Start = from + query.Int(0) * step;
        bucket.Rows = query.Int(1);
        bucket.Bits = static_cast<unsigned>(query.Int(2));
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            const int column = 3 + static_cast<int>(i) * 3;
            if (query.IsNull(column + 1)) continue;
            const FieldRow& field = kFields[i];
            bucket.Values[i] =
                Span{InUnit(field, query.Real(column)), InUnit(field, query.Real(column + 1)),
                     InUnit(field, query.Real(column + 2))};
        }
        out.push_back(bucket);
    }
    if (query.Failed()) {
        db.NoteFailure(query);
        error = db.Error();
    }
    return out;
}

std::vector<Event> HistoryReader::Events(Millis from, Millis to, std::size_t limit,
                                         std::string& error) const {
    std::vector<Event> out;
    from = Clamped(from);
    to = Clamped(to);
    Database db;
    if (!OpenForReading(path_, db, error)) return out;
    Statement query =
        db.Prepare("SELECT t, kind, text FROM events WHERE t >= ?1 AND t < ?2 ORDER BY t LIMIT ?3");
    if (!query) {
        error = db.Error();
        return out;
    }
    query.Bind(1, from);
    query.Bind(2, to);
    query.Bind(3, static_cast<std::int64_t>(limit));
    while (query.Step()) {
        out.push_back({query.Int(0),
                       query.Int(1) == 1 ? EventKind::PowerAction : EventKind::LogLine,
                       query.Text(2)});
    }
    if (query.Failed()) {
        db.NoteFailure(query);
        error = db.Error();
    }
    return out;
}

bool HistoryReader::Rows(Millis from, Millis to,
                         const std::function<void(const Reading& row, bool minute)>& each,
                         std::string& error) const {
    from = Clamped(from);
    to = Clamped(to);
    Database db;
    if (!OpenForReading(path_, db, error)) return error.empty();
    Statement query = db.Prepare(RowsSql());
    if (!query) {
        error = db.Error();
        return false;
    }
    query.Bind(1, from);
    query.Bind(2, to);
    while (query.Step()) {
        Reading row;
        row.Time = query.Int(0);
        row.Bits = static_cast<unsigned>(query.Int(2));
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            row.Values[i] = Value(query, 3 + static_cast<int>(i), kFields[i]);
        }
        each(row, query.Int(1) == 1);
    }
    if (query.Failed()) {
        db.NoteFailure(query);
        error = db.Error();
        return false;
    }
    return true;
}

}  // namespace gw::history
