// The store's SQL, built once from the field table so that a new field is one row there.
//
// The file holds three tables:
//   readings(t ms PRIMARY KEY, bits, <field>...)                every poll cycle, 7 days
//   minutes (m minute PRIMARY KEY, n, bits, <field>[, <field>_lo, <field>_hi] ...)
//            the mean of each minute; for the spread fields also the minimum and maximum as
//            offsets below and above it (0 in a quiet minute, which SQLite stores in no bytes
//            at all), kept for a year
//   events  (t ms, kind, text)                                 log lines and power actions
// Values are integers in the field's scale less its offset (history_rows.h). Two views show
// them in their units under their JSON names, for the sqlite3 command line and spreadsheets:
//   reading_values(t, bits, input_voltage, ...)
//   minute_values (t, n, bits, input_voltage, input_voltage_min, input_voltage_max, ...)
//
// Thread rule: pure functions; any thread.
#pragma once

#include <string>

namespace gw::history {

// PRAGMA application_id of our files ("GWHI"): a SQLite file without it is someone else's.
inline constexpr int kApplicationId = 0x47574849;
inline constexpr int kSchemaVersion = 2;

std::string CreateSchemaSql();
// ?1 t, ?2 bits, then one parameter per field in table order.
std::string InsertReadingSql();
// ?1 t, ?2 kind, ?3 text.
std::string InsertEventSql();
// Folds the readings with ?1 <= t < ?2 into minutes and deletes them; ?1 and ?2 on minute
// boundaries, so that no minute is split between two folds.
std::string FoldMinutesSql();
std::string DeleteReadingsSql();
// The stored rows with ?1 <= t < ?2 in no particular order, for the reader to sum into buckets
// itself (SQLite's forty aggregates a row took several times as long): the readings as (t, 1,
// bits, value per field); the minutes as (t, rows, bits, then per field the mean, and for the
// spread fields the minimum and maximum from their offsets).
std::string ReadingSpansSql();
std::string MinuteSpansSql();
// Every stored row with ?1 <= t < ?2 in time order as (t, is_minute, bits, mean per field).
std::string RowsSql();

}  // namespace gw::history
