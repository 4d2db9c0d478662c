// The window's "History" page: battery voltage and charge (and runtime once it is known), input
// voltage and load over the last hour, day, week, month or year, outages and tests shaded. The
// file is read on a pool thread through its own read-only connection; the page draws the
// answer when it comes, so a year's query never holds up the main thread.
//
// Thread rule: GUI (main) thread only; the query itself runs on Qt's global thread pool.
#pragma once

#include <QFutureWatcher>
#include <QTimer>
#include <QWidget>
#include <memory>
#include <vector>

#include "history/history_reader.h"

class QAbstractButton;
class QLabel;

namespace gw::ui {

class HistoryChart;

class HistoryTab final : public QWidget {
public:
    // `reader` may be null: the page then says that no history is kept.
    explicit HistoryTab(std::shared_ptr<const history::HistoryReader> reader,
                        QWidget* parent = nullptr);
    ~HistoryTab() override;

    // Reads the chosen range again (also every kRefreshPeriod while the page is shown).
    void Reload();
    static constexpr int kRefreshPeriodMs = 30000;

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    struct Answer {
        std::vector<history::Bucket> Buckets;
        history::Millis From = 0, To = 0, Step = 0;
        std::string Error;
    };
    void Show(const Answer& answer);

    std::shared_ptr<const history::HistoryReader> reader_;
    std::size_t range_;
    std::vector<HistoryChart*> charts_;
    HistoryChart* runtime_ = nullptr;
    QLabel* note_ = nullptr;
    QFutureWatcher<Answer> watcher_;
    QTimer refresh_;
    bool reload_again_ = false;
};

}  // namespace gw::ui
