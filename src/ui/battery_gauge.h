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
    void Show(const monitor::TRLed& gauge);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    monitor::TRLed gauge_;
};

}  // namespace gw::ui
