#include "ui/history_chart.h"

#include <QPainter>
#include <QPainterPath>
#include <algorithm>
#include <cmath>

#include "reports/history_svg.h"

namespace gw::ui {

const QColor HistoryChart::kOutageColour(0xff, 0xcd, 0xd2);
const QColor HistoryChart::kTestColour(0xff, 0xf5, 0x9d);

namespace {

constexpr int kLeft = 34, kRight = 4, kTop = 13, kBottom = 12;
const QColor kLine(0x15, 0x65, 0xc0);
const QColor kBand(0xbb, 0xde, 0xfb);

QString AxisText(double value, double span) {
    return QString::fromStdString(reports::AxisText(value, span));
}

}  // namespace

HistoryChart::HistoryChart(history::Field field, const QString& title, QWidget* parent)
    : QWidget(parent), field_(field), title_(title) {
    setMinimumHeight(78);
    setSizePolicy(QSizePolicy::Expanding, QSizePolicy::Expanding);
}

void HistoryChart::SetData(std::vector<history::Bucket> buckets, history::Millis from,
                           history::Millis to, history::Millis step) {
    buckets_ = reports::InChartUnit(std::move(buckets), field_);
    from_ = from;
    to_ = std::max(to, from + 1);
    step_ = std::max<history::Millis>(step, 1);
    update();
}

int HistoryChart::Points() const {
    return static_cast<int>(std::count_if(buckets_.begin(), buckets_.end(),
                                          [&](const auto& b) { return b[field_].has_value(); }));
}

int HistoryChart::Outages() const {
    return static_cast<int>(std::count_if(buckets_.begin(), buckets_.end(), [](const auto& b) {
        return (b.Bits & history::kPowerFailBit) != 0;
    }));
}

void HistoryChart::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), palette().base());
    const history::ChartRange chart = history::ChartRangeOf(buckets_, field_);
    const bool any = chart.Any;
    const double top = chart.High, bottom = chart.Low;
    const double low = chart.Min, high = chart.Max;
    // The labels' column as wide as the wider label: a steady reading has the most decimals.
    const QString high_text = AxisText(high, top - bottom);
    const QString low_text = AxisText(low, top - bottom);
    const QFontMetrics metrics = painter.fontMetrics();
    const int left = std::max(
        {kLeft, metrics.horizontalAdvance(high_text) + 6, metrics.horizontalAdvance(low_text) + 6});
    const QRectF plot(left, kTop, width() - left - kRight, height() - kTop - kBottom);
    painter.setPen(palette().text().color());
    painter.drawText(QPointF(left, kTop - 3),
                     title_ + " (" + QString::fromUtf8(reports::ChartScaleOf(field_).Unit) + ")");

    const double range = static_cast<double>(to_ - from_);
    const auto x_of = [&](history::Millis t) {
        return plot.left() + std::clamp((t - from_) / range, 0.0, 1.0) * plot.width();
    };
    const auto y_of = [&](double v) {
        return plot.top() + (top - v) / (top - bottom) * plot.height();
    };

    for (const auto& bucket : buckets_) {
        const bool outage = (bucket.Bits & history::kPowerFailBit) != 0;
        if (!outage && (bucket.Bits & history::kTestBit) == 0) continue;
        const double x0 = x_of(bucket.Start);
        const double x1 = std::max(x_of(bucket.Start + step_), x0 + 1.5);
        painter.fillRect(QRectF(x0, plot.top(), x1 - x0, plot.height()),
                         outage ? kOutageColour : kTestColour);
    }

    // Band and line, broken where rows are missing for more than two steps.
    painter.setRenderHint(QPainter::Antialiasing);
    QPolygonF upper, lower, line;
    const auto flush = [&] {
        if (!line.isEmpty()) {
            QPolygonF band = upper;
            for (auto it = lower.rbegin(); it != lower.rend(); ++it) band << *it;
            painter.setPen(Qt::NoPen);
            painter.setBrush(kBand);
            painter.drawPolygon(band);
            painter.setPen(QPen(kLine, 1.5));
            painter.setBrush(Qt::NoBrush);
            if (line.size() == 1) {
                painter.drawPoint(line.front());
            } else {
                painter.drawPolyline(line);
            }
        }
        upper.clear();
        lower.clear();
        line.clear();
    };
    history::Millis last = 0;
    for (const auto& bucket : buckets_) {
        const auto& span = bucket[field_];
        if (!span) continue;
        if (!line.isEmpty() && bucket.Start - last > 2 * step_) flush();
        last = bucket.Start;
        const double x = x_of(bucket.Start + step_ / 2);
        upper << QPointF(x, y_of(span->Max));
        lower << QPointF(x, y_of(span->Min));
        line << QPointF(x, y_of(span->Mean));
    }
    flush();
    painter.setRenderHint(QPainter::Antialiasing, false);

    painter.setPen(palette().mid().color());
    painter.drawLine(plot.topLeft(), plot.bottomLeft());
    painter.drawLine(plot.bottomLeft(), plot.bottomRight());
    painter.setPen(palette().text().color());
    const QRectF left_column(0, plot.top() - 6, left - 3, 12);
    if (any) {
        painter.drawText(left_column, Qt::AlignRight | Qt::AlignVCenter, high_text);
        painter.drawText(left_column.translated(0, plot.height()),
                         Qt::AlignRight | Qt::AlignVCenter, low_text);
    } else {
        painter.drawText(plot, Qt::AlignCenter, "no data");
    }
    const QRectF times(plot.left(), plot.bottom() + 1, plot.width(), kBottom);
    painter.drawText(times, Qt::AlignLeft | Qt::AlignTop,
                     QString::fromStdString(reports::ChartTimeText(from_, to_ - from_)));
    painter.drawText(times, Qt::AlignRight | Qt::AlignTop,
                     QString::fromStdString(reports::ChartTimeText(to_, to_ - from_)));
}

}  // namespace gw::ui
