// The window's History page off screen: it reads a real history file on a pool thread and draws
// the outage in it and the runtime once there is one; without a history it says so.
#include "ui/history_tab.h"

#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QTemporaryDir>
#include <QtTest/QtTest>

#include "history/history_store.h"
#include "ui/history_chart.h"

namespace gw::ui {
namespace {

using history::Field;

TEST(HistoryTabTest, DrawsTheLastHoursOutageFromTheFile) {
    QTemporaryDir dir;
    const std::string path = dir.filePath(history::kHistoryFileName).toStdString();
    const history::Millis now = history::ToMillis(std::chrono::system_clock::now());
    {
        history::HistoryStore store;
        ASSERT_TRUE(store.Open(path, now).Ok);
        std::vector<history::Reading> readings;
        for (int i = 0; i < 40; ++i) {
            history::Reading r;
            r.Time = now - (40 - i) * 60000;
            const bool outage = i >= 20 && i < 25;
            r[Field::InputVoltage] = outage ? 0.0 : 228.6;
            r[Field::BatteryVoltage] = outage ? 13.6 - 0.1 * (i - 19) : 13.6;
            r[Field::Charge] = outage ? 100 - 5 * (i - 19) : 100;
            r[Field::Load] = 12;
            // The battery model's runtime from the outage on: its chart appears.
            if (i >= 20) r[Field::Runtime] = outage ? 2400 - 300 * (i - 19) : 2400;
            r.Bits = outage ? history::kPowerFailBit : 0;
            readings.push_back(r);
        }
        std::string error;
        bool damaged = false;
        ASSERT_TRUE(store.Write(readings, {}, error, damaged)) << error;
    }
    HistoryTab tab(std::make_shared<history::HistoryReader>(path));
    tab.resize(312, 460);
    tab.show();
    tab.findChild<QAbstractButton*>("HistoryHourRB")->click();
    auto* input = tab.findChild<HistoryChart*>("HistoryInputVoltageChart");
    ASSERT_NE(input, nullptr);
    QTRY_VERIFY_WITH_TIMEOUT(input->Points() == 40, 10000);
    EXPECT_GT(input->Outages(), 0);
    EXPECT_TRUE(tab.findChild<HistoryChart*>("HistoryRuntimeChart")->isVisible());

    const QImage image = tab.grab().toImage();
    QDir().mkpath(GW_TEST_OUTPUT_DIR);
    image.save(QString(GW_TEST_OUTPUT_DIR) + "/window-history-page.png");
    int outage_pixels = 0;
    for (int y = 0; y < image.height(); ++y) {
        for (int x = 0; x < image.width(); ++x) {
            if (image.pixelColor(x, y) == HistoryChart::kOutageColour) ++outage_pixels;
        }
    }
    EXPECT_GT(outage_pixels, 100);

    HistoryTab without(nullptr);
    EXPECT_EQ(without.findChild<QLabel*>("HistoryNoteL")->text(), "No history is kept.");
}

}  // namespace
}  // namespace gw::ui
