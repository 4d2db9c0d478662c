#include "app/history_csv.h"

#include <cmath>

#include "history/history_reader.h"
#include "history/history_store.h"
#include "monitor/display_model.h"

namespace gw::app {

namespace {

int Decimals(int scale) { return scale >= 100 ? 2 : scale >= 10 ? 1 : 0; }

}  // namespace

int WriteHistoryCsv(const std::string& dir, const std::string& from, const std::string& to,
                    std::ostream& out, std::ostream& err) {
    const history::Millis now = history::ToMillis(std::chrono::system_clock::now());
    const std::optional<history::Millis> start = history::ParseTimeText(from, now);
    const std::optional<history::Millis> end = history::ParseTimeText(to, now);
    if (!start || !end) {
        err << "gridwarden: '" << (start ? to : from)
            << "' is not a time (seconds since 1970, YYYY-MM-DD[ hh:mm[:ss]], now, -7d)\n";
        return 2;
    }
    out << "time,resolution";
    for (const history::FieldRow& field : history::kFields) out << "," << field.Name;
    out << ",bits\n";
    const history::HistoryReader reader(history::HistoryPathIn(dir));
    std::string error;
    const bool read = reader.Rows(
        *start, *end,
        [&](const history::Reading& row, bool minute) {
            out << history::LocalTimeText(row.Time, "%Y-%m-%d %H:%M:%S") << (minute ? ",minute" : ",cycle");
            for (std::size_t i = 0; i < history::kFieldCount; ++i) {
                out << ",";
                if (row.Values[i]) {
                    out << monitor::FixedText(*row.Values[i], Decimals(history::kFields[i].Scale));
                }
            }
            out << "," << row.Bits << "\n";
        },
        error);
    if (!read) {
        err << "gridwarden: " << reader.Path() << ": " << error << "\n";
        return 2;
    }
    return 0;
}

}  // namespace gw::app
