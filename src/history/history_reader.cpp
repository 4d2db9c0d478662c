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

// One bucket's rows as they come (SpansSql's columns), in stored integers.
struct Sums {
    struct Field {
        std::int64_t Sum = 0;
        std::int64_t Count = 0;
        std::int64_t Low = 0;
        std::int64_t High = 0;
    };
    std::int64_t Rows = 0;
    unsigned Bits = 0;
    std::array<Field, kFieldCount> Fields{};

    void Add(const Statement& row, bool minute) {
        Rows += row.Int(1);
        Bits |= static_cast<unsigned>(row.Int(2));
        int column = 3;
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            const bool spread = minute && kFields[i].Spread;
            const int at = column;
            column += spread ? 3 : 1;
            if (row.IsNull(at)) continue;
            Field& field = Fields[i];
            const std::int64_t mean = row.Int(at);
            const std::int64_t low = spread ? row.Int(at + 1) : mean;
            const std::int64_t high = spread ? row.Int(at + 2) : mean;
            field.Low = field.Count == 0 ? low : std::min(field.Low, low);
            field.High = field.Count == 0 ? high : std::max(field.High, high);
            field.Sum += mean;
            ++field.Count;
        }
    }

    Bucket Total(Millis start) const {
        Bucket bucket;
        bucket.Start = start;
        bucket.Rows = Rows;
        bucket.Bits = Bits;
        for (std::size_t i = 0; i < kFieldCount; ++i) {
            const Field& field = Fields[i];
            if (field.Count == 0) continue;
            const FieldRow& row = kFields[i];
            bucket.Values[i] =
                Span{InUnit(row, static_cast<double>(field.Low)),
                     InUnit(row, static_cast<double>(field.Sum) / static_cast<double>(field.Count)),
                     InUnit(row, static_cast<double>(field.High))};
        }
        return bucket;
    }
};

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
    // At most kMaxBuckets sums, whatever the file holds.
    const Millis count = (to - from) / step + ((to - from) % step != 0 ? 1 : 0);
    Database db;
    if (!OpenForReading(path_, db, error)) return out;
    std::vector<Sums> sums(static_cast<std::size_t>(count));
    for (const bool minute : {false, true}) {
        Statement query = db.Prepare(minute ? MinuteSpansSql() : ReadingSpansSql());
        if (!query) {
            error = db.Error();
            return out;
        }
        query.Bind(1, from);
        query.Bind(2, to);
        while (query.Step()) {
            const Millis index = (query.Int(0) - from) / step;
            if (index < 0 || index >= count) continue;
            sums[static_cast<std::size_t>(index)].Add(query, minute);
        }
        if (query.Failed()) {
            db.NoteFailure(query);
            error = db.Error();
            return out;
        }
    }
    for (std::size_t i = 0; i < sums.size(); ++i) {
        if (sums[i].Rows == 0) continue;
        out.push_back(sums[i].Total(from + static_cast<Millis>(i) * step));
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
