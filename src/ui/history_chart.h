// One chart of the window's History page, painted by hand: a field's mean as a line over its
// minimum-to-maximum band, outages and UPS tests shaded, the value range on the left and the
// times below. Drawn from the same buckets as the status server's SVG charts.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QWidget>
#include <vector>

#include "history/history_rows.h"

namespace gw::ui {

class HistoryChart final : public QWidget {
public:
    HistoryChart(history::Field field, const QString& title, QWidget* parent = nullptr);

    void SetData(std::vector<history::Bucket> buckets, history::Millis from, history::Millis to,
                 history::Millis step);
    // For tests: buckets with a value of the field, and those marked as an outage.
    int Points() const;
    int Outages() const;

    static const QColor kOutageColour;
    static const QColor kTestColour;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    history::Field field_;
    QString title_;
    std::vector<history::Bucket> buckets_;
    history::Millis from_ = 0;
    history::Millis to_ = 1;
    history::Millis step_ = 1;
};

}  // namespace gw::ui
