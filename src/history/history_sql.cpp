#include "history/history_sql.h"

#include "history/history_rows.h"

namespace gw::history {

namespace {

// One text per field, joined: `each` is called with the field's row.
template <typename Each>
std::string Joined(Each each, const char* separator = ", ") {
    std::string out;
    for (const FieldRow& field : kFields) {
        if (!out.empty()) out += separator;
        out += each(field);
    }
    return out;
}

std::string Columns() {
    return Joined([](const FieldRow& f) { return std::string(f.Column); });
}

// SQLite has no bitwise-or aggregate; the maximum of each bit alone ored together is one.
std::string BitsOr(const std::string& column) {
    std::string out;
    for (int bit = 0; bit < 8; ++bit) {
        if (!out.empty()) out += " | ";
        out += "max(" + column + " & " + std::to_string(1 << bit) + ")";
    }
    return out;
}

// A field's stored integer in its unit, for the views.
std::string InUnit(const FieldRow& field, const std::string& stored) {
    return "(" + stored + " + " + std::to_string(field.Offset) + ") / " +
           std::to_string(field.Scale) + ".0";
}

}  // namespace

std::string CreateSchemaSql() {
    std::string reading_values;
    std::string minute_values;
    for (const FieldRow& field : kFields) {
        const std::string c = field.Column;
        const std::string name = field.Name;
        reading_values += ", " + InUnit(field, c) + " AS " + name;
        minute_values += ", " + InUnit(field, c) + " AS " + name;
        if (field.Spread) {
            minute_values += ", " + InUnit(field, c + " - " + c + "_lo") + " AS " + name +
                             "_min, " + InUnit(field, c + " + " + c + "_hi") + " AS " + name +
                             "_max";
        }
    }
    return "CREATE TABLE IF NOT EXISTS readings(t INTEGER PRIMARY KEY, bits INTEGER, " +
           Joined([](const FieldRow& f) { return std::string(f.Column) + " INTEGER"; }) +
           ");\n"
           "CREATE TABLE IF NOT EXISTS minutes(m INTEGER PRIMARY KEY, n INTEGER, bits INTEGER, " +
           Joined([](const FieldRow& f) {
               const std::string c = f.Column;
               return c + " INTEGER" +
                      (f.Spread ? ", " + c + "_lo INTEGER, " + c + "_hi INTEGER" : "");
           }) +
           ");\n"
           "CREATE TABLE IF NOT EXISTS events(t INTEGER NOT NULL, kind INTEGER NOT NULL, "
           "text TEXT NOT NULL);\n"
           "CREATE INDEX IF NOT EXISTS events_by_time ON events(t);\n"
           "CREATE VIEW IF NOT EXISTS reading_values AS SELECT t, bits" +
           reading_values +
           " FROM readings;\n"
           "CREATE VIEW IF NOT EXISTS minute_values AS SELECT m * 60000 AS t, n, bits" +
           minute_values + " FROM minutes;\n";
}

std::string InsertReadingSql() {
    std::string values;
    for (std::size_t i = 0; i < kFieldCount; ++i) values += ", ?" + std::to_string(i + 3);
    return "INSERT OR REPLACE INTO readings(t, bits, " + Columns() + ") VALUES(?1, ?2" + values +
           ")";
}

std::string InsertEventSql() { return "INSERT INTO events(t, kind, text) VALUES(?1, ?2, ?3)"; }

std::string FoldMinutesSql() {
    return "INSERT OR REPLACE INTO minutes(m, n, bits, " + Joined([](const FieldRow& f) {
               const std::string c = f.Column;
               return f.Spread ? c + ", " + c + "_lo, " + c + "_hi" : c;
           }) +
           ") SELECT m, n, bits, " + Joined([](const FieldRow& f) {
               const std::string c = f.Column;
               return f.Spread ? c + "_mean, " + c + "_mean - " + c + "_min, " + c + "_max - " + c +
                                     "_mean"
                               : c + "_mean";
           }) +
           " FROM (SELECT t / 60000 AS m, count(*) AS n, " + BitsOr("bits") + " AS bits, " +
           Joined([](const FieldRow& f) {
               const std::string c = f.Column;
               return "CAST(round(avg(" + c + ")) AS INTEGER) AS " + c + "_mean, min(" + c +
                      ") AS " + c + "_min, max(" + c + ") AS " + c + "_max";
           }) +
           " FROM readings WHERE t >= ?1 AND t < ?2 GROUP BY t / 60000)";
}

std::string DeleteReadingsSql() { return "DELETE FROM readings WHERE t >= ?1 AND t < ?2"; }

std::string ReadingSpansSql() {
    return "SELECT t, 1, bits, " + Columns() + " FROM readings WHERE t >= ?1 AND t < ?2";
}

std::string MinuteSpansSql() {
    return "SELECT m * 60000, n, bits, " + Joined([](const FieldRow& f) {
               const std::string c = f.Column;
               return f.Spread ? c + ", " + c + " - " + c + "_lo, " + c + " + " + c + "_hi" : c;
           }) +
           " FROM minutes WHERE m >= (?1 + 59999) / 60000 AND m < (?2 + 59999) / 60000";
}

std::string RowsSql() {
    const std::string fields = Columns();
    return "SELECT t, 0, bits, " + fields + " FROM readings WHERE t >= ?1 AND t < ?2" +
           " UNION ALL SELECT m * 60000, 1, bits, " + fields +
           " FROM minutes WHERE m >= (?1 + 59999) / 60000 AND m < (?2 + 59999) / 60000"
           " ORDER BY 1";
}

}  // namespace gw::history
