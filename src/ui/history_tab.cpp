#include "ui/history_tab.h"

#include <QButtonGroup>
#include <QHBoxLayout>
#include <QLabel>
#include <QRadioButton>
#include <QVBoxLayout>
#include <QtConcurrent/QtConcurrentRun>

#include "reports/history_page.h"
#include "ui/history_chart.h"

namespace gw::ui {

namespace {

using history::Field;

// About one bucket per two pixels of the window's charts.
constexpr int kPoints = 150;

}  // namespace

HistoryTab::HistoryTab(std::shared_ptr<const history::HistoryReader> reader, QWidget* parent)
    : QWidget(parent), reader_(std::move(reader)), range_(reports::kDefaultRange) {
    setObjectName("HistoryTS");
    auto* layout = new QVBoxLayout(this);
    auto* ranges = new QHBoxLayout;
    auto* group = new QButtonGroup(this);
    for (std::size_t i = 0; i < std::size(reports::kHistoryRanges); ++i) {
        const reports::HistoryRange& range = reports::kHistoryRanges[i];
        auto* button = new QRadioButton(range.Caption);
        button->setObjectName(QString("History") + range.Caption + "RB");
        button->setChecked(i == range_);
        group->addButton(button, static_cast<int>(i));
        ranges->addWidget(button);
    }
    layout->addLayout(ranges);
    connect(group, &QButtonGroup::idClicked, this, [this](int id) {
        range_ = static_cast<std::size_t>(id);
        Reload();
    });

    const struct {
        Field Which;
        const char* Title;
        const char* Name;
    } kCharts[] = {
        {Field::BatteryVoltage, "Battery voltage", "HistoryBatteryVoltageChart"},
        {Field::Charge, "Battery charge", "HistoryChargeChart"},
        {Field::Runtime, "Battery runtime", "HistoryRuntimeChart"},
        {Field::InputVoltage, "Input voltage", "HistoryInputVoltageChart"},
        {Field::Load, "Load", "HistoryLoadChart"},
    };
    for (const auto& spec : kCharts) {
        auto* chart = new HistoryChart(spec.Which, spec.Title);
        chart->setObjectName(spec.Name);
        layout->addWidget(chart, 1);
        charts_.push_back(chart);
        if (spec.Which == Field::Runtime) {
            runtime_ = chart;
            chart->hide();  // until there is a runtime to draw
        }
    }
    note_ = new QLabel(reader_ ? "" : "No history is kept.");
    note_->setObjectName("HistoryNoteL");
    note_->setWordWrap(true);
    layout->addWidget(note_);

    connect(&watcher_, &QFutureWatcher<Answer>::finished, this, [this] {
        Show(watcher_.result());
        if (reload_again_) Reload();
    });
    refresh_.setInterval(kRefreshPeriodMs);
    connect(&refresh_, &QTimer::timeout, this, [this] { Reload(); });
}

HistoryTab::~HistoryTab() {
    // The query holds only its own copies; waiting for it keeps the watcher valid.
    watcher_.waitForFinished();
}

void HistoryTab::Reload() {
    if (!reader_) return;
    if (watcher_.isRunning()) {
        reload_again_ = true;
        return;
    }
    reload_again_ = false;
    const history::Millis now = history::ToMillis(std::chrono::system_clock::now());
    const history::Millis from = now - reports::kHistoryRanges[range_].Length;
    watcher_.setFuture(QtConcurrent::run([reader = reader_, from, now] {
        Answer answer;
        answer.From = from;
        answer.To = now;
        answer.Step = history::StepFor(from, now, kPoints, now);
        answer.Buckets = reader->Buckets(from, now, answer.Step, answer.Error);
        return answer;
    }));
}

void HistoryTab::Show(const Answer& answer) {
    bool runtime = false;
    for (const auto& bucket : answer.Buckets) runtime = runtime || bucket[Field::Runtime];
    runtime_->setVisible(runtime);
    for (HistoryChart* chart : charts_) {
        chart->SetData(answer.Buckets, answer.From, answer.To, answer.Step);
    }
    note_->setText(answer.Error.empty()
                       ? QString()
                       : "The history could not be read: " + QString::fromStdString(answer.Error));
}

void HistoryTab::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    Reload();
    refresh_.start();
}

void HistoryTab::hideEvent(QHideEvent* event) {
    QWidget::hideEvent(event);
    refresh_.stop();
}

}  // namespace gw::ui
