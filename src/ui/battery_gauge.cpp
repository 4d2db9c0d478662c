#include "ui/battery_gauge.h"

#include <QPainter>

namespace gw::ui {

namespace {

constexpr int kWidth = 20;

QColor ToQt(const monitor::Rgb& colour) { return QColor(colour.R, colour.G, colour.B); }

}  // namespace

BatteryGauge::BatteryGauge(QWidget* parent) : QWidget(parent) {
    setObjectName("BatteryChargeRL");
    setFixedSize(kWidth, gauge_.Height);
}

void BatteryGauge::Show(const monitor::TRLed& gauge, bool known) {
    gauge_ = gauge;
    // Before the first charge is known the gauge's position is its default, full: drawn so it
    // would claim a charge nobody measured.
    if (!known) gauge_.SetValue(0);
    update();
}

void BatteryGauge::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.fillRect(rect(), ToQt(monitor::TRLed::kBackground));
    const int count = gauge_.SegmentCount();
    // Segment 1 at the top; each is SegmentSize pixels high, its last row the gap.
    const int used = count * gauge_.SegmentSize;
    const int top = (height() - used) / 2;
    for (int segment = 1; segment <= count; ++segment) {
        const int y = top + (segment - 1) * gauge_.SegmentSize;
        painter.fillRect(2, y, width() - 4, gauge_.SegmentSize - 1,
                         ToQt(gauge_.SegmentColour(segment)));
    }
}

}  // namespace gw::ui
