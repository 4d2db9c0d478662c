// The segmented bar gauge of the battery charge, painted from the monitor's value model: the
// widget knows no rule of its own, it asks TRLed for each segment's colour.
//
// Thread rule: GUI (main) thread only.
#pragma once

#include <QWidget>

#include "monitor/display_model.h"

namespace gw::ui {

class BatteryGauge final : public QWidget {
public:
    explicit BatteryGauge(QWidget* parent = nullptr);
    // `known`: a charge was measured; until then no segment is lit.
    void Show(const monitor::TRLed& gauge, bool known = true);
    const monitor::TRLed& Shown() const { return gauge_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    monitor::TRLed gauge_;
};

}  // namespace gw::ui
