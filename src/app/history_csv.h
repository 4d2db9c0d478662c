// `gridwarden --history-csv FROM TO`: the stored rows of a stretch as CSV for spreadsheets and
// scripts, read from the history file beside the journal through a read-only connection, so it
// works while the program runs.
//
// Thread rule: the calling thread; it touches nothing of a running program.
#pragma once

#include <ostream>
#include <string>

namespace gw::app {

// One header line, then one line per stored row, oldest first:
//   time,resolution,input_voltage,...,battery_health,bits
// time is local "YYYY-MM-DD hh:mm:ss"; resolution "cycle" for a poll cycle's reading or
// "minute" for a minute's means (older than a week); unknown values are empty. FROM and TO take
// the forms of history::ParseTimeText. Returns the exit status: 0, or 2 with the reason on
// `err` when a time is malformed or the file cannot be read.
int WriteHistoryCsv(const std::string& dir, const std::string& from, const std::string& to,
                    std::ostream& out, std::ostream& err);

}  // namespace gw::app
